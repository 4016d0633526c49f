#include "platform/text.h"

#include <cstdint>

namespace dizedir {

namespace {

constexpr char16_t kReplacement = 0xFFFD;

void AppendUtf16(char32_t cp, std::u16string* out) {
  if (cp < 0x10000) {
    out->push_back(static_cast<char16_t>(cp));
  } else {
    cp -= 0x10000;
    out->push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
    out->push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
  }
}

void AppendUtf8(char32_t cp, std::string* out) {
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// Decodes one well-formed sequence at text[*pos]; on malformed input consumes
// a single byte so that every bad byte yields its own replacement.
char32_t DecodeUtf8(std::string_view text, size_t* pos) {
  const auto byte = [&](size_t i) { return static_cast<uint8_t>(text[i]); };
  const uint8_t lead = byte(*pos);
  if (lead < 0x80) {
    ++*pos;
    return lead;
  }
  size_t length = 0;
  char32_t cp = 0;
  // The bounds of the second byte exclude overlong forms, surrogates and
  // values past U+10FFFF in one test.
  uint8_t second_min = 0x80, second_max = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    cp = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    cp = lead & 0x0F;
    if (lead == 0xE0) second_min = 0xA0;
    if (lead == 0xED) second_max = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    cp = lead & 0x07;
    if (lead == 0xF0) second_min = 0x90;
    if (lead == 0xF4) second_max = 0x8F;
  } else {
    ++*pos;
    return kReplacement;
  }
  if (text.size() - *pos < length) {
    ++*pos;
    return kReplacement;
  }
  for (size_t i = 1; i < length; ++i) {
    const uint8_t b = byte(*pos + i);
    const uint8_t lo = i == 1 ? second_min : 0x80;
    const uint8_t hi = i == 1 ? second_max : 0xBF;
    if (b < lo || b > hi) {
      ++*pos;
      return kReplacement;
    }
    cp = (cp << 6) | (b & 0x3F);
  }
  *pos += length;
  return cp;
}

}  // namespace

std::u16string NarrowToUtf16(std::string_view narrow) { return Utf8ToUtf16(narrow); }

std::string Utf16ToNarrow(std::u16string_view wide) { return Utf16ToUtf8(wide); }

size_t PathUnits(std::string_view utf8) {
  size_t units = 0;
  size_t pos = 0;
  while (pos < utf8.size()) units += DecodeUtf8(utf8, &pos) >= 0x10000 ? 2 : 1;
  return units;
}

bool IsUtf8(std::string_view text) {
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t start = pos;
    // A replacement character is also what a malformed byte decodes to;
    // only one that took its three bytes was really there.
    if (DecodeUtf8(text, &pos) == kReplacement && pos - start != 3) return false;
  }
  return true;
}

std::u16string Utf8ToUtf16(std::string_view utf8) {
  std::u16string out;
  out.reserve(utf8.size());
  size_t pos = 0;
  while (pos < utf8.size()) AppendUtf16(DecodeUtf8(utf8, &pos), &out);
  return out;
}

std::string Utf16ToUtf8(std::u16string_view wide) {
  std::string out;
  out.reserve(wide.size());
  for (size_t i = 0; i < wide.size(); ++i) {
    const char16_t unit = wide[i];
    char32_t cp = unit;
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      if (i + 1 < wide.size() && wide[i + 1] >= 0xDC00 &&
          wide[i + 1] <= 0xDFFF) {
        cp = 0x10000 + ((char32_t{unit} - 0xD800) << 10) +
             (char32_t{wide[i + 1]} - 0xDC00);
        ++i;
      } else {
        cp = kReplacement;
      }
    } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
      cp = kReplacement;
    }
    AppendUtf8(cp, &out);
  }
  return out;
}

std::string CutUtf8(std::string_view text, size_t max_bytes) {
  if (text.size() <= max_bytes) return std::string(text);
  size_t end = max_bytes;
  // Back off over continuation bytes to the start of the cut character; a
  // character has at most three of them, malformed text may have more.
  while (end > 0 && max_bytes - end < 3 &&
         (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) {
    --end;
  }
  return std::string(text.substr(0, end));
}

}  // namespace dizedir
