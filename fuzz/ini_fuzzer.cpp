// Feeds arbitrary bytes to the INI reader and looks up the keys the system
// reads, plus names taken from the input itself so that found values are
// exercised too.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/ini_file.h"
#include "platform/text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const dizedir::IniFile ini = dizedir::IniFile::Parse(bytes);
  static constexpr std::u16string_view kNames[][2] = {
      {u"Region1", u"list"}, {u"gateway", u"a"},   {u"MainRegion", u"a"},
      {u"url", u"url"},      {u"SETTING", u"SP"},  {u"curregDianXin", u"region"},
      {u"a", u"k"},          {u"", u""},
  };
  for (const auto& name : kNames) {
    const std::u16string value = ini.GetString(name[0], name[1], u"d ", 1024);
    if (value.size() > 1023) __builtin_trap();
    ini.GetInt(name[0], name[1], -1);
  }
  // The first line's text as a section name and the second's as a key.
  const std::u16string text = dizedir::Utf8ToUtf16(bytes.substr(0, 256));
  const size_t newline = text.find(u'\n');
  const std::u16string_view first = std::u16string_view(text).substr(0, newline);
  const std::u16string_view rest =
      newline == std::u16string::npos ? u"" : std::u16string_view(text).substr(newline + 1);
  if (ini.GetString(first, rest, u"", 7).size() > 6) __builtin_trap();
  return 0;
}
