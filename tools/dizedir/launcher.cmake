# dizedir launcher: the update as a web page on loopback. Its server is
# cpp-httplib, which the Windows cross build does not have, so the command
# exists where the library does.
if(WIN32)
  return()
endif()

add_library(dizedir_launcher STATIC
  ${CMAKE_CURRENT_LIST_DIR}/failure_advice.cpp
  ${CMAKE_CURRENT_LIST_DIR}/launcher_session.cpp)
target_link_libraries(dizedir_launcher PUBLIC dizedir_update dizedir_platform
                      dizedir_json_output)

dizedir_test(failure_advice_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/failure_advice_test.cpp
  LIBS dizedir_launcher)
dizedir_test(launcher_session_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/launcher_session_test.cpp
  LIBS dizedir_launcher)
