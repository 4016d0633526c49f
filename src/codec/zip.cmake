# Zip extraction for patch archives, read through Env; zlib inflates.
add_library(dizedir_zip STATIC
  ${CMAKE_CURRENT_LIST_DIR}/zip.cpp
  ${CMAKE_CURRENT_LIST_DIR}/zip_names.cpp
)
target_include_directories(dizedir_zip PUBLIC ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(dizedir_zip PUBLIC ZLIB::ZLIB dizedir_platform)

dizedir_test(dizedir_zip_test
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/zip_names_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/zip_test.cpp
  LIBS dizedir_zip dizedir_fault_env)
