# The downloader test on Windows: Http.dll driven through its exports
# against the same in-process loopback server as on Linux, built from
# cpp-httplib's source (cmake/windows_deps.cmake).
if(NOT TARGET PkgConfig::HTTPLIB)
  message(STATUS "downloader_test left out: DIZEDIR_HTTPLIB_SOURCE holds no httplib.h")
  return()
endif()

list(APPEND DIZEDIR_WINDOWS_TESTS downloader_test)

add_library(dizedir_test_http_server STATIC
  ${PROJECT_SOURCE_DIR}/tests/support/test_http_server.cpp)
target_include_directories(dizedir_test_http_server PUBLIC
                           ${PROJECT_SOURCE_DIR}/tests)
target_link_libraries(dizedir_test_http_server PRIVATE PkgConfig::HTTPLIB)
target_link_libraries(dizedir_test_http_server PUBLIC ws2_32 crypt32
                      ZLIB::ZLIB Threads::Threads)

dizedir_test(downloader_test
  SOURCES ${PROJECT_SOURCE_DIR}/src/platform/http/downloader_test.cpp
  LIBS dizhttp dizedir_http_core dizedir_test_http_server dizedir_platform
       dizedir_downloader_slots dizedir_md5)
