# The launcher command end to end, where the host program has it.
if(NOT TARGET dizedir_launcher)
  return()
endif()
dizedir_test(launcher_e2e_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/launcher_e2e_test.cpp
  LIBS dizedir_host dizedir_engine dizedir_test_http_server dizedir_subprocess
       dizedir_json_output dizedir_platform PkgConfig::HTTPLIB)
target_compile_definitions(launcher_e2e_test PRIVATE
  DIZEDIR_MODULE_DIR="${DIZEDIR_MODULE_DIR}"
  DIZEDIR_HOST_PROGRAM="$<TARGET_FILE:dizedir>")
add_dependencies(launcher_e2e_test dizedir dizedir_module)

# The launcher page in headless Chromium, driven over its DevTools pipe.
dizedir_test(launcher_browser_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/launcher_browser_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/support/headless_browser.cpp
  LIBS dizedir_host dizedir_engine dizedir_test_http_server dizedir_subprocess
       dizedir_json_output dizedir_platform PkgConfig::HTTPLIB
       dizedir_minisign)  # for libsodium's base64
target_compile_definitions(launcher_browser_test PRIVATE
  DIZEDIR_MODULE_DIR="${DIZEDIR_MODULE_DIR}"
  DIZEDIR_HOST_PROGRAM="$<TARGET_FILE:dizedir>"
  DIZEDIR_ARTIFACT_DIR="${CMAKE_BINARY_DIR}/artifacts"
  DIZEDIR_LAUNCHER_PAGE_DIR="${PROJECT_SOURCE_DIR}/tools/dizedir/launcher_page")
add_dependencies(launcher_browser_test dizedir dizedir_module)
