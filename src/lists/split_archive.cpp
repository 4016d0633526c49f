#include "lists/split_archive.h"

#include <memory>
#include <vector>

namespace dizedir {
namespace {

bool Contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
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
