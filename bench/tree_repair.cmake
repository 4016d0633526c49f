# tree_repair_bench: verifying a client of 1 GiB, 100 000 of its entries in
# packs, as a ratio to md5sum over the same files, with peak memory.
add_executable(tree_repair_bench ${CMAKE_CURRENT_LIST_DIR}/tree_repair_bench.cpp)
target_link_libraries(tree_repair_bench PRIVATE dizedir_tree_repair dizedir_md5 dizedir_platform)
