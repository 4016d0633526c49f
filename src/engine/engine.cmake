add_library(dizedir_engine STATIC
  ${CMAKE_CURRENT_LIST_DIR}/patch_engine.cpp
  ${CMAKE_CURRENT_LIST_DIR}/server_list.cpp
)
target_include_directories(dizedir_engine PUBLIC ${PROJECT_SOURCE_DIR}/src
                           ${PROJECT_SOURCE_DIR}/include)
target_link_libraries(dizedir_engine PUBLIC dizedir_platform dizedir_strings vkmain)
