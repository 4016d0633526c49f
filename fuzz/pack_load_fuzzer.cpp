// fuzz_pack_load: any bytes as a pack file. Both open operations must either
// refuse it or give an archive whose every entry can be queried and read
// without reading out of bounds; a save of what loaded must load again with
// the same entries.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "pack/pack.h"
#include "platform/env.h"

namespace dizedir {
namespace {

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

void ReadEverything(PackArchive* a) {
  const uint32_t count = PackGetCount(a);
  for (uint32_t k = 0; k < count; ++k) {
    const uint32_t id = PackGetIdAt(k, a);
    uint32_t size = 0;
    if (!PackRead(nullptr, &size, id, a)) std::abort();
    std::vector<char> buffer(size + 1);
    PackRead(buffer.data(), &size, id, a);
    std::string block;
    PackReadStored(id, a, &block);
  }
}

}  // namespace
}  // namespace dizedir

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace dizedir;
  MemoryEnv env;
  env.files["a.pac"].assign(reinterpret_cast<const char*>(data), size);

  PackArchive* ro = PackOpenReadOnly(&env, "a.pac");
  PackArchive* rw = PackOpenForUpdate(&env, "a.pac");
  if ((ro == nullptr) != (rw == nullptr)) std::abort();
  if (ro == nullptr) {
    // Refused: nothing may have been written.
    if (env.files.size() != 1 || env.files["a.pac"].size() != size) std::abort();
    return 0;
  }
  ReadEverything(ro);
  ReadEverything(rw);
  const uint32_t count = PackGetCount(ro);
  PackClose(ro);
  PackAdd(0xFFFFFFFFu, "x", 1, rw, 1, nullptr);
  const bool added = PackGetCount(rw) == count + 1;
  if (PackClose(rw) != 1) std::abort();

  PackArchive* again = PackOpenReadOnly(&env, "a.pac");
  if (again == nullptr) std::abort();
  if (PackGetCount(again) != count + (added ? 1 : 0)) std::abort();
  ReadEverything(again);
  PackClose(again);
  return 0;
}
