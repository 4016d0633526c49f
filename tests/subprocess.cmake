# Child processes for tests that kill a program at random points.
add_library(dizedir_subprocess STATIC ${CMAKE_CURRENT_LIST_DIR}/support/subprocess.cpp)
target_include_directories(dizedir_subprocess PUBLIC ${PROJECT_SOURCE_DIR}/tests
                           ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(dizedir_subprocess PUBLIC dizedir_platform)
# A real nginx as a test's child.
target_sources(dizedir_subprocess PRIVATE ${CMAKE_CURRENT_LIST_DIR}/support/nginx_server.cpp)
