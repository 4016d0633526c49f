#include "codec/zip_names.h"

#include <array>

namespace dizedir {

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

}  // namespace dizedir
