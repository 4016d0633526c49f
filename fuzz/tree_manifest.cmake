# fuzz_tree_manifest: the tree manifest's parser and lookups; whatever parses
# must format back to the same bytes. Needs libsodium, which only the Linux
# build has.
if(NOT WIN32)
  dizedir_fuzzer(fuzz_tree_manifest
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tree_manifest_fuzzer.cpp
    LIBS dizedir_tree_manifest)
endif()
