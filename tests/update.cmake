# The update task end to end against the loopback test server.
dizedir_test(update_e2e_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/update_e2e_test.cpp
  LIBS dizedir_engine dizedir_test_http_server)
target_compile_definitions(update_e2e_test PRIVATE
  DIZEDIR_RESCHN_DLL="${DIZEDIR_MODULE_DIR}/ResChn.dll")
add_dependencies(update_e2e_test reschn_dll)
