# Verify, repair and install end to end: releases with tree manifests,
# damaged clients, kills.
dizedir_test(tree_repair_e2e_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tree_repair_e2e_test.cpp
  LIBS dizedir_publish_test_support dizedir_publish_core dizedir_host
       dizedir_test_http_server dizedir_subprocess dizedir_lists dizedir_pack dizedir_platform)
target_include_directories(tree_repair_e2e_test PRIVATE ${PROJECT_SOURCE_DIR}/tools/publish)
target_compile_definitions(tree_repair_e2e_test PRIVATE
  DIZEDIR_MODULE_DIR="${DIZEDIR_MODULE_DIR}"
  DIZEDIR_HOST_PROGRAM="$<TARGET_FILE:dizedir>"
  DIZEDIR_PUBLISH_PROGRAM="$<TARGET_FILE:dizedir-publish>")
add_dependencies(tree_repair_e2e_test dizedir dizedir_module dizedir-publish)
