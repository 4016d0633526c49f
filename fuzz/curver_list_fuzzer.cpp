// fuzz_curver_list: the installed list reader and the writer's encoding of
// what it read.

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "lists/list_text.h"
#include "lists/version_lists.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<dizedir::LocalVersionRecord> records;
  dizedir::DecodeLocalVersions(
      std::string_view(reinterpret_cast<const char*>(data), size), &records);
  for (const dizedir::LocalVersionRecord& record : records) {
    if (record.PartCount() > dizedir::kListLineBound) __builtin_trap();
  }
  dizedir::EncodeLocalVersions(records);
  return 0;
}
