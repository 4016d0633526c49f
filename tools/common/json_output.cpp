#include "tools/common/json_output.h"

namespace dizedir {
namespace {

std::string Dump(const JsonDocument& document, bool ascii) {
  return document.dump(-1, ' ', ascii, JsonDocument::error_handler_t::replace);
}

}  // namespace

std::string JsonLine(const JsonDocument& document) { return Dump(document, false); }

std::string AsciiJsonLine(const JsonDocument& document) { return Dump(document, true); }

std::string JsonArrayLines(const JsonDocument& array) {
  if (!array.is_array()) return JsonLine(array) + "\n";
  std::string out = "[\n";
  for (auto it = array.begin(); it != array.end(); ++it) {
    out += JsonLine(*it);
    out += std::next(it) == array.end() ? "\n" : ",\n";
  }
  return out + "]\n";
}

std::string BytesAsText(std::string_view bytes) {
  std::string text;
  text.reserve(bytes.size());
  for (unsigned char c : bytes) {
    if (c < 0x80) {
      text += static_cast<char>(c);
    } else {
      text += static_cast<char>(0xC0 | (c >> 6));
      text += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return text;
}

}  // namespace dizedir
