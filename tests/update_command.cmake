# The host program's update command end to end.
dizedir_test(update_command_e2e_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/update_command_e2e_test.cpp
  LIBS dizedir_host dizedir_engine dizedir_test_http_server dizedir_subprocess
       dizedir_platform)
target_compile_definitions(update_command_e2e_test PRIVATE
  DIZEDIR_MODULE_DIR="${DIZEDIR_MODULE_DIR}"
  DIZEDIR_HOST_PROGRAM="$<TARGET_FILE:dizedir>")
add_dependencies(update_command_e2e_test dizedir dizedir_module)
