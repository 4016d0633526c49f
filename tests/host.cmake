# The built modules as a launcher sees them.
dizedir_test(host_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/host_test.cpp
  LIBS dizedir_host)
target_compile_definitions(host_test PRIVATE DIZEDIR_MODULE_DIR="${DIZEDIR_MODULE_DIR}")
add_dependencies(host_test dizedir_module)

# What the modules export, and what a launch without the string library does.
add_test(NAME module_exports_test
  COMMAND ${CMAKE_CURRENT_LIST_DIR}/module_exports_test.sh ${DIZEDIR_MODULE_DIR}
          "${DIZEDIR_SANITIZE}")
add_test(NAME missing_strings_test
  COMMAND ${CMAKE_CURRENT_LIST_DIR}/missing_strings_test.sh
          ${DIZEDIR_MODULE_DIR} $<TARGET_FILE:dizedir>)

# The server list end to end, through the host program.
dizedir_test(servers_e2e_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/servers_e2e_test.cpp
  LIBS dizedir_host dizedir_test_http_server dizedir_platform)
target_compile_definitions(servers_e2e_test PRIVATE
  DIZEDIR_MODULE_DIR="${DIZEDIR_MODULE_DIR}"
  DIZEDIR_HOST_PROGRAM="$<TARGET_FILE:dizedir>")
add_dependencies(servers_e2e_test dizedir dizedir_module)
# The public headers build alone as C++14, also in the MSVC ABI.
add_test(NAME public_headers_test
  COMMAND ${CMAKE_CURRENT_LIST_DIR}/public_headers_test.sh ${PROJECT_SOURCE_DIR})
