// A server address as IPconfig.dat and patchone.ini give it, and the texts
// the engine builds from it: "host[:port][/dir]" is a plain http server, as
// it always was, and the same text after "https://" (in any case) is one
// spoken to over TLS. Any other text stays a plain address, so an older
// list that never heard of schemes reads as before.
//
// Thread-safety: pure functions.

#ifndef DIZEDIR_ENGINE_SERVER_ADDRESS_H_
#define DIZEDIR_ENGINE_SERVER_ADDRESS_H_

#include <string>
#include <string_view>

namespace dizedir {

struct ServerAddress {
  bool secure = false;
  std::string_view rest;  // the address after its scheme

  // "host[:port]": what the 64-byte host buffer holds.
  std::string_view host() const { return rest.substr(0, rest.find('/')); }
  // The directory after the first "/", empty when none.
  std::string_view remote_dir() const {
    const size_t slash = rest.find('/');
    return slash == std::string_view::npos ? std::string_view()
                                           : rest.substr(slash + 1);
  }
  // The host as Connect and SetHost take it, with the scheme a secure
  // server needs; a plain one stays a bare host, as it always was.
  std::string HostText() const {
    return (secure ? "https://" : "") + std::string(host());
  }
  // What every URL on this server starts with: scheme, host and directory.
  std::string UrlBase() const {
    return (secure ? "https://" : "http://") + std::string(rest);
  }
};

inline ServerAddress SplitServerAddress(std::string_view address) {
  constexpr std::string_view kSecure = "https://";
  ServerAddress split;
  split.rest = address;
  if (address.size() < kSecure.size()) return split;
  for (size_t i = 0; i < kSecure.size(); ++i) {
    char c = address[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != kSecure[i]) return split;
  }
  split.secure = true;
  split.rest = address.substr(kSecure.size());
  return split;
}

}  // namespace dizedir

#endif  // DIZEDIR_ENGINE_SERVER_ADDRESS_H_
