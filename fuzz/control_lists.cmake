# fuzz_control_lists: the del.txt and Move.txt readers and the name rule.
dizedir_fuzzer(fuzz_control_lists
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/control_lists_fuzzer.cpp
  LIBS dizedir_handlers)
