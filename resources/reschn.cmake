# ResChn.dll: a resource-only PE32 DLL holding the string table, the same
# file on Windows and Linux. mkreschn checks strings.txt and writes a
# resource script; windres compiles it (the C preprocessor it needs is the
# host compiler's) and ld links the resources alone into a DLL.
find_program(DIZEDIR_WINDRES i686-w64-mingw32-windres REQUIRED)
find_program(DIZEDIR_MINGW_LD i686-w64-mingw32-ld REQUIRED)

# dizedir_string_library(TARGET table.txt output.dll): builds output.dll from
# the table whenever either changes; TARGET builds it.
# A cross build cannot run what it builds, so it is handed a mkreschn built
# for the build machine.
if(CMAKE_CROSSCOMPILING)
  set(DIZEDIR_MKRESCHN ${DIZEDIR_HOST_MKRESCHN})
else()
  set(DIZEDIR_MKRESCHN mkreschn)
endif()

function(dizedir_string_library target table output)
  get_filename_component(name ${output} NAME_WE)
  get_filename_component(output_dir ${output} DIRECTORY)
  set(work ${CMAKE_BINARY_DIR}/reschn/${name})
  add_custom_command(
    OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${work}
    COMMAND ${DIZEDIR_MKRESCHN} ${table} ${work}/${name}.rc
    COMMAND ${DIZEDIR_WINDRES} -c 65001
            --preprocessor=${CMAKE_C_COMPILER} --preprocessor-arg=-E
            --preprocessor-arg=-xc -J rc -O coff
            -i ${work}/${name}.rc -o ${work}/${name}.o
    COMMAND ${CMAKE_COMMAND} -E make_directory ${output_dir}
    # No entry point and no timestamp: a pure resource library that builds
    # to the same bytes every time.
    COMMAND ${DIZEDIR_MINGW_LD} -shared -e 0 -s --no-insert-timestamp
            -o ${output} ${work}/${name}.o
    DEPENDS ${table} ${DIZEDIR_MKRESCHN}
    COMMENT "String library ${output}"
    VERBATIM)
  add_custom_target(${target} ALL DEPENDS ${output})
endfunction()

dizedir_string_library(reschn_dll ${CMAKE_CURRENT_SOURCE_DIR}/strings.txt
                       ${DIZEDIR_MODULE_DIR}/ResChn.dll)
# Edge cases for the string table's tests (src/plugin/strings.cmake names
# this path).
dizedir_string_library(reschn_test_dll
                       ${PROJECT_SOURCE_DIR}/tests/data/reschn/edge_strings.txt
                       ${CMAKE_BINARY_DIR}/testdata/ResChnEdge.dll)
