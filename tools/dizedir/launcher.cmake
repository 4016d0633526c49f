# dizedir launcher: the update as a web page on loopback. Its server is
# cpp-httplib, which a cross build has only when given its source, so the
# command exists where the library does.
if(NOT TARGET PkgConfig::HTTPLIB)
  return()
endif()

# The token comes from libsodium's random source.
if(NOT TARGET PkgConfig::SODIUM)
  pkg_check_modules(SODIUM REQUIRED IMPORTED_TARGET libsodium)
endif()

# The page's default files, built into the program as byte arrays.
set(launcher_page_dir ${CMAKE_CURRENT_LIST_DIR}/launcher_page)
file(GLOB_RECURSE launcher_page_files CONFIGURE_DEPENDS ${launcher_page_dir}/*)
set(launcher_page_cpp ${CMAKE_CURRENT_BINARY_DIR}/launcher_page_files.cpp)
add_custom_command(
  OUTPUT ${launcher_page_cpp}
  COMMAND ${CMAKE_COMMAND} -DINPUT_DIR=${launcher_page_dir} -DOUTPUT=${launcher_page_cpp}
          -P ${CMAKE_CURRENT_LIST_DIR}/embed_files.cmake
  DEPENDS ${launcher_page_files} ${CMAKE_CURRENT_LIST_DIR}/embed_files.cmake
  COMMENT "Embedding the launcher page")

add_library(dizedir_launcher STATIC
  ${CMAKE_CURRENT_LIST_DIR}/failure_advice.cpp
  ${CMAKE_CURRENT_LIST_DIR}/launcher_session.cpp
  ${CMAKE_CURRENT_LIST_DIR}/launcher_assets.cpp
  ${CMAKE_CURRENT_LIST_DIR}/launcher_server.cpp
  ${launcher_page_cpp})
target_include_directories(dizedir_launcher PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(dizedir_launcher PUBLIC dizedir_update dizedir_platform
                      dizedir_json_output PkgConfig::HTTPLIB PkgConfig::SODIUM Threads::Threads)

# The command itself, in the host program.
target_sources(dizedir PRIVATE ${CMAKE_CURRENT_LIST_DIR}/launcher_command.cpp)
target_link_libraries(dizedir PRIVATE dizedir_launcher dizedir_strings)
target_compile_definitions(dizedir PRIVATE DIZEDIR_HAVE_LAUNCHER=1)

dizedir_test(failure_advice_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/failure_advice_test.cpp
  LIBS dizedir_launcher)
dizedir_test(launcher_session_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/launcher_session_test.cpp
  LIBS dizedir_launcher)
dizedir_test(launcher_server_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/launcher_server_test.cpp
  LIBS dizedir_launcher)
