// Whole-file reads and writes through the standard library, for tests that
// check what the Env wrote (or set up what it reads) without trusting the
// Env itself.
//
// Thread-safety: pure functions over distinct paths.

#ifndef DIZEDIR_TESTS_SUPPORT_NATIVE_FILE_H_
#define DIZEDIR_TESTS_SUPPORT_NATIVE_FILE_H_

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace dizedir {

// The file's bytes; empty when it cannot be opened.
inline std::string ReadNative(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Replaces the file with `data`, making its parent directories first.
inline void WriteNative(const std::filesystem::path& path, const std::string& data) {
  if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << data;
}

}  // namespace dizedir

#endif  // DIZEDIR_TESTS_SUPPORT_NATIVE_FILE_H_
