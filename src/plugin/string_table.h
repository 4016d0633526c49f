// StringTable: every text the plug-in shows a player, looked up by numeric ID
// in the string library ResChn.dll that lies beside the plug-in. The file is
// read and checked once at Open and all its strings are decoded then, so a
// damaged library is refused at load time rather than at the first failure
// message.
//
// Thread-safety: immutable after Open; any number of threads may look up at
// once. Every lookup returns its own copy of the text, so no caller ever
// sees a text that another thread's lookup is writing.

#ifndef DIZEDIR_PLUGIN_STRING_TABLE_H_
#define DIZEDIR_PLUGIN_STRING_TABLE_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>

#include "platform/env.h"
#include "platform/status.h"

namespace dizedir {

class StringTable {
 public:
  // Texts are cut to this many UTF-16 units, the room the lookup buffer of
  // the Windows string loader leaves beside the terminator.
  static constexpr size_t kMaxTextUnits = 259;
  // ResChn.dll holds a few kilobytes; anything far larger is not a string
  // library.
  static constexpr uint64_t kMaxFileBytes = uint64_t{16} << 20;

  // Reads and checks `path` (any form Env accepts). Fails with the Env's
  // status when the file cannot be read, Corruption when it is not a
  // well-formed PE file or its string table is damaged.
  static Status Open(Env* env, const std::string& path,
                     std::unique_ptr<StringTable>* table);
  // The same over bytes already in memory.
  static Status FromBytes(std::string_view file,
                          std::unique_ptr<StringTable>* table);

  StringTable(const StringTable&) = delete;
  StringTable& operator=(const StringTable&) = delete;

  // False when the library has no text for `id`.
  bool Lookup(uint32_t id, std::u16string* text) const;
  // The text as narrow text; empty when absent, the way every caller uses a
  // missing string.
  std::string LookupNarrow(uint32_t id) const;

  // Fills the printf-style format of string `id` with integers, each taken as
  // a 32-bit value: %d and %i show it signed, %u unsigned (flags "-+ 0",
  // width and precision allowed). The library is outside our control, so
  // nothing else is ever handed to printf: any other conversion, or one
  // beyond the numbers given, stays in the text as written. Empty when the
  // string is absent.
  template <typename... Numbers>
  std::string FormatNarrow(uint32_t id, Numbers... numbers) const {
    static_assert((std::is_integral_v<Numbers> && ...),
                  "string formats take integers only");
    const uint32_t values[] = {static_cast<uint32_t>(numbers)..., 0};
    return FormatNumbers(LookupNarrow(id), values, sizeof...(Numbers));
  }

  // The formatting behind FormatNarrow, for any format text.
  static std::string FormatNumbers(std::string_view format,
                                   const uint32_t* values, size_t count);

 private:
  StringTable() = default;

  std::unordered_map<uint32_t, std::u16string> texts_;
};

}  // namespace dizedir

#endif  // DIZEDIR_PLUGIN_STRING_TABLE_H_
