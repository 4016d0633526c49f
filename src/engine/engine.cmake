# Verify and repair of a client directory against its tree manifest: kept
# apart from the engine so it and its test need only the formats it reads.
add_library(dizedir_tree_repair STATIC ${CMAKE_CURRENT_LIST_DIR}/tree_repair.cpp)
target_include_directories(dizedir_tree_repair PUBLIC ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(dizedir_tree_repair PUBLIC dizedir_tree_manifest dizedir_content_store
                      dizedir_pack dizedir_md5 dizedir_platform)
dizedir_test(tree_repair_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tree_repair_test.cpp
  LIBS dizedir_tree_repair dizedir_fault_env ZLIB::ZLIB)

add_library(dizedir_engine STATIC
  ${CMAKE_CURRENT_LIST_DIR}/patch_engine.cpp
  ${CMAKE_CURRENT_LIST_DIR}/server_list.cpp
  ${CMAKE_CURRENT_LIST_DIR}/update.cpp
  ${CMAKE_CURRENT_LIST_DIR}/apply.cpp
  ${CMAKE_CURRENT_LIST_DIR}/release_guard.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tree_task.cpp
)
target_include_directories(dizedir_engine PUBLIC ${PROJECT_SOURCE_DIR}/src
                           ${PROJECT_SOURCE_DIR}/include)
target_link_libraries(dizedir_engine PUBLIC dizedir_platform dizedir_strings dizedir_lists
                      dizedir_zip dizedir_handlers vkmain dizhttp dizedir_downloader_slots
                      dizedir_minisign dizedir_release_manifest dizedir_tree_repair)

dizedir_test(server_list_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/server_list_test.cpp
  LIBS dizedir_engine)
target_compile_definitions(server_list_test PRIVATE
  DIZEDIR_RESCHN_DLL="${DIZEDIR_MODULE_DIR}/ResChn.dll")
add_dependencies(server_list_test reschn_dll)
