// fuzz_pack_load: any bytes as a pack file. Both open operations must either
// refuse it or give an archive whose every entry can be queried and read
// without reading out of bounds; a save of what loaded must load again with
// the same entries. Copying every entry into another pack takes exactly the
// ones whose blocks pass the check, and that pack then passes PackCheck.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "pack/pack.h"
#include "memory_env.h"
#include "platform/env.h"

namespace dizedir {
namespace {

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
  bool all_whole = true;
  PackArchive* copy = PackOpenForUpdate(&env, "b.pac");
  for (uint32_t k = 0; k < count; ++k) {
    const uint32_t id = PackGetIdAt(k, ro);
    const bool whole = PackCheckEntry(id, ro).ok();
    all_whole &= whole;
    if (PackCopyEntry(id, ro, copy).ok() != whole) std::abort();
  }
  PackClose(ro);
  if (PackClose(copy) != 1) std::abort();
  if (!PackCheck(&env, "b.pac", "b.pac").ok()) std::abort();
  if (PackCheck(&env, "a.pac", "a.pac").ok() != all_whole) std::abort();
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
