# A minimal launcher for tests that kill or time a whole update, and the
# end-to-end tests that drive it: crashes at random points, and a release
# served by a real nginx.
add_executable(update_runner ${CMAKE_CURRENT_LIST_DIR}/update_runner.cpp)
target_link_libraries(update_runner PRIVATE dizedir_host dizedir_platform)
add_dependencies(update_runner dizedir_module)

foreach(test crash_update_test nginx_update_test)
  dizedir_test(${test}
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/${test}.cpp
    LIBS dizedir_host dizedir_strings dizedir_lists dizedir_pack dizedir_md5
         dizedir_subprocess dizedir_test_http_server dizedir_platform)
  target_include_directories(${test} PRIVATE ${PROJECT_SOURCE_DIR}/tools/dizedir)
  target_compile_definitions(${test} PRIVATE
    DIZEDIR_MODULE_DIR="${DIZEDIR_MODULE_DIR}"
    DIZEDIR_UPDATE_RUNNER="$<TARGET_FILE:update_runner>")
  add_dependencies(${test} update_runner dizedir_module reschn_dll)
endforeach()
