#include "engine/control_lists.h"

#include <vector>

#include "lists/formatted_scanner.h"
#include "platform/case_fold.h"
#include "platform/text.h"

namespace dizedir {
namespace {

constexpr std::string_view kPacketMarker = "Packet:";
constexpr std::string_view kFromMarker = "From:";
constexpr std::string_view kToMarker = "To:";

// Reads words and numbers the way "%s" and "%d" do, so lists written for the
// original tools split exactly as they always have.
class Scanner {
 public:
  explicit Scanner(std::string_view text) : scanner_(text) {}

  // False at the end of the text. A word is cut at an embedded NUL, as the
  // fixed buffers of the list format always cut it.
  bool ReadWord(std::string* word) {
    std::string_view raw = scanner_.NextWord();
    if (raw.empty()) return false;
    word->assign(raw.substr(0, raw.find('\0')));
    return true;
  }

  // False when what follows is not a number. Values wrap to 32 bits, so
  // "-1" is id 0xFFFFFFFF.
  bool ReadNumber(uint32_t* value) {
    ScannedDecimal d;
    if (!scanner_.NextDecimal(&d)) return false;
    *value = d.Wrapped();
    return true;
  }

 private:
  FormattedScanner<char> scanner_;
};

// Windows drops trailing dots and spaces from a path component, so ".. " and
// "..." may climb like ".." there; a component of nothing but dots and spaces
// with two or more dots is refused on every platform.
bool ClimbsUp(std::string_view component) {
  size_t dots = 0;
  for (char c : component) {
    if (c == '.') {
      ++dots;
    } else if (c != ' ') {
      return false;
    }
  }
  return dots >= 2;
}

bool Contains(std::string_view word, std::string_view marker) {
  return word.find(marker) != std::string_view::npos;
}

}  // namespace

DeleteList ParseDeleteList(std::string_view text) {
  DeleteList list;
  Scanner scanner(text);
  std::string word;
  if (!scanner.ReadWord(&word)) return list;
  // Pack section: each group is a marker word and the numbers after it; the
  // first word that is not a number either opens the next group or, without
  // the marker, closes the section and is dropped.
  while (Contains(word, kPacketMarker)) {
    // The marker is expected at the front; the name is whatever follows the
    // first seven characters.
    const std::string pack = word.substr(kPacketMarker.size());
    uint32_t id = 0;
    while (scanner.ReadNumber(&id)) list.packs[pack].push_back(id);
    if (!scanner.ReadWord(&word)) return list;
  }
  while (scanner.ReadWord(&word)) list.files.push_back(word);
  return list;
}

std::map<uint32_t, std::pair<std::string, std::string>> ParseMoveList(
    std::string_view text) {
  std::map<uint32_t, std::pair<std::string, std::string>> moves;
  Scanner scanner(text);
  uint32_t id = 0;
  std::string from;
  std::string to;
  while (scanner.ReadNumber(&id)) {
    if (!scanner.ReadWord(&from) || !Contains(from, kFromMarker)) break;
    if (!scanner.ReadWord(&to) || !Contains(to, kToMarker)) break;
    moves[id] = {from.substr(kFromMarker.size()), to.substr(kToMarker.size())};
  }
  return moves;
}

bool NameStaysInside(std::string_view name) {
  if (!name.empty() && (name[0] == '\\' || name[0] == '/')) return false;
  if (name.size() >= 2 && name[1] == ':' &&
      ((name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= 'a' && name[0] <= 'z'))) {
    return false;
  }
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = name.find_first_of("\\/", start);
    if (end == std::string_view::npos) end = name.size();
    if (ClimbsUp(name.substr(start, end - start))) return false;
    start = end + 1;
  }
  return true;
}

namespace {

// Lower case as Windows compares names; text that does not decode is folded
// byte by byte in its ASCII letters only.
std::string FoldName(std::string_view name) {
  // Names from the lists are UTF-8 on every platform (the name rule refuses
  // anything else before a list is carried out).
  std::u16string wide = Utf8ToUtf16(name);
  if (wide.find(u'\uFFFD') == std::u16string::npos) {
    for (char16_t& unit : wide) unit = FoldCase(unit);
    return Utf16ToUtf8(wide);
  }
  std::string folded(name);
  for (char& c : folded) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return folded;
}

}  // namespace

std::string CanonicalPackName(std::string_view name) {
  std::vector<std::string_view> parts;
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = name.find_first_of("\\/", start);
    if (end == std::string_view::npos) end = name.size();
    std::string_view part = name.substr(start, end - start);
    start = end + 1;
    const size_t kept = part.find_last_not_of(". ");
    if (kept == std::string_view::npos) {
      // Nothing but dots and spaces: "." or nothing, or a climb.
      if (!ClimbsUp(part)) continue;
      if (!parts.empty() && parts.back() != "..") {
        parts.pop_back();
      } else {
        parts.push_back("..");
      }
      continue;
    }
    parts.push_back(part.substr(0, kept + 1));
  }
  std::string joined;
  for (std::string_view part : parts) {
    if (!joined.empty()) joined += '\\';
    joined += part;
  }
  return FoldName(joined);
}

}  // namespace dizedir
