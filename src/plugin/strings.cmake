# The string table: reads the texts of ResChn.dll on every platform.
add_library(dizedir_strings STATIC
  ${CMAKE_CURRENT_LIST_DIR}/pe_resources.cpp
  ${CMAKE_CURRENT_LIST_DIR}/string_table.cpp
)
target_link_libraries(dizedir_strings PUBLIC dizedir_platform)

dizedir_test(string_table_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/string_table_test.cpp
  LIBS dizedir_strings)
# The shipped library and one built from a table of edge cases; both come
# from the rules in resources/reschn.cmake, which names the same paths.
add_dependencies(string_table_test reschn_dll reschn_test_dll)
target_compile_definitions(string_table_test PRIVATE
  DIZEDIR_RESCHN_DLL="${DIZEDIR_MODULE_DIR}/ResChn.dll"
  DIZEDIR_RESCHN_TEST_DLL="${CMAKE_BINARY_DIR}/testdata/ResChnEdge.dll")
