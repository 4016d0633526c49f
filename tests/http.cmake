# The loopback HTTP server that tests of the downloader and of the whole
# plug-in run against, and the downloader's own tests.
add_library(dizedir_test_http_server STATIC
  ${CMAKE_CURRENT_LIST_DIR}/support/test_http_server.cpp)
target_include_directories(dizedir_test_http_server PUBLIC
                           ${PROJECT_SOURCE_DIR}/tests)
target_link_libraries(dizedir_test_http_server PUBLIC PkgConfig::HTTPLIB
                      ZLIB::ZLIB Threads::Threads)

dizedir_test(http_url_test
  SOURCES ${PROJECT_SOURCE_DIR}/src/platform/http/url_test.cpp
  LIBS dizedir_http_core)

# Linked against the module itself, so every call goes through its exports;
# the hostile-server cases build the backend on a test Env from the core.
dizedir_test(downloader_test
  SOURCES ${PROJECT_SOURCE_DIR}/src/platform/http/downloader_test.cpp
  LIBS dizhttp dizedir_http_core dizedir_test_http_server dizedir_platform
       dizedir_downloader_slots dizedir_md5)
