# The platform layer's tests and the fault-injecting Env other tests use.
add_library(dizedir_fault_env INTERFACE)
target_include_directories(dizedir_fault_env INTERFACE ${PROJECT_SOURCE_DIR}/tests)
target_link_libraries(dizedir_fault_env INTERFACE dizedir_platform)

dizedir_test(dizedir_platform_test
  SOURCES
    ${PROJECT_SOURCE_DIR}/src/platform/env_posix_test.cpp
    ${PROJECT_SOURCE_DIR}/src/platform/range_copy_test.cpp
    ${PROJECT_SOURCE_DIR}/src/platform/ini_file_test.cpp
    ${PROJECT_SOURCE_DIR}/src/platform/text_test.cpp
    ${PROJECT_SOURCE_DIR}/src/platform/confined_path_test.cpp
    ${PROJECT_SOURCE_DIR}/src/platform/start_program_posix_test.cpp
  LIBS dizedir_platform dizedir_fault_env)
