// Whole files as byte strings, for tests: written with the directories they
// need, and read back in one bulk read. Copied a character at a time, a
// client tree takes tests built without optimisation minutes to compare.
//
// Thread-safety: each call stands alone; calls on different files may run
// side by side.

#ifndef DIZEDIR_TESTS_SUPPORT_FILE_BYTES_H_
#define DIZEDIR_TESTS_SUPPORT_FILE_BYTES_H_

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace dizedir {

inline void WriteBytes(const std::filesystem::path& path, const std::string& bytes) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

// Empty when the file cannot be read.
inline std::string ReadBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

}  // namespace dizedir

#endif  // DIZEDIR_TESTS_SUPPORT_FILE_BYTES_H_
