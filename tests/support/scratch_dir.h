// ScratchDir: a fresh, empty directory for one test, removed afterwards.
// Its name is random so the same test running in several build trees at
// once never shares a directory.
//
// Thread-safety: a value owned by one test.

#ifndef DIZEDIR_TESTS_SUPPORT_SCRATCH_DIR_H_
#define DIZEDIR_TESTS_SUPPORT_SCRATCH_DIR_H_

#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <string_view>

#include "platform/env.h"

namespace dizedir {

class ScratchDir {
 public:
  explicit ScratchDir(const std::string& label = "test") {
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
  std::string Path(std::string_view name) const { return dir() + std::string(name); }

  // Without a sync: the tests never outlive a crash, and syncing every
  // fixture would make them slow.
  bool Write(std::string_view name, std::string_view data) const {
    std::unique_ptr<WritableFile> file;
    return Env::Default()->NewWritableFile(Path(name), &file).ok() && file->Append(data).ok() &&
           file->Close().ok();
  }
  std::string Read(std::string_view name) const {
    std::string data;
    ReadFileToString(Env::Default(), Path(name), &data);
    return data;
  }
  bool Exists(std::string_view name) const {
    return std::filesystem::exists(path_ / std::string(name));
  }
  size_t EntryCount() const {
    size_t n = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(path_)) ++n;
    return n;
  }

 private:
  std::filesystem::path path_;
};

}  // namespace dizedir

#endif  // DIZEDIR_TESTS_SUPPORT_SCRATCH_DIR_H_
