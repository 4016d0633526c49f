#include "platform/ini_file.h"

#include <climits>
#include <cstdint>

#include "platform/case_fold.h"
#include "platform/ini_profile.h"
#include "platform/text.h"

namespace dizedir {

namespace {

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t'; }

std::u16string_view Trim(std::u16string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

std::u16string DecodeUtf16(std::string_view bytes, bool big_endian) {
  // An odd last byte is half a unit and cannot be part of the text.
  std::u16string units(bytes.size() / 2, u'\0');
  for (size_t i = 0; i < units.size(); ++i) {
    const auto first = static_cast<uint8_t>(bytes[2 * i]);
    const auto second = static_cast<uint8_t>(bytes[2 * i + 1]);
    units[i] = big_endian ? static_cast<char16_t>((first << 8) | second)
                          : static_cast<char16_t>((second << 8) | first);
  }
  return units;
}

std::u16string DecodeText(std::string_view bytes) {
  if (bytes.size() >= 2 && bytes[0] == '\xFF' && bytes[1] == '\xFE') {
    return DecodeUtf16(bytes.substr(2), /*big_endian=*/false);
  }
  if (bytes.size() >= 2 && bytes[0] == '\xFE' && bytes[1] == '\xFF') {
    return DecodeUtf16(bytes.substr(2), /*big_endian=*/true);
  }
  if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF") {
    bytes.remove_prefix(3);
  }
  return Utf8ToUtf16(bytes);
}

// The Windows profile functions read UTF-16LE with its mark and take any
// other file as ANSI text, which gives the same answers only for plain
// ASCII. UTF-8 and big-endian files keep the reader here on every platform.
[[maybe_unused]] bool OsReadsAlike(std::string_view bytes) {
  if (bytes.size() >= 2 && bytes[0] == '\xFF' && bytes[1] == '\xFE') return true;
  for (const char c : bytes) {
    if (static_cast<unsigned char>(c) >= 0x80 || c == '\0') return false;
  }
  return true;
}

}  // namespace

IniFile IniFile::Parse(std::string_view bytes) {
  const std::u16string text = DecodeText(bytes);
  const std::u16string_view all(text);
  IniFile ini;
  Section* current = nullptr;
  size_t pos = 0;
  while (pos < all.size()) {
    size_t end = all.find_first_of(u"\r\n", pos);
    if (end == std::u16string_view::npos) end = all.size();
    const std::u16string_view line = Trim(all.substr(pos, end - pos));
    pos = end;
    if (pos < all.size()) {  // CR, LF or CR LF
      const bool carriage_return = all[pos] == u'\r';
      ++pos;
      if (carriage_return && pos < all.size() && all[pos] == u'\n') ++pos;
    }

    if (line.empty() || line.front() == u';') continue;
    if (line.front() == u'[') {
      const size_t close = line.find(u']');
      if (close != std::u16string_view::npos) {
        ini.sections_.push_back(
            Section{std::u16string(Trim(line.substr(1, close - 1))), {}});
        current = &ini.sections_.back();
        continue;
      }
    }
    if (current == nullptr) continue;  // keys before any section are unreachable
    const size_t equals = line.find(u'=');
    std::u16string_view key = line, value;
    if (equals != std::u16string_view::npos) {
      key = Trim(line.substr(0, equals));
      value = Trim(line.substr(equals + 1));
    }
    if (value.size() >= 2 && (value.front() == u'"' || value.front() == u'\'') &&
        value.back() == value.front()) {
      value = value.substr(1, value.size() - 2);
    }
    current->entries.emplace_back(std::u16string(key), std::u16string(value));
  }
  return ini;
}

Status IniFile::Load(Env* env, const std::string& path, IniFile* ini) {
  *ini = IniFile();
  std::string bytes;
  Status s = ReadFileToString(env, path, &bytes, kMaxFileBytes);
  if (!s.ok()) return s;
#if defined(_WIN32)
  if (OsReadsAlike(bytes)) {
    ini->profile_path_ = env->NativePath(path);
    return Status::OK();
  }
#endif
  *ini = Parse(bytes);
  return Status::OK();
}

const std::u16string* IniFile::Find(std::u16string_view section,
                                    std::u16string_view key) const {
  for (const Section& candidate : sections_) {
    if (!EqualsIgnoreCase(candidate.name, section)) continue;
    for (const auto& [name, value] : candidate.entries) {
      if (EqualsIgnoreCase(name, key)) return &value;
    }
    return nullptr;  // only the first section of a name counts
  }
  return nullptr;
}

std::u16string IniFile::GetString(std::u16string_view section,
                                  std::u16string_view key,
                                  std::u16string_view default_value,
                                  size_t buffer_units) const {
  if (buffer_units == 0) return std::u16string();
#if defined(_WIN32)
  if (!profile_path_.empty()) {
    return ProfileString(profile_path_, section, key, default_value, buffer_units);
  }
#endif
  const std::u16string* found = Find(section, key);
  std::u16string_view value = found ? std::u16string_view(*found) : default_value;
  if (!found) {
    while (!value.empty() && IsBlank(value.back())) value.remove_suffix(1);
  }
  if (value.size() > buffer_units - 1) value = value.substr(0, buffer_units - 1);
  return std::u16string(value);
}

int IniFile::GetInt(std::u16string_view section, std::u16string_view key,
                    int default_value) const {
#if defined(_WIN32)
  if (!profile_path_.empty()) return ProfileInt(profile_path_, section, key, default_value);
#endif
  const std::u16string* found = Find(section, key);
  if (!found) return default_value;
  std::u16string_view text(*found);
  size_t i = 0;
  while (i < text.size() && (IsBlank(text[i]) || text[i] == u'\v' ||
                             text[i] == u'\f' || text[i] == u'\r' ||
                             text[i] == u'\n')) {
    ++i;
  }
  bool negative = false;
  if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) {
    negative = text[i] == u'-';
    ++i;
  }
  // Saturates like strtol instead of overflowing.
  int64_t magnitude = 0;
  for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) {
    magnitude = magnitude * 10 + (text[i] - u'0');
    if (magnitude > int64_t{INT_MAX} + 1) magnitude = int64_t{INT_MAX} + 1;
  }
  const int64_t result = negative ? -magnitude : magnitude;
  if (result > INT_MAX) return INT_MAX;
  return static_cast<int>(result);
}

}  // namespace dizedir
