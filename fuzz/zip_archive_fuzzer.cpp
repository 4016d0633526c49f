// fuzz_zip_archive: any bytes as a patch archive. Opening (end records,
// zip64, the overlap check), describing every item (names, attributes, the
// extended-timestamp block) and extracting each one must never crash or
// read out of bounds; nothing may be written outside the base directory or
// left under a temporary name, and no more than the archive declares.
//
// The same bytes are also cut into parts at places drawn from the bytes
// themselves (empty parts included) and opened as a split archive, which
// must answer exactly as the whole file does and unpack the same files.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "codec/zip.h"
#include "memory_env.h"
#include "platform/env.h"

namespace {

using namespace dizedir;

// Up to eight cut places, the same for the same bytes.
std::vector<size_t> CutPlaces(const uint8_t* data, size_t size) {
  uint64_t hash = 14695981039346656037u ^ size;
  for (size_t i = 0; i < std::min<size_t>(size, 64); ++i) {
    hash = (hash ^ data[i]) * 1099511628211u;
  }
  std::vector<size_t> cuts(hash % 9);
  for (size_t& cut : cuts) {
    hash = hash * 6364136223846793005u + 1442695040888963407u;
    cut = static_cast<size_t>((hash >> 33) % (size + 1));
  }
  std::sort(cuts.begin(), cuts.end());
  return cuts;
}

struct Unpacked {
  std::vector<ZipResult> results;
  ZipTotals totals;
};

// Describes and extracts every item below `base`.
Unpacked Unpack(ZipArchive* a, const std::u16string& base) {
  Unpacked out;
  ZipSetBaseDir(a, base);
  ZipGetTotals(a, &out.totals);
  ZipItem item;
  ZipGetItem(a, -1, &item);
  const int count = std::min(item.index, 64);
  for (int i = 0; i < count; ++i) {
    ZipResult r = ZipGetItem(a, i, &item);
    if (r == ZipResult::kOk && item.uncompressed_size <= (uint64_t{1} << 24)) {
      r = ZipUnzipItem(a, i, item.name);
    }
    out.results.push_back(r);
  }
  ZipClose(a);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  MemoryEnv env;
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  env.files["in.zip"] = bytes;
  std::vector<std::u16string> parts;
  size_t from = 0;
  std::vector<size_t> cuts = CutPlaces(data, size);
  cuts.push_back(size);
  for (size_t cut : cuts) {
    const std::string name = "in_" + std::to_string(parts.size()) + ".zxp";
    env.files[name] = bytes.substr(from, cut - from);
    parts.push_back(std::u16string(name.begin(), name.end()));
    from = cut;
  }
  const std::map<std::string, std::string> inputs = env.files;

  ZipResult why_whole = ZipResult::kOk;
  ZipResult why_split = ZipResult::kOk;
  ZipArchive* whole = ZipOpenFile(&env, u"in.zip", nullptr, &why_whole);
  ZipArchive* split = ZipOpenParts(&env, parts, &why_split);
  if (why_whole != why_split || (whole == nullptr) != (split == nullptr)) std::abort();
  if (whole == nullptr) return 0;
  const Unpacked from_whole = Unpack(whole, u"base");
  const Unpacked from_split = Unpack(split, u"cuts");
  if (from_whole.results != from_split.results ||
      from_whole.totals.compressed_bytes != from_split.totals.compressed_bytes ||
      from_whole.totals.uncompressed_bytes != from_split.totals.uncompressed_bytes) {
    std::abort();
  }
  // Items never share bytes, so their data fits in the file.
  if (from_whole.totals.compressed_bytes > size) std::abort();

  uint64_t written = 0;
  size_t files = 0;
  for (const auto& [path, contents] : env.files) {
    if (const auto input = inputs.find(path); input != inputs.end()) {
      if (input->second != contents) std::abort();
      continue;
    }
    if (path.find(kTempSuffix) != std::string::npos) std::abort();
    if (path.rfind("base\\", 0) == 0) {
      // The split archive unpacked the very same file.
      const auto twin = env.files.find("cuts\\" + path.substr(5));
      if (twin == env.files.end() || twin->second != contents) std::abort();
      written += contents.size();
      ++files;
    } else if (path.rfind("cuts\\", 0) != 0) {
      std::abort();
    }
  }
  if (env.files.size() != inputs.size() + 2 * files) std::abort();
  if (written > from_whole.totals.uncompressed_bytes) std::abort();
  return 0;
}
