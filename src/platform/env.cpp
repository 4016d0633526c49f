#include "platform/env.h"

#include <string>

namespace dizedir {

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
