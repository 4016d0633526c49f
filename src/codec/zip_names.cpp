#include "codec/zip_names.h"

#include <algorithm>
#include <array>

#include "platform/env.h"
#include "platform/text.h"

namespace dizedir {

namespace {

bool IsSeparator(char16_t c) { return c == u'\\' || c == u'/'; }

bool IsAbsolute(std::u16string_view path) {
  return (!path.empty() && IsSeparator(path[0])) ||
         (path.size() >= 2 && path[1] == u':');
}

char16_t FoldAscii(char16_t c) {
  return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c;
}

bool SamePathChar(char16_t a, char16_t b) {
  if (IsSeparator(a) && IsSeparator(b)) return true;
  return FoldAscii(a) == FoldAscii(b);
}

}  // namespace

std::u16string ZipCleanName(std::u16string_view stored) {
  static constexpr std::array<std::u16string_view, 4> kClimbs = {
      u"\\..\\", u"\\../", u"/../", u"/..\\"};
  std::u16string name(stored);
  for (;;) {
    if (name.size() >= 2 && name[1] == u':') {
      name.erase(0, 2);
      continue;
    }
    if (!name.empty() && (name[0] == u'\\' || name[0] == u'/')) {
      name.erase(0, 1);
      continue;
    }
    bool dropped = false;
    for (std::u16string_view climb : kClimbs) {
      const std::u16string::size_type at = name.find(climb);
      if (at != std::u16string::npos) {
        name.erase(0, at + climb.size());
        dropped = true;
        break;
      }
    }
    if (!dropped) return name;
  }
}

bool ZipNameIsContained(std::u16string_view name) {
  if (!name.empty() && (name[0] == u'\\' || name[0] == u'/')) return false;
  if (name.size() >= 2 && name[1] == u':') return false;
  // The OS would cut the path at a NUL and write somewhere else than named.
  if (name.find(u'\0') != std::u16string_view::npos) return false;
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = name.find_first_of(u"\\/", start);
    if (end == std::u16string_view::npos) end = name.size();
    std::u16string_view component = name.substr(start, end - start);
    // Windows ignores trailing dots and spaces, so ".. " and "..." would
    // climb there too.
    while (!component.empty() &&
           (component.back() == u' ' || component.back() == u'.')) {
      if (component == u"..") break;
      component.remove_suffix(1);
    }
    if (component == u"..") return false;
    start = end + 1;
  }
  return true;
}

ZipTarget ZipResolveTarget(std::u16string_view base, std::u16string_view target,
                           bool is_directory, std::string* relative) {
  relative->clear();
  std::u16string_view below = target;
  if (IsAbsolute(target)) {
    if (!IsAbsolute(base) || target.size() < base.size() ||
        !std::equal(base.begin(), base.end(), target.begin(), SamePathChar)) {
      return ZipTarget::kOutside;
    }
    below = target.substr(base.size());
  }
  while (!below.empty() && IsSeparator(below.back())) below.remove_suffix(1);
  if (!ZipNameIsContained(below)) return ZipTarget::kOutside;
  // The name opened must be the name checked: one that does not come back
  // from the narrow form unchanged is refused, so the checks above and below
  // hold for what reaches the disk.
  std::string narrow = Utf16ToNarrow(below);
  if (NarrowToUtf16(narrow) != below) return ZipTarget::kNoName;
  // Names with the temporary suffix would collide with extraction's own
  // temporaries, and the next run's sweep would delete them (in any case:
  // Windows and the POSIX backend match names without it).
  std::string folded = narrow;
  for (char& c : folded) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  if (folded.find(kTempSuffix) != std::string::npos) {
    return ZipTarget::kTemporary;
  }
  if (!is_directory) {
    // Windows drops trailing dots and spaces, so "a/." or "a/ " would name
    // the directory a, not a file in it.
    size_t start = below.find_last_of(u"\\/");
    start = start == std::u16string_view::npos ? 0 : start + 1;
    const size_t kept = below.find_last_not_of(u". ");
    if (kept == std::u16string_view::npos || kept < start) return ZipTarget::kNoName;
  }
  *relative = std::move(narrow);
  return ZipTarget::kInside;
}

}  // namespace dizedir
