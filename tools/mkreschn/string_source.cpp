#include "string_source.h"

#include <utility>

namespace mkreschn {

namespace {

constexpr uint32_t kMaxId = 0xffff;
// A string's length is stored in 16 bits.
constexpr size_t kMaxUnits = 0xffff;
constexpr size_t kMaxFieldDigits = 3;

// The formats the update driver fills, with the conversions it passes in
// order: 'd' a signed 32-bit value (%d or %i), 'u' an unsigned one (%u).
struct FormatRule {
  uint32_t id;
  std::string_view conversions;
};
constexpr FormatRule kFormatRules[] = {
    {247, "dd"},    // part number from 1, part count
    {248, "duuu"},  // part number from 1, KiB received, KiB in all, KiB/s
};

// Counts the UTF-16 units of valid UTF-8; false for anything malformed
// (overlong forms, surrogates, values past U+10FFFF, cut sequences).
bool CountUtf16Units(std::string_view text, size_t* units) {
  *units = 0;
  size_t i = 0;
  while (i < text.size()) {
    const auto byte = [&](size_t k) {
      return static_cast<uint8_t>(text[k]);
    };
    const uint8_t lead = byte(i);
    size_t length = 0;
    uint32_t code = 0;
    if (lead < 0x80) {
      length = 1;
      code = lead;
    } else if (lead >= 0xc2 && lead <= 0xdf) {
      length = 2;
      code = lead & 0x1f;
    } else if (lead >= 0xe0 && lead <= 0xef) {
      length = 3;
      code = lead & 0x0f;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
      length = 4;
      code = lead & 0x07;
    } else {
      return false;
    }
    if (text.size() - i < length) return false;
    for (size_t k = 1; k < length; ++k) {
      if ((byte(i + k) & 0xc0) != 0x80) return false;
      code = code << 6 | (byte(i + k) & 0x3f);
    }
    if ((length == 3 && code < 0x800) || (length == 4 && code < 0x10000) ||
        (code >= 0xd800 && code <= 0xdfff) || code > 0x10ffff) {
      return false;
    }
    *units += code >= 0x10000 ? 2 : 1;
    i += length;
  }
  return true;
}

// The conversions of a printf format, one letter each as in kFormatRules;
// false with *error set for a conversion the driver cannot fill.
bool ScanConversions(std::string_view format, std::string* kinds,
                     std::string* error) {
  kinds->clear();
  for (size_t i = 0; i < format.size(); ++i) {
    if (format[i] != '%') continue;
    size_t end = i + 1;
    if (end < format.size() && format[end] == '%') {
      i = end;
      continue;
    }
    while (end < format.size() &&
           std::string_view("-+ 0").find(format[end]) != std::string_view::npos) {
      ++end;
    }
    for (int field = 0; field < 2; ++field) {
      if (field == 1) {
        if (end >= format.size() || format[end] != '.') break;
        ++end;
      }
      size_t digits = 0;
      while (end < format.size() && format[end] >= '0' && format[end] <= '9') {
        ++end;
        ++digits;
      }
      if (digits > kMaxFieldDigits) {
        *error = "field width or precision too large";
        return false;
      }
    }
    const char conversion = end < format.size() ? format[end] : '\0';
    if (conversion == 'd' || conversion == 'i') {
      *kinds += 'd';
    } else if (conversion == 'u') {
      *kinds += 'u';
    } else {
      *error = "unsupported conversion at '" +
               std::string(format.substr(i, end + 1 - i)) + "'";
      return false;
    }
    i = end;
  }
  return true;
}

bool Unescape(std::string_view raw, std::string* text, std::string* error) {
  text->clear();
  for (size_t i = 0; i < raw.size(); ++i) {
    const char c = raw[i];
    if (static_cast<uint8_t>(c) < 0x20 || c == 0x7f) {
      *error = "raw control character in text (write \\t or \\n)";
      return false;
    }
    if (c != '\\') {
      *text += c;
      continue;
    }
    if (++i == raw.size()) {
      *error = "backslash at the end of the text";
      return false;
    }
    switch (raw[i]) {
      case 'n': *text += '\n'; break;
      case 't': *text += '\t'; break;
      case '\\': *text += '\\'; break;
      default:
        *error = std::string("unknown escape \\") + raw[i];
        return false;
    }
  }
  return true;
}

bool ParseLine(std::string_view line, StringSource* strings,
               std::string* error) {
  const size_t tab = line.find('\t');
  if (tab == std::string_view::npos) {
    *error = "expected ID<TAB>text";
    return false;
  }
  const std::string_view digits = line.substr(0, tab);
  if (digits.empty() || digits.size() > 5) {
    *error = "bad string ID";
    return false;
  }
  uint32_t id = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') {
      *error = "bad string ID";
      return false;
    }
    id = id * 10 + static_cast<uint32_t>(c - '0');
  }
  if (id > kMaxId) {
    *error = "string ID past 65535";
    return false;
  }
  if (strings->count(id) != 0) {
    *error = "string " + std::to_string(id) + " defined twice";
    return false;
  }
  std::string text;
  if (!Unescape(line.substr(tab + 1), &text, error)) return false;
  size_t units = 0;
  if (!CountUtf16Units(text, &units)) {
    *error = "text is not valid UTF-8";
    return false;
  }
  // An empty string reads as an absent one; leave the ID out instead.
  if (units == 0) {
    *error = "empty text";
    return false;
  }
  if (units > kMaxUnits) {
    *error = "text longer than 65535 UTF-16 units";
    return false;
  }
  for (const FormatRule& rule : kFormatRules) {
    if (rule.id != id) continue;
    std::string kinds;
    if (!ScanConversions(text, &kinds, error)) return false;
    if (kinds != rule.conversions) {
      *error = "format " + std::to_string(id) + " must take the conversions \"" +
               std::string(rule.conversions) + "\" in order, has \"" + kinds +
               "\" (d: %d or %i, u: %u)";
      return false;
    }
  }
  strings->emplace(id, std::move(text));
  return true;
}

}  // namespace

bool ParseStringSource(std::string_view text, StringSource* strings,
                       std::string* error) {
  strings->clear();
  size_t line_number = 0;
  while (!text.empty()) {
    ++line_number;
    const size_t newline = text.find('\n');
    std::string_view line = text.substr(0, newline);
    text.remove_prefix(newline == std::string_view::npos ? text.size()
                                                         : newline + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty() || line.front() == '#') continue;
    std::string reason;
    if (!ParseLine(line, strings, &reason)) {
      *error = "line " + std::to_string(line_number) + ": " + reason;
      return false;
    }
  }
  return true;
}

std::string WriteResourceScript(const StringSource& strings) {
  std::string script =
      "// Generated by mkreschn from the text table; edit that instead.\n"
      "LANGUAGE 9, 1\n"
      "STRINGTABLE\n"
      "BEGIN\n";
  for (const auto& [id, text] : strings) {
    // A narrow literal: windres converts it from the code page given with
    // -c, while it copies the bytes of an L"" literal one by one.
    script += "  " + std::to_string(id) + ", \"";
    for (char c : text) {
      switch (c) {
        case '\n': script += "\\n"; break;
        case '\t': script += "\\t"; break;
        case '\\': script += "\\\\"; break;
        // windres takes only the doubled form of a quote.
        case '"': script += "\"\""; break;
        default: script += c; break;
      }
    }
    script += "\"\n";
  }
  script += "END\n";
  return script;
}

}  // namespace mkreschn
