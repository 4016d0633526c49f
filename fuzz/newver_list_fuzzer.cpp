// fuzz_newver_list: the published version list reader. Every record it
// accepts must survive its own written form unchanged.

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "lists/version_lists.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<dizedir::VersionRecord> records;
  dizedir::DecodeRemoteVersions(
      std::string_view(reinterpret_cast<const char*>(data), size), &records);
  for (const dizedir::VersionRecord& record : records) {
    dizedir::VersionRecord again;
    if (!again.Parse(record.Format()) || again.stamp != record.stamp ||
        again.guid != record.guid || again.number != record.number ||
        again.state != (record.state == 3 ? 2 : record.state)) {
      __builtin_trap();
    }
  }
  return 0;
}
