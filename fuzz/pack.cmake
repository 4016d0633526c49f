# fuzz_pack_load: the pack loader on any bytes. fuzz_zip_names: the zip item
# name rules.
dizedir_fuzzer(fuzz_pack_load
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/pack_load_fuzzer.cpp
  LIBS dizedir_pack)
dizedir_fuzzer(fuzz_zip_names
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/zip_names_fuzzer.cpp
  LIBS dizedir_zip)
dizedir_fuzzer(fuzz_zip_archive
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/zip_archive_fuzzer.cpp
  LIBS dizedir_zip)
