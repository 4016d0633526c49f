# A launcher built the way real ones are, by Microsoft's rules: clang in
# the MSVC ABI compiles tests/windows/msvc_launcher.cpp from the public
# headers (with the few standard headers of tests/msvc_std) and lld-link
# links it against import libraries made from the built modules' exports
# and a kernel32 one of its own. The mingw toolchain builds everything
# else here, so these steps are custom commands.
find_program(DIZEDIR_CLANGXX clang++)
find_program(DIZEDIR_LLD_LINK lld-link)
find_program(DIZEDIR_LLVM_READOBJ llvm-readobj)
find_program(DIZEDIR_LLVM_DLLTOOL llvm-dlltool)
if(NOT DIZEDIR_CLANGXX OR NOT DIZEDIR_LLD_LINK OR NOT DIZEDIR_LLVM_READOBJ
   OR NOT DIZEDIR_LLVM_DLLTOOL)
  message(STATUS "msvc_launcher_test left out: needs clang++, lld-link, llvm-readobj and llvm-dlltool")
  return()
endif()

set(msvc_dir ${CMAKE_CURRENT_BINARY_DIR}/msvc_launcher)
set(msvc_exe ${CMAKE_BINARY_DIR}/bin/msvc_launcher.exe)
set(msvc_source ${CMAKE_CURRENT_SOURCE_DIR}/msvc_launcher.cpp)
set(import_lib ${CMAKE_CURRENT_SOURCE_DIR}/import_lib.sh)
file(MAKE_DIRECTORY ${msvc_dir})

# An import library for MSVC code, made from what the module really exports.
function(dizedir_msvc_import_lib target lib)
  add_custom_command(
    OUTPUT ${msvc_dir}/${lib}
    COMMAND ${import_lib} ${DIZEDIR_LLVM_READOBJ} ${DIZEDIR_LLVM_DLLTOOL}
            $<TARGET_FILE:${target}> ${msvc_dir}/${lib}
    DEPENDS ${target} ${import_lib}
    COMMENT "Import library for MSVC code from ${target}'s exports")
endfunction()
dizedir_msvc_import_lib(vkmain VkMain.lib)
dizedir_msvc_import_lib(dizedir_module dizedir.lib)
add_custom_command(
  OUTPUT ${msvc_dir}/kernel32.lib
  COMMAND ${DIZEDIR_LLVM_DLLTOOL} -m i386 -k
          -d ${CMAKE_CURRENT_SOURCE_DIR}/msvc_launcher_kernel32.def
          -l ${msvc_dir}/kernel32.lib
  DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/msvc_launcher_kernel32.def)

# MSVC's default language level; no exceptions or RTTI, which would need its
# runtime; frame pointers, so a stack check that fails can still report.
add_custom_command(
  OUTPUT ${msvc_dir}/msvc_launcher.obj
  COMMAND ${DIZEDIR_CLANGXX} --target=i686-pc-windows-msvc -std=c++14 -O2
          -fno-exceptions -fno-rtti -ffreestanding -fno-omit-frame-pointer
          -Wall -Wextra -Werror
          -nostdinc++ -isystem ${PROJECT_SOURCE_DIR}/tests/msvc_std
          -I${PROJECT_SOURCE_DIR}/include
          -c ${msvc_source} -o ${msvc_dir}/msvc_launcher.obj
  DEPENDS ${msvc_source} ${PROJECT_SOURCE_DIR}/include/dizedir/dizedir.h
          ${PROJECT_SOURCE_DIR}/include/dizedir/vk_region.h
          ${PROJECT_SOURCE_DIR}/tests/msvc_std/cstddef
          ${PROJECT_SOURCE_DIR}/tests/msvc_std/cstdint
          ${PROJECT_SOURCE_DIR}/tests/msvc_std/new
  COMMENT "Compiling the launcher in the MSVC ABI")
add_custom_command(
  OUTPUT ${msvc_exe}
  COMMAND ${DIZEDIR_LLD_LINK} /nologo /machine:x86 /subsystem:console
          /entry:LauncherStart /nodefaultlib /out:${msvc_exe}
          ${msvc_dir}/msvc_launcher.obj ${msvc_dir}/VkMain.lib
          ${msvc_dir}/dizedir.lib ${msvc_dir}/kernel32.lib
  DEPENDS ${msvc_dir}/msvc_launcher.obj ${msvc_dir}/VkMain.lib
          ${msvc_dir}/dizedir.lib ${msvc_dir}/kernel32.lib
  COMMENT "Linking the MSVC-ABI launcher")
add_custom_target(msvc_launcher ALL DEPENDS ${msvc_exe})
add_dependencies(msvc_launcher reschn_dll dizhttp)

add_test(NAME msvc_launcher_test
         COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/msvc_launcher_test.sh ${PROJECT_SOURCE_DIR}
                 ${DIZEDIR_WINE_PREFIX} ${DIZEDIR_MODULE_DIR} ${msvc_exe})
set_tests_properties(msvc_launcher_test PROPERTIES TIMEOUT 300)
