# fuzz_confined_path: the rule every name from outside passes before it
# becomes a path.
dizedir_fuzzer(fuzz_confined_path
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/confined_path_fuzzer.cpp
  LIBS dizedir_platform)
