# The release manifest parser: whatever parses must format back to the same
# bytes. Needs libsodium, which only the Linux build has.
if(NOT WIN32)
  dizedir_fuzzer(fuzz_release_manifest
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/release_manifest_fuzzer.cpp
    LIBS dizedir_release_manifest)
endif()
