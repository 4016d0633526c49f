# Zip extraction for patch archives: libzip reads the archives through Env
# (libzip-dev; the Windows build makes its own from Debian's source).
add_library(dizedir_zip STATIC
  ${CMAKE_CURRENT_LIST_DIR}/zip.cpp
  ${CMAKE_CURRENT_LIST_DIR}/zip_names.cpp
)
target_include_directories(dizedir_zip PUBLIC ${PROJECT_SOURCE_DIR}/src)
# Private: libzip's <zip.h> must not reach the zip writer, which includes
# minizip's header of the same name.
target_link_libraries(dizedir_zip PUBLIC dizedir_platform
                      PRIVATE PkgConfig::LIBZIP ZLIB::ZLIB)

dizedir_test(dizedir_zip_test
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/zip_names_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/zip_test.cpp
  LIBS dizedir_zip dizedir_fault_env ZLIB::ZLIB)
