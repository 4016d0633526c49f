#include "platform/ini_profile.h"

#include "platform/text.h"
#include "platform/win32/win32_util.h"

namespace dizedir {
namespace {

std::wstring Wide(std::u16string_view text) { return std::wstring(text.begin(), text.end()); }

}  // namespace

std::u16string ProfileString(const std::string& path, std::u16string_view section,
                             std::u16string_view key,
                             std::u16string_view default_value, size_t buffer_units) {
  if (buffer_units == 0) return std::u16string();
  std::wstring buffer(buffer_units, L'\0');
  const DWORD units = GetPrivateProfileStringW(
      Wide(section).c_str(), Wide(key).c_str(), Wide(default_value).c_str(),
      buffer.data(), static_cast<DWORD>(buffer_units), win32::Widen(path).c_str());
  buffer.resize(units);
  return std::u16string(buffer.begin(), buffer.end());
}

int ProfileInt(const std::string& path, std::u16string_view section,
               std::u16string_view key, int default_value) {
  return static_cast<int>(GetPrivateProfileIntW(Wide(section).c_str(), Wide(key).c_str(),
                                                default_value, win32::Widen(path).c_str()));
}

}  // namespace dizedir
