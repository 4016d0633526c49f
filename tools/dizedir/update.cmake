# The update command, its progress display and the tasks run in the
# update's place.
add_library(dizedir_update STATIC ${CMAKE_CURRENT_LIST_DIR}/update_command.cpp
            ${CMAKE_CURRENT_LIST_DIR}/progress_view.cpp
            ${CMAKE_CURRENT_LIST_DIR}/tree_commands.cpp)
target_link_libraries(dizedir_update PUBLIC dizedir_host dizedir_platform
                      PRIVATE dizedir_json_output)
target_link_libraries(dizedir PRIVATE dizedir_update)

dizedir_test(progress_view_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/progress_view_test.cpp
  LIBS dizedir_update)
dizedir_test(update_command_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/update_command_test.cpp
  LIBS dizedir_update)
