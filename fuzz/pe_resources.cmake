# fuzz_pe_resources: the PE string reader behind ResChn.dll.
dizedir_fuzzer(fuzz_pe_resources
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/pe_resources_fuzzer.cpp
  LIBS dizedir_strings)
