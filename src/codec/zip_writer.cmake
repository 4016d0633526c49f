# Zip writing for the publisher's patch archives, over minizip's zip
# interface through Env.
add_library(dizedir_zip_writer STATIC ${CMAKE_CURRENT_LIST_DIR}/zip_writer.cpp)
target_include_directories(dizedir_zip_writer PUBLIC ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(dizedir_zip_writer PUBLIC dizedir_zip PkgConfig::MINIZIP
                      ZLIB::ZLIB dizedir_platform)

dizedir_test(dizedir_zip_writer_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/zip_writer_test.cpp
  LIBS dizedir_zip_writer dizedir_zip dizedir_fault_env)
