# MD5 digests for list entries, part files and pack entries.
add_library(dizedir_md5 STATIC ${CMAKE_CURRENT_LIST_DIR}/md5.cpp)
target_include_directories(dizedir_md5 PUBLIC ${PROJECT_SOURCE_DIR}/src)

dizedir_test(md5_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/md5_test.cpp
             LIBS dizedir_md5)
