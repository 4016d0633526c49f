#include "platform/env.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>

namespace dizedir {

Status WritableFile::AppendFrom(ReadableFile* source, uint64_t offset,
                                uint64_t length) {
  if (offset > UINT64_MAX - length) {
    return Status::InvalidArgument("range copy past the largest offset");
  }
  // Big enough to stream at disk speed; a small range takes no more memory
  // than its own size.
  constexpr uint64_t kChunk = uint64_t{1} << 20;
  const size_t capacity = static_cast<size_t>(std::min(length, kChunk));
  std::unique_ptr<char[]> chunk(new char[std::max<size_t>(capacity, 1)]);
  while (length > 0) {
    const size_t n = static_cast<size_t>(std::min(length, kChunk));
    size_t got = 0;
    Status s = source->Read(offset, n, chunk.get(), &got);
    if (!s.ok()) return s;
    if (got > 0) {
      s = Append(std::string_view(chunk.get(), got));
      if (!s.ok()) return s;
    }
    if (got < n) {
      return Status::Corruption("range copy: the source ends before the range");
    }
    offset += n;
    length -= n;
  }
  return Status::OK();
}

Status ReadFileToString(Env* env, const std::string& path, std::string* data,
                        uint64_t max_bytes) {
  data->clear();
  std::unique_ptr<ReadableFile> file;
  Status s = env->NewReadableFile(path, &file);
  if (!s.ok()) return s;
  uint64_t size = 0;
  s = file->Size(&size);
  if (!s.ok()) return s;
  if (size > max_bytes) {
    return Status::Corruption(path + ": file too large");
  }
  data->resize(static_cast<size_t>(size));
  size_t got = 0;
  s = file->Read(0, data->size(), data->data(), &got);
  if (!s.ok()) return s;
  // A file that shrank under us is read as what is there.
  data->resize(got);
  return Status::OK();
}

std::string AsideName(const std::string& path, int n) {
  return path + ".old" + std::to_string(n) + std::string(kTempSuffix);
}

bool OriginalOfAsideName(std::string_view name, std::string* original) {
  if (!IsTemporaryName(name)) return false;
  name.remove_suffix(kTempSuffix.size());
  size_t digits = 0;
  while (digits < name.size() && name[name.size() - 1 - digits] >= '0' &&
         name[name.size() - 1 - digits] <= '9') {
    ++digits;
  }
  constexpr std::string_view kOld = ".old";
  if (digits == 0 || name.size() < digits + kOld.size() + 1) return false;
  name.remove_suffix(digits);
  if (name.substr(name.size() - kOld.size()) != kOld) return false;
  name.remove_suffix(kOld.size());
  original->assign(name);
  return true;
}

Status AppendFileContents(Env* env, const std::string& path,
                          WritableFile* out) {
  std::unique_ptr<ReadableFile> in;
  Status s = env->NewReadableFile(path, &in);
  uint64_t size = 0;
  if (s.ok()) s = in->Size(&size);
  if (s.ok()) s = out->AppendFrom(in.get(), 0, size);
  return s;
}

void RunOnThreads(Env* env, size_t count,
                  const std::function<void(size_t)>& body) {
  std::vector<std::unique_ptr<Thread>> threads;
  for (size_t i = 1; i < count; ++i) {
    std::unique_ptr<Thread> thread;
    if (!env->NewThread([&body, i] {
          body(i);
          return 0u;
        }, &thread).ok()) {
      continue;
    }
    thread->Resume();
    threads.push_back(std::move(thread));
  }
  body(0);
  for (auto& thread : threads) thread->Join();
}

Status WriteFileAtomically(Env* env, const std::string& path,
                           std::string_view data) {
  const std::string temp = path + std::string(kTempSuffix);
  std::unique_ptr<WritableFile> file;
  Status s = env->NewWritableFile(temp, &file);
  if (s.ok()) s = file->Append(data);
  if (s.ok()) s = file->Sync();
  if (s.ok()) s = file->Close();
  file.reset();
  if (s.ok()) s = env->RenameFile(temp, path);
  if (!s.ok()) {
    env->DeleteFile(temp);
    return s;
  }
  // Durability of the rename itself; the file is already complete, so a
  // failure here does not make the write a failure.
  const std::string native = env->NativePath(path);
  const std::string::size_type slash = native.find_last_of('/');
  if (slash != std::string::npos) {
    env->SyncDirectory(native.substr(0, slash + 1));
  }
  return Status::OK();
}

}  // namespace dizedir
