# minisign-format release signatures and the manifest's content hash, over
# libsodium (the Windows build brings its own, cmake/windows_deps.cmake).
if(NOT WIN32)
  pkg_check_modules(SODIUM REQUIRED IMPORTED_TARGET libsodium)
endif()
add_library(dizedir_minisign STATIC
  ${CMAKE_CURRENT_LIST_DIR}/minisign.cpp
  ${CMAKE_CURRENT_LIST_DIR}/content_hash.cpp)
target_include_directories(dizedir_minisign PUBLIC ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(dizedir_minisign PUBLIC PkgConfig::SODIUM dizedir_platform)

dizedir_test(content_hash_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/content_hash_test.cpp
  LIBS dizedir_minisign)
dizedir_test(minisign_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/minisign_test.cpp
  LIBS dizedir_minisign)
