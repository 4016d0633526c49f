// URL pieces for the downloader: splitting "host:port" texts, taking an
// "http://host[:port]/path" URL apart and putting it back together, and
// turning the game's file names (backslashes, spaces, non-ASCII letters)
// into URL paths a server understands.
//
// Thread-safety: pure functions.

#ifndef DIZEDIR_PLATFORM_HTTP_URL_H_
#define DIZEDIR_PLATFORM_HTTP_URL_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace dizedir::http {

// A server as the callers name it: a host with an optional port.
struct HostPort {
  std::string host;  // without brackets for an IPv6 literal
  std::optional<uint16_t> port;
};

// Parses "example.com", "example.com:8080", "[::1]:8080" or "::1". Anything
// from the first "/" on is a path on that server and is ignored here. False
// for an empty host or a port that is not a number from 1 to 65535; an empty
// port ("host:") counts as none.
bool ParseHostPort(std::string_view text, HostPort* result);

// A server as a caller names it, scheme and all: "https://host:8443",
// "http://host", or a bare "host[:port]" (which is http).
struct ServerText {
  bool secure = false;      // https
  bool has_scheme = false;  // the text named its scheme
  HostPort server;
};

// Parses a server text: an optional "http://" or "https://" (any case),
// then what ParseHostPort takes; a path after the server is ignored. False
// for another scheme or what ParseHostPort refuses.
bool ParseServerText(std::string_view text, ServerText* result);

// The port a scheme means when none is named: 443 for https, else 80.
inline uint16_t DefaultPort(bool secure) { return secure ? 443 : 80; }

// The host as it goes into a URL: IPv6 literals get their brackets back.
std::string UrlHost(std::string_view host);

struct Url {
  std::string scheme;  // lower case, "http" when the text had none
  HostPort server;
  std::string path;  // starts with "/"; the query, if any, stays in it
};

// Parses "scheme://host[:port][/path]" or "host[:port][/path]".
bool ParseUrl(std::string_view text, Url* result);

// The URL text for curl, with the port written out when there is one.
std::string FormatUrl(const Url& url);

// A caller's URL path made safe to send: backslashes become slashes, and
// bytes a request line cannot carry (controls, space, non-ASCII, quotes and
// the like) are percent-encoded. Existing "%XX" escapes, "?" and the
// reserved characters are kept, since the text is already meant as a URL.
std::string SanitizeUrlPath(std::string_view path);

// A file name relative to some directory ("a/b\\P 0.zxp") as URL path
// segments ("a/b/P%200.zxp"): backslashes and slashes separate segments,
// empty segments are dropped, and every byte outside the unreserved set is
// percent-encoded, "%" included, since a file name is not a URL.
std::string EncodeNameAsPath(std::string_view name);

// "/" + the encoded directory and name joined by "/", without doubled
// separators.
std::string JoinRemotePath(std::string_view dir, std::string_view name);

// ASCII case-insensitive comparison, as host names compare.
bool SameHost(std::string_view a, std::string_view b);

}  // namespace dizedir::http

#endif  // DIZEDIR_PLATFORM_HTTP_URL_H_
