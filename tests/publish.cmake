# Publisher test support: client trees as values, and patches applied with
# the client's own extraction and item handlers.
add_library(dizedir_publish_test_support STATIC
  ${CMAKE_CURRENT_LIST_DIR}/publish_support.cpp)
target_include_directories(dizedir_publish_test_support PUBLIC
                           ${PROJECT_SOURCE_DIR}/tests ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(dizedir_publish_test_support PUBLIC dizedir_handlers
                      dizedir_zip dizedir_pack dizedir_platform)

# Random trees over several versions, published, served and updated to.
dizedir_test(publish_property_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/publish_property_test.cpp
  LIBS dizedir_publish_test_support dizedir_publish_core dizedir_host
       dizedir_test_http_server dizedir_lists dizedir_platform)
target_include_directories(publish_property_test PRIVATE ${PROJECT_SOURCE_DIR}/tools/publish)
target_compile_definitions(publish_property_test PRIVATE
  DIZEDIR_MODULE_DIR="${DIZEDIR_MODULE_DIR}"
  DIZEDIR_HOST_PROGRAM="$<TARGET_FILE:dizedir>")
add_dependencies(publish_property_test dizedir dizedir_module)
