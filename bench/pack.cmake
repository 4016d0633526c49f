# pack_bench: merging into and copying out of a 512 MiB pack, as ratios to cp;
# merging one 200 MiB entry, with peak memory.
add_executable(pack_bench ${CMAKE_CURRENT_LIST_DIR}/pack_bench.cpp)
target_link_libraries(pack_bench PRIVATE dizedir_handlers dizedir_pack dizedir_md5
                      dizedir_platform)
