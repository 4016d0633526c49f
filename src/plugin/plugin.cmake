# The plug-in object, as a library the tests link directly...
add_library(dizedir_plugin_core STATIC
  ${CMAKE_CURRENT_LIST_DIR}/dizedir_plugin.cpp
)
target_include_directories(dizedir_plugin_core PUBLIC ${PROJECT_SOURCE_DIR}/src
                           ${PROJECT_SOURCE_DIR}/include)
target_link_libraries(dizedir_plugin_core PUBLIC dizedir_engine)

# ...and as the module a host loads: dizedir.so, exporting only the two
# entry points. The downloader and region-list modules lie beside it.
if(WIN32)
  # dizedir.dll: the .def file lists the two exports undecorated and gives
  # the export table the name launchers know the plug-in by. Windows finds
  # Http.dll and VkMain.dll beside it when the host loads it by full path.
  add_library(dizedir_module SHARED ${CMAKE_CURRENT_LIST_DIR}/exports.cpp
              ${CMAKE_CURRENT_LIST_DIR}/exports.def)
  set_target_properties(dizedir_module PROPERTIES
    PREFIX "" OUTPUT_NAME dizedir RUNTIME_OUTPUT_DIRECTORY ${DIZEDIR_MODULE_DIR})
else()
add_library(dizedir_module SHARED ${CMAKE_CURRENT_LIST_DIR}/exports.cpp)
# The module must name every library it needs. Clang's sanitizers leave
# their runtime to the program that loads the module, so there the check
# would fail on the runtime's symbols alone.
set(dizedir_module_defined "-Wl,--no-undefined")
if(DIZEDIR_SANITIZE AND CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  set(dizedir_module_defined "")
endif()
set_target_properties(dizedir_module PROPERTIES
  PREFIX "" OUTPUT_NAME dizedir
  BUILD_WITH_INSTALL_RPATH ON INSTALL_RPATH "$ORIGIN"
  LINK_FLAGS "-Wl,--enable-new-dtags ${dizedir_module_defined} -Wl,--version-script=${CMAKE_CURRENT_LIST_DIR}/exports.map"
  LINK_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/exports.map)
endif()
target_compile_definitions(dizedir_module PRIVATE DIZEDIR_BUILDING_PLUGIN)
target_link_libraries(dizedir_module PRIVATE dizedir_plugin_core dizhttp vkmain)
add_dependencies(dizedir_module reschn_dll)

dizedir_test(dizedir_plugin_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/dizedir_plugin_test.cpp
  LIBS dizedir_plugin_core)
target_compile_definitions(dizedir_plugin_test PRIVATE
  DIZEDIR_RESCHN_DLL="${DIZEDIR_MODULE_DIR}/ResChn.dll")
add_dependencies(dizedir_plugin_test reschn_dll)
