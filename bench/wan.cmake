# wan_bench: updates over a modelled long link (a relay of our own adding
# round trips, rate limits and resets in front of nginx), dizedir against
# curl and aria2c on the same release.
add_library(dizedir_link_model STATIC ${CMAKE_CURRENT_LIST_DIR}/link_model.cpp)
target_include_directories(dizedir_link_model PUBLIC ${CMAKE_CURRENT_LIST_DIR}
                           ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(dizedir_link_model PUBLIC Threads::Threads)

add_executable(wan_bench ${CMAKE_CURRENT_LIST_DIR}/wan_bench.cpp)
target_link_libraries(wan_bench PRIVATE dizedir_link_model dizedir_subprocess dizedir_lists
                      dizedir_pack dizedir_md5 dizedir_platform dizedir_minisign
                      dizedir_release_manifest)
target_include_directories(wan_bench PRIVATE ${PROJECT_SOURCE_DIR}/tests
                           ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/tools/dizedir)
target_compile_definitions(wan_bench PRIVATE
  DIZEDIR_MODULE_DIR="${DIZEDIR_MODULE_DIR}"
  DIZEDIR_PROGRAM="$<TARGET_FILE:dizedir>")
add_dependencies(wan_bench dizedir dizedir_module reschn_dll)

dizedir_test(link_model_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/link_model_test.cpp
  LIBS dizedir_link_model dizedir_platform)
