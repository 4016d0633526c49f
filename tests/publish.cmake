# Publisher test support: client trees as values, and patches applied with
# the client's own extraction and item handlers.
add_library(dizedir_publish_test_support STATIC
  ${CMAKE_CURRENT_LIST_DIR}/publish_support.cpp)
target_include_directories(dizedir_publish_test_support PUBLIC
                           ${PROJECT_SOURCE_DIR}/tests ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(dizedir_publish_test_support PUBLIC dizedir_handlers
                      dizedir_zip dizedir_pack dizedir_platform)
