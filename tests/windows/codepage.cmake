# Text and names under the ANSI code pages of Western, Japanese and
# Simplified Chinese Windows: one program, run under Wine once per page.
# Wine takes its code page from the Unix locale (LANG), and few build
# machines carry the Japanese and Chinese ones, so the build compiles the
# three it needs into its own tree (localedef, from Debian's locales) and
# every run points LOCPATH there. tests/windows/codepage_e2e.sh uses them too.
find_program(DIZEDIR_LOCALEDEF localedef REQUIRED)
set(DIZEDIR_WINE_LOCALES ${CMAKE_BINARY_DIR}/locales)
set(wine_locale_files)
foreach(locale en_US ja_JP zh_CN)
  set(dir ${DIZEDIR_WINE_LOCALES}/${locale}.UTF-8)
  # Exit status 1 is "written, with warnings".
  add_custom_command(
    OUTPUT ${dir}/LC_CTYPE
    COMMAND ${CMAKE_COMMAND} -E make_directory ${DIZEDIR_WINE_LOCALES}
    COMMAND sh -c "'${DIZEDIR_LOCALEDEF}' -i ${locale} -f UTF-8 '${dir}' || [ $? -eq 1 ]"
    COMMENT "Locale ${locale}.UTF-8 for Wine's code pages"
    VERBATIM)
  list(APPEND wine_locale_files ${dir}/LC_CTYPE)
endforeach()
add_custom_target(wine_locales ALL DEPENDS ${wine_locale_files})

list(APPEND DIZEDIR_WINDOWS_TESTS codepage_win32_test)
dizedir_test(codepage_win32_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/codepage_win32_test.cpp
  LIBS dizedir_zip dizedir_handlers dizedir_pack dizedir_platform ZLIB::ZLIB)
add_dependencies(codepage_win32_test wine_locales)

# The test dizedir_test declares runs under 1252; two more under 932 and 936.
foreach(run "codepage_win32_test;1252;en_US" "codepage_win32_test_932;932;ja_JP"
            "codepage_win32_test_936;936;zh_CN")
  list(GET run 0 name)
  list(GET run 1 page)
  list(GET run 2 locale)
  if(NOT name STREQUAL codepage_win32_test)
    add_test(NAME ${name} COMMAND codepage_win32_test)
    set_tests_properties(${name} PROPERTIES TIMEOUT 600
                         ENVIRONMENT "DIZEDIR_SOURCE_DIR=${PROJECT_SOURCE_DIR}")
  endif()
  set_property(TEST ${name} APPEND PROPERTY ENVIRONMENT
               "LANG=${locale}.UTF-8" "LC_ALL=${locale}.UTF-8" "LOCPATH=${DIZEDIR_WINE_LOCALES}"
               "DIZEDIR_EXPECTED_ACP=${page}")
endforeach()
