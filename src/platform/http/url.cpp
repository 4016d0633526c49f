#include "platform/http/url.h"

#include <algorithm>

namespace dizedir::http {

namespace {

// Explicit ranges rather than <cctype>: the process locale must not change
// what goes on the wire.
bool IsUnreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
         (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_' ||
         c == '~';
}

char AsciiLower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Characters RFC 3986 allows in a path besides the unreserved ones, plus the
// query and escape introducers, which a caller's URL may use on purpose.
bool IsAllowedInUrlPath(unsigned char c) {
  if (IsUnreserved(c)) return true;
  switch (c) {
    case '/': case '%': case '?': case '!': case '$': case '&': case '\'':
    case '(': case ')': case '*': case '+': case ',': case ';': case '=':
    case ':': case '@':
      return true;
    default:
      return false;
  }
}

void AppendEscaped(unsigned char c, std::string* out) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  out->push_back('%');
  out->push_back(kHex[c >> 4]);
  out->push_back(kHex[c & 0x0F]);
}

bool ParsePort(std::string_view digits, std::optional<uint16_t>* port) {
  port->reset();
  if (digits.empty()) return true;
  if (digits.size() > 5) return false;
  uint32_t value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint32_t>(c - '0');
  }
  if (value == 0 || value > 65535) return false;
  *port = static_cast<uint16_t>(value);
  return true;
}

}  // namespace

bool ParseHostPort(std::string_view text, HostPort* result) {
  *result = HostPort();
  const size_t slash = text.find('/');
  if (slash != std::string_view::npos) text = text.substr(0, slash);

  std::string_view host = text;
  std::string_view port;
  if (!text.empty() && text.front() == '[') {
    const size_t close = text.find(']');
    if (close == std::string_view::npos) return false;
    host = text.substr(1, close - 1);
    std::string_view rest = text.substr(close + 1);
    if (!rest.empty()) {
      if (rest.front() != ':') return false;
      port = rest.substr(1);
    }
  } else {
    const size_t colon = text.find(':');
    // Several colons without brackets can only be a bare IPv6 literal.
    if (colon != std::string_view::npos &&
        text.find(':', colon + 1) == std::string_view::npos) {
      host = text.substr(0, colon);
      port = text.substr(colon + 1);
    }
  }
  if (host.empty()) return false;
  if (!ParsePort(port, &result->port)) return false;
  result->host = std::string(host);
  return true;
}

bool ParseServerText(std::string_view text, ServerText* result) {
  *result = ServerText();
  const size_t scheme_end = text.find("://");
  // Only letters before "://" make a scheme; anything else is left for
  // ParseHostPort to judge (and refuse).
  const bool has_scheme =
      scheme_end != std::string_view::npos && scheme_end > 0 &&
      std::all_of(text.begin(), text.begin() + scheme_end, [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
      });
  if (has_scheme) {
    std::string scheme(text.substr(0, scheme_end));
    for (char& c : scheme) c = AsciiLower(c);
    if (scheme != "http" && scheme != "https") return false;
    result->has_scheme = true;
    result->secure = scheme == "https";
    text.remove_prefix(scheme_end + 3);
  }
  return ParseHostPort(text, &result->server);
}

std::string UrlHost(std::string_view host) {
  if (host.find(':') != std::string_view::npos) {
    return "[" + std::string(host) + "]";
  }
  return std::string(host);
}

bool ParseUrl(std::string_view text, Url* result) {
  *result = Url();
  result->scheme = "http";
  const size_t scheme_end = text.find("://");
  if (scheme_end != std::string_view::npos) {
    std::string scheme(text.substr(0, scheme_end));
    if (scheme.empty()) return false;
    for (char& c : scheme) c = AsciiLower(c);
    result->scheme = std::move(scheme);
    text.remove_prefix(scheme_end + 3);
  }
  // Some callers write the path with backslashes, even right after the host.
  const size_t path_start = text.find_first_of("/\\");
  const std::string_view authority = text.substr(0, path_start);
  if (!ParseHostPort(authority, &result->server)) return false;
  result->path = path_start == std::string_view::npos
                     ? std::string("/")
                     : SanitizeUrlPath(text.substr(path_start));
  return true;
}

std::string FormatUrl(const Url& url) {
  std::string text = url.scheme + "://" + UrlHost(url.server.host);
  if (url.server.port) text += ":" + std::to_string(*url.server.port);
  text += url.path.empty() ? std::string("/") : url.path;
  return text;
}

std::string SanitizeUrlPath(std::string_view path) {
  std::string out;
  out.reserve(path.size());
  for (unsigned char c : path) {
    if (c == '\\') {
      out.push_back('/');
    } else if (IsAllowedInUrlPath(c)) {
      out.push_back(static_cast<char>(c));
    } else {
      AppendEscaped(c, &out);
    }
  }
  return out;
}

std::string EncodeNameAsPath(std::string_view name) {
  std::string out;
  out.reserve(name.size());
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = name.find_first_of("/\\", start);
    if (end == std::string_view::npos) end = name.size();
    const std::string_view segment = name.substr(start, end - start);
    if (!segment.empty()) {
      if (!out.empty()) out.push_back('/');
      for (unsigned char c : segment) {
        if (IsUnreserved(c)) {
          out.push_back(static_cast<char>(c));
        } else {
          AppendEscaped(c, &out);
        }
      }
    }
    start = end + 1;
  }
  return out;
}

std::string JoinRemotePath(std::string_view dir, std::string_view name) {
  const std::string encoded_dir = EncodeNameAsPath(dir);
  const std::string encoded_name = EncodeNameAsPath(name);
  std::string path = "/" + encoded_dir;
  if (!encoded_dir.empty() && !encoded_name.empty()) path += "/";
  path += encoded_name;
  return path;
}

bool SameHost(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return AsciiLower(x) == AsciiLower(y);
         });
}

}  // namespace dizedir::http
