# The libraries of the Windows cross build, under the target names the rest
# of the tree links. scripts/build-windows.sh unpacks the zlib source that
# carries minizip and the libzip source, and names them in
# DIZEDIR_ZLIB_SOURCE and DIZEDIR_LIBZIP_SOURCE; it builds libsodium and
# names its installed tree in DIZEDIR_SODIUM_ROOT. zlib itself and the Win32
# import libraries come with the cross compiler's packages.

set(DIZEDIR_ZLIB_SOURCE "" CACHE PATH "Unpacked zlib source (contrib/minizip)")
set(DIZEDIR_LIBZIP_SOURCE "" CACHE PATH "Unpacked libzip source")
set(DIZEDIR_SODIUM_ROOT "" CACHE PATH "libsodium built for the target (include/, lib/libsodium.a)")
set(DIZEDIR_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest source")
# mkreschn runs on the build machine, so it is built for it separately.
set(DIZEDIR_HOST_MKRESCHN "" CACHE FILEPATH "mkreschn built for the build machine")
if(NOT EXISTS "${DIZEDIR_ZLIB_SOURCE}/contrib/minizip/unzip.c")
  message(FATAL_ERROR "DIZEDIR_ZLIB_SOURCE must name an unpacked zlib source")
endif()
if(NOT EXISTS "${DIZEDIR_LIBZIP_SOURCE}/CMakeLists.txt")
  message(FATAL_ERROR "DIZEDIR_LIBZIP_SOURCE must name an unpacked libzip source")
endif()
if(NOT EXISTS "${DIZEDIR_SODIUM_ROOT}/lib/libsodium.a")
  message(FATAL_ERROR "DIZEDIR_SODIUM_ROOT must name a libsodium built for the target")
endif()
if(NOT EXISTS "${DIZEDIR_HOST_MKRESCHN}")
  message(FATAL_ERROR "DIZEDIR_HOST_MKRESCHN must name a built mkreschn")
endif()

# Static zlib, so no zlib1.dll has to lie beside the modules.
find_library(DIZEDIR_ZLIB_STATIC NAMES libz.a REQUIRED)
find_path(DIZEDIR_ZLIB_INCLUDE zlib.h REQUIRED)
add_library(ZLIB::ZLIB STATIC IMPORTED)
set_target_properties(ZLIB::ZLIB PROPERTIES
  IMPORTED_LOCATION ${DIZEDIR_ZLIB_STATIC}
  INTERFACE_INCLUDE_DIRECTORIES ${DIZEDIR_ZLIB_INCLUDE})

# minizip: the unzip and zip interfaces over the generic file API; every
# file access goes through Env's callbacks, so iowin32 is not needed.
set(minizip ${DIZEDIR_ZLIB_SOURCE}/contrib/minizip)
add_library(dizedir_minizip STATIC ${minizip}/ioapi.c ${minizip}/unzip.c
            ${minizip}/zip.c)
# Third-party C: its own warnings are not ours to fix.
target_compile_options(dizedir_minizip PRIVATE -w)
target_compile_definitions(dizedir_minizip PUBLIC NOCRYPT NOUNCRYPT)
target_include_directories(dizedir_minizip PUBLIC ${DIZEDIR_ZLIB_SOURCE}/contrib
                           ${minizip})
target_link_libraries(dizedir_minizip PUBLIC ZLIB::ZLIB)
add_library(PkgConfig::MINIZIP ALIAS dizedir_minizip)

# libzip, the archive reader of zip extraction: static, against the static
# zlib above, with nothing but deflate and stored data. Every other codec,
# every crypto backend and its programs, tests, examples and manuals are
# off, so it needs no other library and installs nothing.
set(BUILD_SHARED_LIBS OFF CACHE BOOL "" FORCE)
foreach(option ENABLE_BZIP2 ENABLE_LZMA ENABLE_COMMONCRYPTO ENABLE_GNUTLS
               ENABLE_MBEDTLS ENABLE_OPENSSL ENABLE_WINDOWS_CRYPTO BUILD_TOOLS
               BUILD_REGRESS BUILD_EXAMPLES BUILD_DOC LIBZIP_DO_INSTALL)
  set(${option} OFF CACHE BOOL "" FORCE)
endforeach()
set(ZLIB_LIBRARY ${DIZEDIR_ZLIB_STATIC} CACHE FILEPATH "" FORCE)
set(ZLIB_INCLUDE_DIR ${DIZEDIR_ZLIB_INCLUDE} CACHE PATH "" FORCE)
# Its CMake predates the visibility policy; the presets above mean nothing
# to a static library on Windows anyway.
set(CMAKE_POLICY_DEFAULT_CMP0063 NEW)
add_subdirectory(${DIZEDIR_LIBZIP_SOURCE} ${CMAKE_BINARY_DIR}/libzip
                 EXCLUDE_FROM_ALL)
target_compile_options(zip PRIVATE -w)
add_library(PkgConfig::LIBZIP ALIAS zip)

# libsodium, static, under the name pkg-config gives it on Linux.
# SODIUM_STATIC keeps its header from declaring the functions as imported
# from a DLL; RtlGenRandom, its random source, lives in advapi32.
add_library(PkgConfig::SODIUM STATIC IMPORTED)
set_target_properties(PkgConfig::SODIUM PROPERTIES
  IMPORTED_LOCATION ${DIZEDIR_SODIUM_ROOT}/lib/libsodium.a
  INTERFACE_INCLUDE_DIRECTORIES ${DIZEDIR_SODIUM_ROOT}/include
  INTERFACE_COMPILE_DEFINITIONS SODIUM_STATIC
  INTERFACE_LINK_LIBRARIES advapi32)

# CLI11 and nlohmann-json are header-only; their headers are the build
# machine's, reached through a directory that holds nothing else so no host
# header leaks into the target's include path.
set(host_headers ${CMAKE_BINARY_DIR}/host-headers)
foreach(dir CLI nlohmann)
  if(NOT EXISTS ${host_headers}/${dir})
    file(MAKE_DIRECTORY ${host_headers})
    file(CREATE_LINK /usr/include/${dir} ${host_headers}/${dir} SYMBOLIC)
  endif()
endforeach()
add_library(CLI11::CLI11 INTERFACE IMPORTED)
set_target_properties(CLI11::CLI11 PROPERTIES
  INTERFACE_INCLUDE_DIRECTORIES ${host_headers})
add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
set_target_properties(nlohmann_json::nlohmann_json PROPERTIES
  INTERFACE_INCLUDE_DIRECTORIES ${host_headers})

# GoogleTest built for the target from Debian's source package.
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${DIZEDIR_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest
                 EXCLUDE_FROM_ALL)
# (Its own build names the GTest:: targets the tests link.)

# The unit tests that make sense on Windows; the rest are POSIX-only.
set(DIZEDIR_WINDOWS_TESTS
  md5_test lists_test dizedir_zip_test
  dizedir_pack_test dizedir_handlers_test string_table_test vk_region_test
  server_list_test dizedir_plugin_test progress_view_test
  update_command_test queued_downloader_test content_hash_test minisign_test
  release_manifest_test json_output_test)

# ctest runs the test programs under Wine, in a prefix of this build's own,
# with the modules' directory on the DLL search path.
set(DIZEDIR_WINE_PREFIX ${CMAKE_BINARY_DIR}/wine CACHE PATH "Wine prefix for the tests")
set(CMAKE_CROSSCOMPILING_EMULATOR ${PROJECT_SOURCE_DIR}/cmake/wine-run.sh
    ${DIZEDIR_WINE_PREFIX} ${DIZEDIR_MODULE_DIR})

# GCC 12 warns falsely about std::string concatenation inlined at -O2
# (its bug 105329); the warning says nothing about this code.
add_compile_options(-Wno-restrict)

# Cases left out under Wine, which cannot make symbolic links; the Win32
# Env treats every reparse point as one.
set(DIZEDIR_WINDOWS_SKIP_dizedir_zip_test
    ZipTest.NamesAreCleanedAndNothingLeavesTheBaseDirectory)

# cpp-httplib: Debian's package ships the library compiled for the build
# machine only, so the target gets the package's source, a single header,
# under the name pkg-config gives it on Linux. DIZEDIR_HTTPLIB_SOURCE names
# the unpacked source; without it the launcher command and the downloader
# test are left out.
set(DIZEDIR_HTTPLIB_SOURCE "" CACHE PATH "Unpacked cpp-httplib source (httplib.h)")
if(EXISTS "${DIZEDIR_HTTPLIB_SOURCE}/httplib.h")
  # A directory holding httplib.h alone, so nothing else of the source
  # tree lands on the include path.
  set(httplib_include ${CMAKE_BINARY_DIR}/httplib-include)
  file(MAKE_DIRECTORY ${httplib_include})
  configure_file(${DIZEDIR_HTTPLIB_SOURCE}/httplib.h ${httplib_include}/httplib.h COPYONLY)
  add_library(PkgConfig::HTTPLIB INTERFACE IMPORTED)
  # The header needs the Vista-and-later socket calls.
  set_target_properties(PkgConfig::HTTPLIB PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES ${httplib_include}
    INTERFACE_COMPILE_DEFINITIONS _WIN32_WINNT=0x0A00
    INTERFACE_LINK_LIBRARIES "ws2_32;crypt32")
endif()
