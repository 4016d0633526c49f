#include "lists/split_archive.h"

#include <memory>
#include <vector>

#include "platform/confined_path.h"

namespace dizedir {
namespace {

bool Contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

// Appends the whole of `source` to `out` through `buffer`.
Status CopyFile(ReadableFile* source, WritableFile* out,
                std::vector<char>* buffer) {
  uint64_t offset = 0;
  while (true) {
    size_t got = 0;
    Status s = source->Read(offset, buffer->size(), buffer->data(), &got);
    if (!s.ok()) return s;
    if (got == 0) return Status::OK();
    s = out->Append(std::string_view(buffer->data(), got));
    if (!s.ok()) return s;
    offset += got;
  }
}

// A split archive's part file always carries the suffix, even when a dot
// in the archive name would hide it from the list-name rule.
std::string SplitPartFile(std::string_view archive, int index) {
  return PartName(archive, index) + ".zxp";
}

}  // namespace

std::string PartName(std::string_view archive, int index) {
  std::string name(archive);
  name += '_';
  name += std::to_string(index);
  return name;
}

std::string PartFileName(std::string_view part_name) {
  std::string file(part_name);
  if (!Contains(part_name, ".zip") && !Contains(part_name, ".zxp")) {
    file += ".zxp";
  }
  return file;
}

bool JoinParts(Env* env, const std::string& dir, const std::string& archive,
               int count) {
  if (count <= 1) return false;
  std::string output;
  if (!ConfinePath(dir, archive + ".zip", NameKind::kBareName, &output).ok()) return false;
  // Joined into a temporary beside the target so that neither a failure nor
  // a killed process leaves a truncated archive under the real name.
  const std::string temp = output + std::string(kTempSuffix);
  // The join replaces any earlier archive, and a failed one must leave
  // none, so the old one can go first; a rename onto a free name is also
  // cheaper than one that must drop a large file on the way.
  env->DeleteFile(output);
  std::unique_ptr<WritableFile> out;
  if (!env->NewWritableFile(temp, &out).ok()) return false;

  std::vector<char> buffer(kArchiveCopyBufferSize);
  Status s;
  for (int i = 0; i < count && s.ok(); ++i) {
    std::unique_ptr<ReadableFile> part;
    s = env->NewReadableFile(dir + SplitPartFile(archive, i), &part);
    if (s.ok()) s = CopyFile(part.get(), out.get(), &buffer);
  }
  if (s.ok()) s = out->Close();
  out.reset();
  if (s.ok()) s = env->RenameFile(temp, output);
  if (!s.ok()) {
    env->DeleteFile(temp);
    return false;
  }
  return true;
}

bool SplitFile(Env* env, const std::string& path, int count) {
  if (count <= 1) return false;
  std::unique_ptr<ReadableFile> source;
  if (!env->NewReadableFile(path, &source).ok()) return false;
  uint64_t size = 0;
  if (!source->Size(&size).ok()) return false;

  const size_t dot = path.find_last_of('.');
  const std::string base = dot == std::string::npos ? path : path.substr(0, dot);
  const uint64_t part_size = size / static_cast<uint64_t>(count) + 1;
  const size_t read_size = part_size <= kArchiveCopyBufferSize
                               ? static_cast<size_t>(part_size)
                               : kArchiveCopyBufferSize;

  int index = 0;
  std::unique_ptr<WritableFile> part;
  if (!env->NewWritableFile(SplitPartFile(base, index), &part).ok()) {
    return false;
  }
  std::vector<char> buffer(read_size);
  uint64_t copied = 0;
  uint64_t threshold = part_size;
  while (copied < size) {
    size_t got = 0;
    if (!source->Read(copied, read_size, buffer.data(), &got).ok()) {
      return false;
    }
    if (got == 0) break;
    if (!part->Append(std::string_view(buffer.data(), got)).ok() ||
        !part->Flush().ok()) {
      return false;
    }
    copied += got;
    if (copied >= threshold) {
      if (!part->Close().ok()) return false;
      threshold += part_size;
      ++index;
      if (!env->NewWritableFile(SplitPartFile(base, index), &part)
               .ok()) {
        return false;
      }
    }
  }
  return part->Close().ok();
}

}  // namespace dizedir
