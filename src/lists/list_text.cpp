#include "lists/list_text.h"

#include <algorithm>
#include <cstdio>

namespace dizedir {

std::string Scramble(std::string_view text) {
  std::string out(text.size(), '\0');
  for (size_t i = 0; i < text.size(); ++i) {
    out[i] = static_cast<char>(static_cast<uint8_t>(text[i]) + i % 3 + 10);
  }
  return out;
}

std::string Unscramble(std::string_view text) {
  std::string out(text.size(), '\0');
  for (size_t i = 0; i < text.size(); ++i) {
    out[i] = static_cast<char>(static_cast<uint8_t>(text[i]) - i % 3 - 10);
  }
  return out;
}

std::vector<std::string> SplitListLines(std::string_view data, size_t bound) {
  std::vector<std::string> lines;
  const size_t max_chars = bound > 1 ? bound - 1 : 1;
  size_t pos = 0;
  while (pos < data.size()) {
    size_t end = pos;
    const size_t limit = std::min(data.size(), pos + max_chars);
    while (end < limit) {
      if (data[end++] == '\n') break;
    }
    std::string_view line = data.substr(pos, end - pos);
    const size_t nul = line.find('\0');
    if (nul != std::string_view::npos) line = line.substr(0, nul);
    lines.emplace_back(line);
    pos = end;
  }
  return lines;
}

std::string_view CutAtLineEnd(std::string_view line) {
  const size_t end = line.find_first_of("\r\n");
  return end == std::string_view::npos ? line : line.substr(0, end);
}

std::string FormatStamp(const LocalTime& time) {
  char text[64];
  std::snprintf(text, sizeof(text), "%04d-%02d-%02d %02d:%02d:%02d",
                time.year, time.month, time.day, time.hour, time.minute,
                time.second);
  return text;
}

std::string FormatGuid(const std::array<uint8_t, 16>& g) {
  const uint32_t data1 = static_cast<uint32_t>(g[0]) |
                         (static_cast<uint32_t>(g[1]) << 8) |
                         (static_cast<uint32_t>(g[2]) << 16) |
                         (static_cast<uint32_t>(g[3]) << 24);
  const unsigned data2 = g[4] | (g[5] << 8);
  const unsigned data3 = g[6] | (g[7] << 8);
  char text[64];
  std::snprintf(text, sizeof(text),
                "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X",
                static_cast<unsigned>(data1), data2, data3, g[8], g[9], g[10],
                g[11], g[12], g[13], g[14], g[15]);
  return text;
}

}  // namespace dizedir
