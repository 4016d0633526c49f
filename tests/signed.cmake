# Signed releases through a tampering proxy, key rotation, the minisign
# tool's signatures and the signed server list.
add_library(dizedir_tampering_proxy STATIC ${CMAKE_CURRENT_LIST_DIR}/support/tampering_proxy.cpp)
target_include_directories(dizedir_tampering_proxy PUBLIC ${PROJECT_SOURCE_DIR}/tests)
target_link_libraries(dizedir_tampering_proxy PUBLIC PkgConfig::HTTPLIB Threads::Threads)

dizedir_test(signed_update_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/signed_update_test.cpp
  LIBS dizedir_engine dizedir_http_core dizedir_test_http_server dizedir_tampering_proxy)
target_compile_definitions(signed_update_test PRIVATE
  DIZEDIR_RESCHN_DLL="${DIZEDIR_MODULE_DIR}/ResChn.dll")
add_dependencies(signed_update_test reschn_dll)
