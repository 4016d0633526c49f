// fuzz_release_manifest: the manifest a hostile server sends before its
// signature is checked, and the time text inside it. Whatever the parsers
// accept must format back to the very same bytes: a second spelling of one
// manifest would let two texts carry one meaning.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "lists/release_manifest.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  dizedir::ReleaseManifest manifest;
  if (dizedir::ParseReleaseManifest(text, &manifest).ok()) {
    if (dizedir::FormatReleaseManifest(manifest) != text) __builtin_trap();
    for (const dizedir::ManifestFile& file : manifest.files) {
      if (manifest.Find(file.name) == nullptr) __builtin_trap();
    }
  }
  int64_t seconds = 0;
  if (dizedir::ParseUtcTime(text, &seconds) && dizedir::FormatUtcTime(seconds) != text) {
    __builtin_trap();
  }
  return 0;
}
