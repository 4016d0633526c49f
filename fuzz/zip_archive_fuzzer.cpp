// fuzz_zip_archive: any bytes as a patch archive. Opening (end records,
// zip64, the overlap check), describing every item (names, attributes, the
// extended-timestamp block) and extracting each one must never crash or
// read out of bounds; nothing may be written outside the base directory or
// left under a temporary name, and no more than the archive declares.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "codec/zip.h"
#include "memory_env.h"
#include "platform/env.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace dizedir;
  MemoryEnv env;
  env.files["in.zip"].assign(reinterpret_cast<const char*>(data), size);
  ZipArchive* a = ZipOpenFile(&env, u"in.zip", nullptr);
  if (a == nullptr) return 0;
  ZipSetBaseDir(a, u"base");
  ZipTotals totals;
  ZipGetTotals(a, &totals);
  // Items never share bytes, so their data fits in the file.
  if (totals.compressed_bytes > size) std::abort();
  ZipItem item;
  ZipGetItem(a, -1, &item);
  const int count = std::min(item.index, 64);
  for (int i = 0; i < count; ++i) {
    if (ZipGetItem(a, i, &item) != ZipResult::kOk) continue;
    if (item.uncompressed_size > (uint64_t{1} << 24)) continue;
    ZipUnzipItem(a, i, item.name);
  }
  ZipClose(a);
  uint64_t written = 0;
  for (const auto& [path, contents] : env.files) {
    if (path == "in.zip") continue;
    if (path.rfind("base\\", 0) != 0 || path.find(kTempSuffix) != std::string::npos) {
      std::abort();
    }
    written += contents.size();
  }
  if (written > totals.uncompressed_bytes) std::abort();
  return 0;
}
