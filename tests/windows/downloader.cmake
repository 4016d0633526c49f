# The downloader test on Windows: Http.dll driven through its exports
# against the same in-process loopback server as on Linux. Debian's
# cpp-httplib package ships the library compiled for the build machine
# only, so the server is built from the package's source, which is a single
# header; DIZEDIR_HTTPLIB_SOURCE names the unpacked source.
set(DIZEDIR_HTTPLIB_SOURCE "" CACHE PATH "Unpacked cpp-httplib source (httplib.h)")
if(NOT EXISTS "${DIZEDIR_HTTPLIB_SOURCE}/httplib.h")
  message(STATUS "downloader_test left out: DIZEDIR_HTTPLIB_SOURCE holds no httplib.h")
  return()
endif()

# A directory holding httplib.h alone, so nothing else of the source tree
# lands on the include path.
set(httplib_include ${CMAKE_BINARY_DIR}/httplib-include)
file(MAKE_DIRECTORY ${httplib_include})
configure_file(${DIZEDIR_HTTPLIB_SOURCE}/httplib.h ${httplib_include}/httplib.h
               COPYONLY)

list(APPEND DIZEDIR_WINDOWS_TESTS downloader_test)

add_library(dizedir_test_http_server STATIC
  ${PROJECT_SOURCE_DIR}/tests/support/test_http_server.cpp)
target_include_directories(dizedir_test_http_server PUBLIC
                           ${PROJECT_SOURCE_DIR}/tests)
target_include_directories(dizedir_test_http_server SYSTEM PRIVATE
                           ${httplib_include})
# The header needs the Vista-and-later socket calls.
target_compile_definitions(dizedir_test_http_server PRIVATE _WIN32_WINNT=0x0A00)
target_link_libraries(dizedir_test_http_server PUBLIC ws2_32 crypt32
                      ZLIB::ZLIB Threads::Threads)

dizedir_test(downloader_test
  SOURCES ${PROJECT_SOURCE_DIR}/src/platform/http/downloader_test.cpp
  LIBS dizhttp dizedir_http_core dizedir_test_http_server dizedir_platform
       dizedir_downloader_slots dizedir_md5)
