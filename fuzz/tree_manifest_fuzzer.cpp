// fuzz_tree_manifest: the tree manifest a hostile server sends before its
// hash is checked. Whatever parses must format back to the very same bytes
// (a second spelling would let two texts carry one meaning), and every path
// and entry it lists must be found again by the lookups, each as itself:
// two paths one file on Windows would make one of them unreachable.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "lists/tree_manifest.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace dizedir;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  TreeManifest manifest;
  if (!ParseTreeManifest(text, &manifest).ok()) return 0;
  if (FormatTreeManifest(manifest) != text) __builtin_trap();
  const TreePathIndex index(manifest);
  for (const TreeFile& file : manifest.files) {
    if (index.FindFile(file.path) != &file || index.FindPack(file.path) != nullptr) {
      __builtin_trap();
    }
  }
  for (const TreePack& pack : manifest.packs) {
    if (index.FindPack(pack.path) != &pack || index.FindFile(pack.path) != nullptr) {
      __builtin_trap();
    }
    for (const TreePackEntry& entry : pack.entries) {
      if (pack.FindEntry(entry.id) != &entry) __builtin_trap();
    }
  }
  return 0;
}
