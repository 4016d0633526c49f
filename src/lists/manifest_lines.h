// ManifestLines: the line-by-line reading the text manifests share. Every
// line, the last too, ends in "\n"; a refusal names the file and the line
// it was found on ("release.manifest: line 4: why"), so an operator can
// find it.
//
// Thread-safety: an object belongs to one thread.

#ifndef DIZEDIR_LISTS_MANIFEST_LINES_H_
#define DIZEDIR_LISTS_MANIFEST_LINES_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "lists/release_manifest.h"
#include "platform/status.h"

namespace dizedir {

// A number exactly as std::to_string writes it: digits only, no sign, no
// leading zero, no overflow past `max`.
inline bool ParseCanonicalDecimal(std::string_view text, uint64_t max, uint64_t* value) {
  if (text.empty() || text.size() > 20 || (text.size() > 1 && text[0] == '0')) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    const auto digit = static_cast<uint64_t>(c - '0');
    if (digit > max || v > (max - digit) / 10) return false;
    v = v * 10 + digit;
  }
  *value = v;
  return true;
}

class ManifestLines {
 protected:
  ManifestLines(std::string_view file_name, std::string_view text)
      : file_name_(file_name), rest_(text) {}

  Status Refuse(const std::string& why) const {
    return Status::Corruption(std::string(file_name_) + ": line " + std::to_string(number_) +
                              ": " + why);
  }

  // The next line without its "\n". `layout` says what a missing line
  // should have been.
  Status Next(std::string_view* line, std::string_view layout) {
    ++number_;
    if (rest_.empty()) return Refuse("missing; expected \"" + std::string(layout) + "\"");
    const size_t end = rest_.find('\n');
    if (end == std::string_view::npos) return Refuse("does not end in a line feed");
    *line = rest_.substr(0, end);
    rest_.remove_prefix(end + 1);
    return Status::OK();
  }

  // The next line, which must start with `key`; *value is what follows it.
  Status Expect(std::string_view key, std::string_view layout, std::string_view* value) {
    std::string_view line;
    const Status s = Next(&line, layout);
    if (!s.ok()) return s;
    if (!line.starts_with(key)) return Refuse("expected \"" + std::string(layout) + "\"");
    *value = line.substr(key.size());
    return Status::OK();
  }

  // The two lines every manifest opens with: `header` itself, then the
  // release line it belongs to (IsReleaseLineName's rule).
  Status ReadHeaderAndLine(std::string_view header, std::string* line_name) {
    std::string_view line;
    Status s = Next(&line, header);
    if (!s.ok()) return s;
    if (line != header) return Refuse("expected \"" + std::string(header) + "\"");
    s = Expect("line ", "line <GUID>", &line);
    if (!s.ok()) return s;
    if (!IsReleaseLineName(line)) {
      return Refuse("the release line is 1 to 259 printable ASCII characters without spaces");
    }
    line_name->assign(line);
    return Status::OK();
  }

  const std::string_view file_name_;
  std::string_view rest_;  // the text not read yet
  size_t number_ = 0;      // of the line read last
};

}  // namespace dizedir

#endif  // DIZEDIR_LISTS_MANIFEST_LINES_H_
