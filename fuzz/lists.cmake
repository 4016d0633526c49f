# One target per list reader: newver.bin, verlist.bin, curver.bin.
foreach(list newver verlist curver)
  dizedir_fuzzer(fuzz_${list}_list
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/${list}_list_fuzzer.cpp
    LIBS dizedir_lists)
endforeach()
