# dizedir-publish diff against diff -rq on the same trees.
add_executable(publish_diff_bench ${CMAKE_CURRENT_LIST_DIR}/publish_diff_bench.cpp)
target_link_libraries(publish_diff_bench PRIVATE dizedir_publish_core dizedir_pack)
