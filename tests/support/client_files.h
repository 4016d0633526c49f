// The small client-side files tests write by hand: the byte-shifted host
// of IPconfig.dat and UTF-16LE text as operators' INI files hold it.
//
// Thread-safety: pure functions.

#ifndef DIZEDIR_TESTS_SUPPORT_CLIENT_FILES_H_
#define DIZEDIR_TESTS_SUPPORT_CLIENT_FILES_H_

#include <cstdint>
#include <string>

namespace dizedir {

// IPconfig.dat: byte i holds the host's byte i plus i + 10.
inline std::string ShiftedHost(const std::string& host) {
  std::string out;
  for (size_t i = 0; i < host.size(); ++i) {
    out += static_cast<char>(static_cast<uint8_t>(host[i]) + i + 10);
  }
  return out;
}

inline std::string Utf16Le(const std::u16string& text, bool bom) {
  std::string out = bom ? "\xff\xfe" : "";
  for (char16_t c : text) {
    out += static_cast<char>(c & 0xff);
    out += static_cast<char>(c >> 8);
  }
  return out;
}

}  // namespace dizedir

#endif  // DIZEDIR_TESTS_SUPPORT_CLIENT_FILES_H_
