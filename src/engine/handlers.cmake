# The patch item handlers (pack merge, del.txt, Move.txt) and their parsers.
add_library(dizedir_handlers STATIC
  ${CMAKE_CURRENT_LIST_DIR}/control_lists.cpp
  ${CMAKE_CURRENT_LIST_DIR}/item_handlers.cpp
)
target_include_directories(dizedir_handlers PUBLIC ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(dizedir_handlers PUBLIC dizedir_pack dizedir_platform)

dizedir_test(dizedir_handlers_test
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/control_lists_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/item_handlers_test.cpp
  LIBS dizedir_handlers dizedir_fault_env)
