// Reading the string table of a resource-only library through the OS's own
// resource loader. Only Windows has one; elsewhere the plug-in reads the PE
// file itself (plugin/pe_resources.h).
//
// Thread-safety: safe from any thread; the library is mapped only for the
// duration of the call.

#ifndef DIZEDIR_PLATFORM_MODULE_STRINGS_H_
#define DIZEDIR_PLATFORM_MODULE_STRINGS_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "platform/status.h"

namespace dizedir {

// Maps the library at `path` (a native path) as data, without running any
// of its code, and calls `each` for every non-empty string of its string
// table, cut to `max_units` UTF-16 units. Fails with the loader's status
// when the file is missing or is no library; Corruption when it has no
// string table at all.
Status ForEachModuleString(
    const std::string& path, size_t max_units,
    const std::function<void(uint32_t id, std::u16string_view text)>& each);

}  // namespace dizedir

#endif  // DIZEDIR_PLATFORM_MODULE_STRINGS_H_
