# update_bench: a full update of a 256 MiB release by the launcher against
# curl, md5sum, cat and unzip doing the same, as ratios, with peak memory.
add_executable(update_bench ${CMAKE_CURRENT_LIST_DIR}/update_bench.cpp)
target_link_libraries(update_bench PRIVATE dizedir_test_http_server dizedir_lists
                      dizedir_pack dizedir_md5 dizedir_platform dizedir_minisign dizedir_release_manifest)
target_include_directories(update_bench PRIVATE ${PROJECT_SOURCE_DIR}/tests
                           ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/tools/dizedir)
target_compile_definitions(update_bench PRIVATE
  DIZEDIR_MODULE_DIR="${DIZEDIR_MODULE_DIR}"
  DIZEDIR_UPDATE_RUNNER="$<TARGET_FILE:update_runner>")
add_dependencies(update_bench update_runner dizedir_module reschn_dll)
