# fuzz_store_object: content-store objects decoded in memory and through
# files, and contents encoded. Needs libsodium, which only the Linux build
# has.
if(NOT WIN32)
  dizedir_fuzzer(fuzz_store_object
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/store_object_fuzzer.cpp
    LIBS dizedir_content_store)
endif()
