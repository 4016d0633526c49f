# The downloaders' shared core, driven through a scripted backend: no
# network, so every retry and naming rule can be pinned down exactly.
dizedir_test(queued_downloader_test
  SOURCES ${PROJECT_SOURCE_DIR}/src/platform/http/queued_downloader_test.cpp
          ${PROJECT_SOURCE_DIR}/src/platform/http/header_values_test.cpp
  LIBS dizedir_http_core dizedir_platform dizedir_fault_env)
