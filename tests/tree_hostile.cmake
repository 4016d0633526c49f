# Verify, repair and install against hostile servers and damaged clients,
# one table per attack family.
dizedir_test(tree_hostile_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tree_hostile_test.cpp
  LIBS dizedir_engine dizedir_http_core dizedir_test_http_server dizedir_publish_trees)
target_compile_definitions(tree_hostile_test PRIVATE
  DIZEDIR_RESCHN_DLL="${DIZEDIR_MODULE_DIR}/ResChn.dll")
add_dependencies(tree_hostile_test reschn_dll)
