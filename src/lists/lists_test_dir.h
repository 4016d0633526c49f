// ScratchDir: a fresh directory for one test, removed with everything in it
// when the test ends, so file tests never see each other's leftovers.
//
// Thread-safety: one object per test.

#ifndef DIZEDIR_LISTS_LISTS_TEST_DIR_H_
#define DIZEDIR_LISTS_LISTS_TEST_DIR_H_

#include <atomic>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <string_view>

#include "platform/env.h"

namespace dizedir {

class ScratchDir {
 public:
  ScratchDir() {
    std::random_device seed;
    path_ = std::filesystem::temp_directory_path() /
            ("dizedir-lists-" + std::to_string(seed()) + "-" +
             std::to_string(counter_++));
    std::filesystem::create_directories(path_);
  }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  // With a trailing separator, the form the system keeps directories in.
  std::string dir() const { return path_.string() + "/"; }
  std::string Path(std::string_view name) const {
    return dir() + std::string(name);
  }

  // Without a sync: the tests never outlive a crash, and syncing every
  // fixture would make them slow.
  bool Write(std::string_view name, std::string_view data) const {
    std::unique_ptr<WritableFile> file;
    return Env::Default()->NewWritableFile(Path(name), &file).ok() &&
           file->Append(data).ok() && file->Close().ok();
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
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator(path_)) {
      ++n;
    }
    return n;
  }

 private:
  static inline std::atomic<int> counter_{0};
  std::filesystem::path path_;
};

}  // namespace dizedir

#endif  // DIZEDIR_LISTS_LISTS_TEST_DIR_H_
