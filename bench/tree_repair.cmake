# tree_repair_bench: verifying a client of 1 GiB, 100 000 of its entries in
# packs, as a ratio to md5sum over the same files, with peak memory.
add_executable(tree_repair_bench ${CMAKE_CURRENT_LIST_DIR}/tree_repair_bench.cpp)
target_link_libraries(tree_repair_bench PRIVATE dizedir_tree_repair dizedir_md5 dizedir_platform)

# repair_bench: a client installed from nothing, 1% of its bytes damaged and
# repaired through the host program; what the repair fetched against the
# damaged objects' stored size.
add_executable(repair_bench ${CMAKE_CURRENT_LIST_DIR}/repair_bench.cpp)
target_link_libraries(repair_bench PRIVATE dizedir_test_http_server dizedir_subprocess
                      dizedir_tree_manifest dizedir_content_store dizedir_pack dizedir_platform)
target_include_directories(repair_bench PRIVATE ${PROJECT_SOURCE_DIR}/tests
                           ${PROJECT_SOURCE_DIR}/src)
target_compile_definitions(repair_bench PRIVATE
  DIZEDIR_MODULE_DIR="${DIZEDIR_MODULE_DIR}"
  DIZEDIR_HOST_PROGRAM="$<TARGET_FILE:dizedir>"
  DIZEDIR_PUBLISH_PROGRAM="$<TARGET_FILE:dizedir-publish>")
add_dependencies(repair_bench dizedir dizedir-publish dizedir_module)
