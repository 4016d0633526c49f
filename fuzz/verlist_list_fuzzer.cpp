// fuzz_verlist_list: the published patch list reader, whose trailers carry
// counts and names an attacker controls.

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "lists/list_text.h"
#include "lists/version_lists.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<dizedir::PatchRecord> records;
  dizedir::DecodePatches(
      std::string_view(reinterpret_cast<const char*>(data), size), &records);
  for (const dizedir::PatchRecord& record : records) {
    // No part list can outgrow the line it came from.
    if (record.PartCount() > dizedir::kListLineBound) __builtin_trap();
    record.Format();
  }
  return 0;
}
