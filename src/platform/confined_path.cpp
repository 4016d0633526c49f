#include "platform/confined_path.h"

#include <algorithm>
#include <array>
#include <vector>

#include "platform/env.h"

namespace dizedir {
namespace {

bool IsSeparator(char32_t c) { return c == U'\\' || c == U'/'; }

bool IsForbiddenCharacter(char32_t c) {
  if (c < 0x20 || c == 0x7F) return true;
  switch (c) {
    case U':': case U'*': case U'?': case U'"': case U'<': case U'>': case U'|':
      return true;
    default:
      return false;
  }
}

char32_t FoldAscii(char32_t c) {
  return c >= U'A' && c <= U'Z' ? c - U'A' + U'a' : c;
}

bool EqualsAscii(const std::u32string& text, std::string_view ascii) {
  if (text.size() != ascii.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (FoldAscii(text[i]) != static_cast<char32_t>(ascii[i])) return false;
  }
  return true;
}

// Windows opens the device, not a file, for these names whatever extension
// follows and whatever spaces end the stem.
bool IsDeviceName(const std::u32string& component) {
  std::u32string stem = component.substr(0, component.find(U'.'));
  while (!stem.empty() && stem.back() == U' ') stem.pop_back();
  static constexpr std::array<std::string_view, 6> kPlain = {
      "con", "prn", "aux", "nul", "conin$", "conout$"};
  for (std::string_view device : kPlain) {
    if (EqualsAscii(stem, device)) return true;
  }
  if (stem.size() == 4) {
    const std::u32string head = stem.substr(0, 3);
    const char32_t digit = stem[3];
    const bool numbered = (digit >= U'0' && digit <= U'9') || digit == 0xB9 ||
                          digit == 0xB2 || digit == 0xB3;
    if (numbered && (EqualsAscii(head, "com") || EqualsAscii(head, "lpt"))) return true;
  }
  return false;
}

bool EndsWithTemporarySuffix(const std::u32string& component) {
  const size_t n = kTempSuffix.size();
  if (component.size() <= n) return false;
  for (size_t i = 0; i < n; ++i) {
    if (FoldAscii(component[component.size() - n + i]) !=
        static_cast<char32_t>(kTempSuffix[i])) {
      return false;
    }
  }
  return true;
}

// Decodes strict UTF-8 (no overlong forms, no surrogates); false when the
// text is not UTF-8, which a name from outside must be so that every
// platform reads the same characters from it.
bool DecodeUtf8(std::string_view text, std::u32string* out) {
  for (size_t i = 0; i < text.size();) {
    const auto b = static_cast<unsigned char>(text[i]);
    char32_t c;
    size_t len;
    if (b < 0x80) {
      c = b;
      len = 1;
    } else if (b >= 0xC2 && b <= 0xDF) {
      c = b & 0x1F;
      len = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
      c = b & 0x0F;
      len = 3;
    } else if (b >= 0xF0 && b <= 0xF4) {
      c = b & 0x07;
      len = 4;
    } else {
      return false;
    }
    if (i + len > text.size()) return false;
    for (size_t k = 1; k < len; ++k) {
      const auto cont = static_cast<unsigned char>(text[i + k]);
      if ((cont & 0xC0) != 0x80) return false;
      c = (c << 6) | (cont & 0x3F);
    }
    if ((len == 3 && c < 0x800) || (len == 4 && (c < 0x10000 || c > 0x10FFFF)) ||
        (c >= 0xD800 && c <= 0xDFFF)) {
      return false;
    }
    out->push_back(c);
    i += len;
  }
  return true;
}

bool DecodeUtf16(std::u16string_view text, std::u32string* out) {
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t u = text[i];
    if (u >= 0xD800 && u <= 0xDBFF) {
      if (i + 1 >= text.size() || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF) return false;
      out->push_back(0x10000 + ((char32_t{u} - 0xD800) << 10) + (text[i + 1] - 0xDC00));
      ++i;
    } else if (u >= 0xDC00 && u <= 0xDFFF) {
      return false;
    } else {
      out->push_back(u);
    }
  }
  return true;
}

// What Windows' best-fit conversion to an ANSI code page makes of
// characters that look like a dot, a separator or a drive's colon (U+FF0F
// becomes '/', U+00A5 a backslash under code page 932, U+20A9 under 949); 0 for
// every other character. Paths here never pass through such a conversion,
// but a name that climbs out after one is an attack rather than a file name,
// and other programs on the player's machine may still convert it.
char32_t BestFitLookAlike(char32_t c) {
  switch (c) {
    case 0xFF0E: case 0x2024: case 0xFE52:
      return U'.';
    case 0xFF0F: case 0x2215: case 0x2044:
      return U'/';
    case 0xFF3C: case 0xFE68: case 0x2216: case 0x29F5: case 0x00A5: case 0x20A9:
      return U'\\';
    case 0xFF1A: case 0xFE55: case 0x2236:
      return U':';
    default:
      return 0;
  }
}

const char* PlainRefusal(const std::u32string& name, NameKind kind,
                         std::vector<std::pair<size_t, size_t>>* components);

// Checks the decoded name; on success gives the [begin, end) code-point
// ranges of the components that remain once "." and empty ones are dropped.
const char* Refusal(const std::u32string& name, NameKind kind,
                    std::vector<std::pair<size_t, size_t>>* components) {
  // Almost every name has none; only one that does is read a second time.
  if (std::any_of(name.begin(), name.end(), [](char32_t c) { return BestFitLookAlike(c) != 0; })) {
    std::u32string folded = name;
    for (char32_t& c : folded) {
      if (const char32_t plain = BestFitLookAlike(c)) c = plain;
    }
    std::vector<std::pair<size_t, size_t>> ignored;
    if (PlainRefusal(folded, kind, &ignored) != nullptr) {
      return "holds look-alikes of dots or separators that read as a climb, a root or a drive";
    }
  }
  return PlainRefusal(name, kind, components);
}

const char* PlainRefusal(const std::u32string& name, NameKind kind,
                         std::vector<std::pair<size_t, size_t>>* components) {
  if (name.empty()) return "empty name";
  if (IsSeparator(name.front())) return "starts at a root";
  size_t begin = 0;
  while (begin <= name.size()) {
    size_t end = begin;
    while (end < name.size() && !IsSeparator(name[end])) ++end;
    if (end < name.size() && kind == NameKind::kBareName) return "holds a directory";
    const std::u32string component = name.substr(begin, end - begin);
    if (!component.empty() && component != U".") {
      if (component == U"..") return "climbs out with \"..\"";
      for (char32_t c : component) {
        if (IsForbiddenCharacter(c)) return "holds a character no file name may hold";
      }
      if (component.back() == U'.' || component.back() == U' ') {
        return "has a part ending in a dot or space";
      }
      if (IsDeviceName(component)) return "names a device";
      if (EndsWithTemporarySuffix(component)) return "carries the temporary suffix";
      components->emplace_back(begin, end);
    }
    begin = end + 1;
  }
  if (components->empty()) return "names no file";
  return nullptr;
}

}  // namespace

