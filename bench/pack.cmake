# pack_bench: merging into and copying out of a 512 MiB pack, as ratios to cp;
# merging one 200 MiB entry, with peak memory.
add_executable(pack_bench ${CMAKE_CURRENT_LIST_DIR}/pack_bench.cpp)
target_link_libraries(pack_bench PRIVATE dizedir_handlers dizedir_pack dizedir_md5
                      dizedir_platform)

# del_list_bench: a del.txt naming thousands of missing packs costs the same
# per name at 1 000 and 8 000 names.
add_executable(del_list_bench ${CMAKE_CURRENT_LIST_DIR}/del_list_bench.cpp)
target_link_libraries(del_list_bench PRIVATE dizedir_handlers dizedir_platform)
