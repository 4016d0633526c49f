// Reads RT_STRING resources out of the bytes of a PE file (32 or 64 bit)
// without loading it, so the one string library ResChn.dll serves every
// platform. The file is untrusted (a patch may replace it): every offset,
// count and length is checked against the file and its sections before it
// is used, the directory walk has a fixed depth, and nothing outside the
// given bytes is ever read.
//
// Thread-safety: pure functions over caller-owned bytes.

#ifndef DIZEDIR_PLUGIN_PE_RESOURCES_H_
#define DIZEDIR_PLUGIN_PE_RESOURCES_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "platform/status.h"

namespace dizedir {

// The text of string `id` (whole, not cut). NotFound when the file carries no
// string of that ID or an empty one, Corruption when the structure on the way
// to it is malformed.
Status FindString(std::string_view file, uint32_t id, std::u16string* text);

// Checks the whole string table, then calls `visit` for every non-empty
// string in ascending ID order, each cut to at most `max_units` UTF-16 units
// (which also bounds the work a hostile file can cause when many blocks
// share one large block of data). Any malformed directory, data entry or
// block fails with Corruption and no visit at all. A well-formed file without
// strings gives OK and no visit.
Status ForEachString(
    std::string_view file, size_t max_units,
    const std::function<void(uint32_t id, std::u16string_view text)>& visit);

}  // namespace dizedir

#endif  // DIZEDIR_PLUGIN_PE_RESOURCES_H_
