# Transfers and whole updates over TLS against nginx on loopback, with
# certificates the openssl command line makes for the run; the Windows leg
# runs the update cases again through dizedir.exe under Wine.
dizedir_test(https_e2e_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/https_e2e_test.cpp
  LIBS dizhttp dizedir_host dizedir_strings dizedir_lists dizedir_pack dizedir_md5
       dizedir_subprocess dizedir_test_http_server dizedir_platform)
if(TARGET https_e2e_test AND NOT WIN32)
  target_include_directories(https_e2e_test PRIVATE ${PROJECT_SOURCE_DIR}/tools/dizedir)
  target_compile_definitions(https_e2e_test PRIVATE
    DIZEDIR_MODULE_DIR="${DIZEDIR_MODULE_DIR}"
    DIZEDIR_SOURCE_ROOT="${PROJECT_SOURCE_DIR}"
    DIZEDIR_CERT_SCRIPT="${PROJECT_SOURCE_DIR}/tests/support/make_test_certs.sh"
    DIZEDIR_UPDATE_RUNNER="$<TARGET_FILE:update_runner>")
  add_dependencies(https_e2e_test update_runner dizedir_module reschn_dll)
endif()
