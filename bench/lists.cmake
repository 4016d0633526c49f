# MD5 against OpenSSL, and split/join against cat; each prints its ratio.
add_executable(md5_bench ${CMAKE_CURRENT_LIST_DIR}/md5_bench.cpp)
target_link_libraries(md5_bench PRIVATE dizedir_md5 OpenSSL::Crypto)

add_executable(split_bench ${CMAKE_CURRENT_LIST_DIR}/split_bench.cpp)
target_link_libraries(split_bench PRIVATE dizedir_lists)
