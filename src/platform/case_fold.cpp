#include "platform/case_fold.h"

#include <string>

#include "platform/text.h"

namespace dizedir {

char16_t FoldCase(char16_t unit) {
  const auto shifted = [unit](int by) {
    return static_cast<char16_t>(unit + by);
  };
  if (unit < 0x80) {
    return (unit >= u'A' && unit <= u'Z') ? shifted(0x20) : unit;
  }
  if (unit >= 0xC0 && unit <= 0xDE && unit != 0xD7) return shifted(0x20);
  if (unit >= 0x100 && unit <= 0x17F) {
    // Pairs upper-even/lower-odd, except between U+0139 and U+0148 and
    // between U+0179 and U+017E where the pairing is shifted by one.
    const bool odd_upper = (unit >= 0x139 && unit <= 0x148) ||
                           (unit >= 0x179 && unit <= 0x17E);
    if (unit == 0x130 || unit == 0x131 || unit == 0x138 || unit == 0x149 ||
        unit == 0x17F) {
      return unit;
    }
    if (unit == 0x178) return 0xFF;  // Y with diaeresis
    const bool is_upper = odd_upper ? (unit % 2 == 1) : (unit % 2 == 0);
    return is_upper ? shifted(1) : unit;
  }
  if (unit >= 0x391 && unit <= 0x3A9 && unit != 0x3A2) return shifted(0x20);
  if (unit >= 0x410 && unit <= 0x42F) return shifted(0x20);
  if (unit >= 0x400 && unit <= 0x40F) return shifted(0x50);
  return unit;
}

bool EqualsIgnoreCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i] != b[i] && FoldCase(a[i]) != FoldCase(b[i])) return false;
  }
  return true;
}

bool EqualsIgnoreCaseUtf8(std::string_view a, std::string_view b) {
  bool ascii = true;
  if (a.size() == b.size()) {
    size_t i = 0;
    for (; i < a.size(); ++i) {
      const unsigned char x = static_cast<unsigned char>(a[i]);
      const unsigned char y = static_cast<unsigned char>(b[i]);
      if (x >= 0x80 || y >= 0x80) {
        ascii = false;
        break;
      }
      if (FoldCase(x) != FoldCase(y)) return false;
    }
    if (i == a.size()) return true;
  } else {
    for (const char c : a) ascii &= static_cast<unsigned char>(c) < 0x80;
    for (const char c : b) ascii &= static_cast<unsigned char>(c) < 0x80;
  }
  // Folding can change the byte length of a non-ASCII letter, so only a
  // pure ASCII pair of different lengths is settled without decoding.
  if (ascii) return false;
  const std::u16string wide_a = Utf8ToUtf16(a);
  const std::u16string wide_b = Utf8ToUtf16(b);
  // Every malformed byte decodes to the same U+FFFD; they must not match
  // each other, so names holding one are compared by their bytes.
  if (wide_a.find(u'\uFFFD') != std::u16string::npos ||
      wide_b.find(u'\uFFFD') != std::u16string::npos) {
    return a == b;
  }
  return EqualsIgnoreCase(wide_a, wide_b);
}

std::string CaseFoldKeyUtf8(std::string_view name) {
  std::string key(name);
  bool ascii = true;
  for (char& c : key) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte >= 0x80) {
      ascii = false;
      break;
    }
    c = static_cast<char>(FoldCase(byte));
  }
  if (ascii) return key;
  std::u16string wide = Utf8ToUtf16(name);
  if (wide.find(u'\uFFFD') != std::u16string::npos) {
    // Such a name matches only its own bytes. 0xFF never occurs in UTF-8,
    // so these keys cannot meet the folded ones below.
    key.assign(1, '\xFF');
    key.append(name);
    return key;
  }
  // The decoded text is valid UTF-16 and folding touches no surrogate, so
  // encoding it again is one-to-one.
  for (char16_t& unit : wide) unit = FoldCase(unit);
  return Utf16ToUtf8(wide);
}

}  // namespace dizedir
