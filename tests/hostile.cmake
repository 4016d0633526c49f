# The update against hostile servers and patches, one table per attack family.
dizedir_test(hostile_server_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/hostile_server_test.cpp
  LIBS dizedir_engine dizedir_http_core dizedir_test_http_server)
target_compile_definitions(hostile_server_test PRIVATE
  DIZEDIR_RESCHN_DLL="${DIZEDIR_MODULE_DIR}/ResChn.dll")
add_dependencies(hostile_server_test reschn_dll)
