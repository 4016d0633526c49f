// The Windows profile functions over one INI file, for IniFile's Windows
// backend: the OS's own reader answers lookups in files written for it.
// Declared for every platform, defined only on Windows.
//
// Thread-safety: safe from any thread.

#ifndef DIZEDIR_PLATFORM_INI_PROFILE_H_
#define DIZEDIR_PLATFORM_INI_PROFILE_H_

#include <cstddef>
#include <string>
#include <string_view>

namespace dizedir {

// GetPrivateProfileStringW over the file at `path` (a full native path).
std::u16string ProfileString(const std::string& path, std::u16string_view section,
                             std::u16string_view key,
                             std::u16string_view default_value, size_t buffer_units);
// GetPrivateProfileIntA; section and key are converted to narrow text.
int ProfileInt(const std::string& path, std::u16string_view section,
               std::u16string_view key, int default_value);

}  // namespace dizedir

#endif  // DIZEDIR_PLATFORM_INI_PROFILE_H_
