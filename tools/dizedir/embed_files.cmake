# Builds a C++ source holding every file below a directory as a byte array,
# listed in kLauncherPageFiles (launcher_assets.h) by relative name:
#   cmake -DINPUT_DIR=dir -DOUTPUT=file.cpp -P embed_files.cmake
file(GLOB_RECURSE names RELATIVE ${INPUT_DIR} ${INPUT_DIR}/*)
list(SORT names)
set(arrays "")
set(entries "")
set(index 0)
foreach(name IN LISTS names)
  file(READ ${INPUT_DIR}/${name} hex HEX)
  string(LENGTH "${hex}" digits)
  math(EXPR size "${digits} / 2")
  # Sixteen bytes a line; a terminating zero keeps an empty file's array
  # legal and is not counted in its size.
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(REPEAT "0x..," 16 sixteen)
  string(REGEX REPLACE "(${sixteen})" "\\1\n    " bytes "${bytes}")
  string(APPEND arrays "const unsigned char kFile${index}[] = {\n    ${bytes}0x00};\n")
  string(APPEND entries "    {\"${name}\", kFile${index}, ${size}},\n")
  math(EXPR index "${index} + 1")
endforeach()
file(WRITE ${OUTPUT}.tmp
"// Generated from ${INPUT_DIR} by embed_files.cmake; edit the files there.
#include \"launcher_assets.h\"

namespace dizedir {
namespace {
${arrays}}  // namespace

const EmbeddedFile kLauncherPageFiles[] = {
${entries}};
const size_t kLauncherPageFileCount = ${index};

}  // namespace dizedir
")
file(COPY_FILE ${OUTPUT}.tmp ${OUTPUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUTPUT}.tmp)
