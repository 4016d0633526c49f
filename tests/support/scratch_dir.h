// ScratchDir: a fresh, empty directory for one test, removed afterwards.
// Its name is random so the same test running in several build trees at
// once never shares a directory.
//
// Thread-safety: a value owned by one test.

#ifndef DIZEDIR_TESTS_SUPPORT_SCRATCH_DIR_H_
#define DIZEDIR_TESTS_SUPPORT_SCRATCH_DIR_H_

#include <filesystem>
#include <random>
#include <string>

namespace dizedir {

class ScratchDir {
 public:
  explicit ScratchDir(const std::string& label) {
    std::random_device random;
    path_ = std::filesystem::temp_directory_path() /
            ("dizedir_" + label + "_" + std::to_string(random()) + std::to_string(random()));
    std::filesystem::create_directories(path_);
  }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // The path with a trailing separator, as a client directory is given.
  std::string dir() const { return path_.string() + "/"; }

 private:
  std::filesystem::path path_;
};

}  // namespace dizedir

#endif  // DIZEDIR_TESTS_SUPPORT_SCRATCH_DIR_H_
