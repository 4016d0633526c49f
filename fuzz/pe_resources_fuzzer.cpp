// Feeds arbitrary bytes to the string library reader as if they were
// ResChn.dll. Besides never reading outside the input, the two ways of
// reading must agree: whatever the full walk accepts, the single lookup
// finds with the same text.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "plugin/pe_resources.h"
#include "plugin/string_table.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view file(reinterpret_cast<const char*>(data), size);
  constexpr size_t kUnits = dizedir::StringTable::kMaxTextUnits;

  bool whole_table_ok = false;
  dizedir::Status walk = dizedir::ForEachString(
      file, kUnits, [&](uint32_t id, std::u16string_view text) {
        std::u16string found;
        dizedir::Status s = dizedir::FindString(file, id, &found);
        if (!s.ok() || found.substr(0, kUnits) != text) std::abort();
      });
  whole_table_ok = walk.ok();

  std::unique_ptr<dizedir::StringTable> table;
  if (dizedir::StringTable::FromBytes(file, &table).ok() != whole_table_ok) {
    std::abort();
  }
  for (uint32_t id : {0u, 15u, 16u, 241u, 247u, 248u, 65535u, 65536u}) {
    std::u16string text;
    dizedir::Status s = dizedir::FindString(file, id, &text);
    if (whole_table_ok && !s.ok() && !s.IsNotFound()) std::abort();
    if (table != nullptr) {
      table->Lookup(id, &text);
      table->FormatNarrow(id, 1, 2u, 3u, 4u);
    }
  }
  return 0;
}