Status ConfineName(std::string_view name, NameKind kind, std::string* confined) {
  std::u32string decoded;
  if (!DecodeUtf8(name, &decoded)) {
    return Status::InvalidArgument("not UTF-8");
  }
  std::vector<std::pair<size_t, size_t>> components;
  if (const char* why = Refusal(decoded, kind, &components)) {
    return Status::InvalidArgument(why);
  }
  // Component boundaries are separators, which are single bytes in UTF-8,
  // so the code-point ranges map back to byte ranges by counting.
  std::vector<size_t> byte_at(decoded.size() + 1, 0);
  for (size_t i = 0, b = 0; i <= decoded.size(); ++i) {
    byte_at[i] = b;
    if (i == decoded.size()) break;
    const char32_t c = decoded[i];
    b += c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
  }
  confined->clear();
  for (const auto& [begin, end] : components) {
    if (!confined->empty()) confined->push_back('\\');
    confined->append(name.substr(byte_at[begin], byte_at[end] - byte_at[begin]));
  }
  return Status::OK();
}

Status ConfinePath(std::string_view base_dir, std::string_view name, NameKind kind,
                   std::string* path) {
  if (base_dir.empty()) return Status::InvalidArgument("no client directory");
  std::string confined;
  Status s = ConfineName(name, kind, &confined);
  if (!s.ok()) return s;
  path->assign(base_dir);
  if (!IsSeparator(static_cast<unsigned char>(path->back()))) path->push_back('\\');
  path->append(confined);
  return Status::OK();
}

bool IsConfinedName(std::u16string_view name, NameKind kind) {
  std::u32string decoded;
  if (!DecodeUtf16(name, &decoded)) return false;
  std::vector<std::pair<size_t, size_t>> components;
  return Refusal(decoded, kind, &components) == nullptr;
}

}  // namespace dizedir
