// downloadaddr.txt: the release's download address text on its first line
// (what the operator shows players who download by hand; nothing in the
// system reads it), and on every later line that is an http or https URL,
// the base URL of a mirror holding the same files as the release
// directory. Other later lines are ignored, so a file written before
// mirrors existed reads as a release without mirrors.
//
// Thread-safety: pure functions.

#ifndef DIZEDIR_LISTS_DOWNLOAD_ADDRESS_H_
#define DIZEDIR_LISTS_DOWNLOAD_ADDRESS_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace dizedir {

// Bounds on what a (hostile) file may make the client try.
inline constexpr size_t kMaxMirrors = 16;
inline constexpr size_t kMaxMirrorUrlBytes = 1024;

struct DownloadAddress {
  std::string text;  // the first line, without its line end
  std::vector<std::string> mirrors;  // without a trailing slash
};

// Whether `url` may be a mirror's base: http:// or https:// and a host,
// printable ASCII without spaces, at most kMaxMirrorUrlBytes.
bool IsMirrorUrl(std::string_view url);

// Reads the file's bytes; unusable mirror lines, repeats and mirrors past
// kMaxMirrors are dropped.
DownloadAddress ParseDownloadAddress(std::string_view data);
// The file's bytes, each line ended by CR LF; an empty text becomes "-" (a
// client stops when the file is missing or empty).
std::string FormatDownloadAddress(const DownloadAddress& address);

}  // namespace dizedir

#endif  // DIZEDIR_LISTS_DOWNLOAD_ADDRESS_H_
