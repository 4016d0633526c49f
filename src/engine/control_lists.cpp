#include "engine/control_lists.h"

namespace dizedir {
namespace {

constexpr std::string_view kPacketMarker = "Packet:";
constexpr std::string_view kFromMarker = "From:";
constexpr std::string_view kToMarker = "To:";

// The white space of formatted input in the C locale.
bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' ||
         c == '\r';
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Reads words and numbers the way "%s" and "%d" do, so lists written for the
// original tools split exactly as they always have: a number may be followed
// directly by a word ("12abc" is 12, then "abc"), and something that is not a
// number is left for the next read.
class Scanner {
 public:
  explicit Scanner(std::string_view text) : text_(text) {}

  // False at the end of the text. A word is cut at an embedded NUL, as the
  // fixed buffers of the list format always cut it.
  bool ReadWord(std::string* word) {
    SkipSpace();
    if (pos_ == text_.size()) return false;
    const size_t start = pos_;
    while (pos_ < text_.size() && !IsSpace(text_[pos_])) ++pos_;
    std::string_view raw = text_.substr(start, pos_ - start);
    const size_t nul = raw.find('\0');
    if (nul != std::string_view::npos) raw = raw.substr(0, nul);
    word->assign(raw);
    return true;
  }

  // False, leaving the text as it was apart from white space, when what
  // follows is not an optional sign and at least one digit. Values wrap to
  // 32 bits, so "-1" is id 0xFFFFFFFF.
  bool ReadNumber(uint32_t* value) {
    SkipSpace();
    size_t p = pos_;
    bool negative = false;
    if (p < text_.size() && (text_[p] == '+' || text_[p] == '-')) {
      negative = text_[p] == '-';
      ++p;
    }
    if (p == text_.size() || !IsDigit(text_[p])) return false;
    uint32_t v = 0;
    while (p < text_.size() && IsDigit(text_[p])) {
      v = v * 10u + static_cast<uint32_t>(text_[p] - '0');
      ++p;
    }
    pos_ = p;
    *value = negative ? 0u - v : v;
    return true;
  }

 private:
  void SkipSpace() {
    while (pos_ < text_.size() && IsSpace(text_[pos_])) ++pos_;
  }

  std::string_view text_;
  size_t pos_ = 0;
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

}  // namespace dizedir
