#include "lists/download_address.h"

#include <algorithm>

namespace dizedir {
namespace {

std::string_view TrimLine(std::string_view line) {
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) {
    line.remove_suffix(1);
  }
  while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
  return line;
}

std::string_view WithoutTrailingSlashes(std::string_view url) {
  while (!url.empty() && url.back() == '/') url.remove_suffix(1);
  return url;
}

}  // namespace

bool IsMirrorUrl(std::string_view url) {
  if (url.size() > kMaxMirrorUrlBytes) return false;
  size_t scheme = 0;
  if (url.substr(0, 7) == "http://") {
    scheme = 7;
  } else if (url.substr(0, 8) == "https://") {
    scheme = 8;
  } else {
    return false;
  }
  const std::string_view rest = WithoutTrailingSlashes(url.substr(scheme));
  if (rest.empty() || rest.front() == '/') return false;  // no host
  return std::all_of(url.begin(), url.end(), [](char c) { return c > ' ' && c < 0x7f; });
}

DownloadAddress ParseDownloadAddress(std::string_view data) {
  DownloadAddress result;
  bool first = true;
  while (!data.empty() || first) {
    const size_t end = data.find('\n');
    const std::string_view line = TrimLine(data.substr(0, end));
    data = end == std::string_view::npos ? std::string_view() : data.substr(end + 1);
    if (first) {
      result.text = std::string(line);
      first = false;
      continue;
    }
    if (result.mirrors.size() >= kMaxMirrors || !IsMirrorUrl(line)) continue;
    const std::string url(WithoutTrailingSlashes(line));
    if (std::find(result.mirrors.begin(), result.mirrors.end(), url) == result.mirrors.end()) {
      result.mirrors.push_back(url);
    }
  }
  return result;
}

std::string FormatDownloadAddress(const DownloadAddress& address) {
  std::string out = address.text.empty() ? "-" : address.text;
  out += "\r\n";
  for (const std::string& mirror : address.mirrors) {
    out += WithoutTrailingSlashes(mirror);
    out += "\r\n";
  }
  return out;
}

}  // namespace dizedir
