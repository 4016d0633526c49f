dizedir_fuzzer(fuzz_ini SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/ini_fuzzer.cpp
               LIBS dizedir_platform)
