// MemoryEnv: an Env whose files live in a map, for fuzz targets that drive
// file-format code through Env without touching the disk. Directories,
// times, permissions and links are accepted and ignored; clock and text
// calls go to the real Env.
//
// Thread-safety: none; one per fuzz input.

#ifndef DIZEDIR_FUZZ_MEMORY_ENV_H_
#define DIZEDIR_FUZZ_MEMORY_ENV_H_

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <string>

#include "platform/env.h"

namespace dizedir {

// Files live in a map, so a run touches no disk.
class MemoryEnv : public EnvWrapper {
 public:
  MemoryEnv() : EnvWrapper(Env::Default()) {}
  std::map<std::string, std::string> files;

  Status NewReadableFile(const std::string& path,
                         std::unique_ptr<ReadableFile>* result) override {
    auto it = files.find(path);
    if (it == files.end()) return Status::NotFound(path);
    *result = std::make_unique<Reader>(it->second);
    return Status::OK();
  }
  Status NewWritableFile(const std::string& path,
                         std::unique_ptr<WritableFile>* result) override {
    files[path].clear();
    *result = std::make_unique<Writer>(&files[path]);
    return Status::OK();
  }
  bool FileExists(const std::string& path) override {
    return files.count(path) != 0;
  }
  Status RenameFile(const std::string& from, const std::string& to) override {
    files[to] = files[from];
    files.erase(from);
    return Status::OK();
  }
  Status DeleteFile(const std::string& path) override {
    files.erase(path);
    return Status::OK();
  }
  Status SyncDirectory(const std::string&) override { return Status::OK(); }
  std::string NativePath(const std::string& path) override { return path; }
  bool IsDirectory(const std::string&) override { return false; }
  bool IsSymbolicLink(const std::string&) override { return false; }
  Status CreateDirectories(const std::string&) override { return Status::OK(); }
  Status SetFileTimes(const std::string&, const FileTimes&) override {
    return Status::OK();
  }
  Status SetReadOnly(const std::string&, bool) override { return Status::OK(); }

 private:
  // Holds its own copy: a save replaces the map entry under a reader.
  class Reader : public ReadableFile {
   public:
    explicit Reader(std::string data) : data_(std::move(data)) {}
    Status Read(uint64_t offset, size_t n, char* scratch,
                size_t* bytes_read) override {
      *bytes_read = 0;
      if (offset >= data_.size()) return Status::OK();
      *bytes_read = std::min<uint64_t>(n, data_.size() - offset);
      std::memcpy(scratch, data_.data() + offset, *bytes_read);
      return Status::OK();
    }
    Status Size(uint64_t* size) override {
      *size = data_.size();
      return Status::OK();
    }

   private:
    const std::string data_;
  };
  class Writer : public WritableFile {
   public:
    explicit Writer(std::string* out) : out_(out) {}
    Status Append(std::string_view data) override {
      out_->append(data);
      return Status::OK();
    }
    Status Flush() override { return Status::OK(); }
    Status Sync() override { return Status::OK(); }
    Status Close() override { return Status::OK(); }

   private:
    std::string* out_;
  };
};

}  // namespace dizedir

#endif  // DIZEDIR_FUZZ_MEMORY_ENV_H_
