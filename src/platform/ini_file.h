// IniFile: a read-only INI file that answers lookups the way the Windows
// profile functions (GetPrivateProfileStringW, GetPrivateProfileIntA) do,
// because the server list and the settings files are written for them:
// section and key names match case-insensitively, the first match wins,
// values are trimmed and may be quoted.
//
// Accepts UTF-16LE or UTF-16BE with a byte-order mark and UTF-8 with or
// without one; CR LF, LF or CR line ends. Everything is bounded by the bytes
// given, so a hostile file gives odd answers but never a crash.
//
// On Windows, Load leaves the lookups in a UTF-16LE or plain ASCII file to
// the OS's profile functions over the file itself (platform/ini_profile.h),
// which read those the same way; other encodings, Parse and every other
// platform use the reader here.
//
// Thread-safety: immutable after Parse/Load; concurrent lookups are safe.

#ifndef DIZEDIR_PLATFORM_INI_FILE_H_
#define DIZEDIR_PLATFORM_INI_FILE_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/env.h"
#include "platform/status.h"

namespace dizedir {

class IniFile {
 public:
  // Larger files are refused by Load; no settings file comes near it.
  static constexpr uint64_t kMaxFileBytes = uint64_t{16} << 20;

  IniFile() = default;  // reads every key as missing

  static IniFile Parse(std::string_view bytes);
  // A missing file gives NotFound and leaves *ini empty, so callers that
  // treat absence as "all defaults" can ignore the status.
  static Status Load(Env* env, const std::string& path, IniFile* ini);

  // The value of `key` in `section`, or `default_value` (without trailing
  // blanks) when either is missing; cut to buffer_units - 1 units, as a
  // caller's buffer of that size with its terminator would hold.
  std::u16string GetString(std::u16string_view section, std::u16string_view key,
                           std::u16string_view default_value,
                           size_t buffer_units) const;
  // The value converted like atoi (leading blanks, optional sign, digits,
  // the rest ignored; no digits gives 0), or `default_value` when missing.
  int GetInt(std::u16string_view section, std::u16string_view key,
             int default_value) const;

 private:
  struct Section {
    std::u16string name;
    std::vector<std::pair<std::u16string, std::u16string>> entries;
  };

  // Null when the section or the key is missing.
  const std::u16string* Find(std::u16string_view section,
                             std::u16string_view key) const;

  std::vector<Section> sections_;
  // Set by Load on Windows: the file the OS answers lookups from.
  std::string profile_path_;
};

}  // namespace dizedir

#endif  // DIZEDIR_PLATFORM_INI_FILE_H_
