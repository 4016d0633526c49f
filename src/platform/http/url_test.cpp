#include "platform/http/url.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace dizedir::http {
namespace {

TEST(UrlTest, ParseHostPort) {
  struct Case {
    std::string text;
    bool ok;
    std::string host;
    std::optional<uint16_t> port;
  };
  const std::vector<Case> cases = {
      {"example.com", true, "example.com", std::nullopt},
      {"127.0.0.1:8080", true, "127.0.0.1", 8080},
      {"example.com:", true, "example.com", std::nullopt},
      {"example.com/patch/v2", true, "example.com", std::nullopt},
      {"example.com:81/patch", true, "example.com", 81},
      {"[::1]:8080", true, "::1", 8080},
      {"[::1]", true, "::1", std::nullopt},
      {"::1", true, "::1", std::nullopt},
      {"host:0", false, "", std::nullopt},
      {"host:65536", false, "", std::nullopt},
      {"host:80a", false, "", std::nullopt},
      {":8080", false, "", std::nullopt},
      {"", false, "", std::nullopt},
      {"[::1", false, "", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    HostPort parsed;
    EXPECT_EQ(ParseHostPort(c.text, &parsed), c.ok);
    if (!c.ok) continue;
    EXPECT_EQ(parsed.host, c.host);
    EXPECT_EQ(parsed.port, c.port);
  }
}

TEST(UrlTest, ParseServerText) {
  struct Case {
    std::string text;
    bool ok;
    bool secure;
    bool has_scheme;
    std::string host;
    std::optional<uint16_t> port;
  };
  const std::vector<Case> cases = {
      {"example.com:8080", true, false, false, "example.com", 8080},
      {"https://example.com", true, true, true, "example.com", std::nullopt},
      {"HTTPS://example.com:8443/rel", true, true, true, "example.com", 8443},
      {"http://[::1]:81", true, false, true, "::1", 81},
      {"https://", false, false, false, "", std::nullopt},
      {"ftp://example.com", false, false, false, "", std::nullopt},
      // Not a scheme: a path that happens to hold "://".
      {"example.com/a://b", true, false, false, "example.com", std::nullopt},
      {"://example.com", false, false, false, "", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    ServerText parsed;
    EXPECT_EQ(ParseServerText(c.text, &parsed), c.ok);
    if (!c.ok) continue;
    EXPECT_EQ(parsed.secure, c.secure);
    EXPECT_EQ(parsed.has_scheme, c.has_scheme);
    EXPECT_EQ(parsed.server.host, c.host);
    EXPECT_EQ(parsed.server.port, c.port);
  }
}

TEST(UrlTest, ParseAndFormatUrl) {
  struct Case {
    std::string text;
    bool ok;
    std::string formatted;
  };
  const std::vector<Case> cases = {
      {"http://h/verlist.bin", true, "http://h/verlist.bin"},
      {"HTTP://h:8080/a/b.bin", true, "http://h:8080/a/b.bin"},
      {"http://h", true, "http://h/"},
      {"h/x", true, "http://h/x"},
      {"http://h\\a\\b c.bin", true, "http://h/a/b%20c.bin"},
      {"http://[::1]:81/x", true, "http://[::1]:81/x"},
      // Already a URL: escapes and queries stay as they are.
      {"http://h/a%20b.ini?x=1", true, "http://h/a%20b.ini?x=1"},
      {"http://h:99999/x", false, ""},
      {"http:///x", false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    Url url;
    EXPECT_EQ(ParseUrl(c.text, &url), c.ok);
    if (c.ok) {
      EXPECT_EQ(FormatUrl(url), c.formatted);
    }
  }
}

TEST(UrlTest, RemoteNamesBecomeEncodedPaths) {
  struct Case {
    std::string dir;
    std::string name;
    std::string path;
  };
  const std::vector<Case> cases = {
      {"", "p_0.zxp", "/p_0.zxp"},
      {"a/b", "p_0.zxp", "/a/b/p_0.zxp"},
      {"a/b/", "\\p_0.zxp", "/a/b/p_0.zxp"},
      {"", "a/b\\P_0.zxp", "/a/b/P_0.zxp"},
      {"", "dir\\a b\\\xC3\xBC.zxp", "/dir/a%20b/%C3%BC.zxp"},
      // A file name is not a URL: its "%", "?" and "#" are literal.
      {"", "100%?#.zip", "/100%25%3F%23.zip"},
      {"", "", "/"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.dir + " | " + c.name);
    EXPECT_EQ(JoinRemotePath(c.dir, c.name), c.path);
  }
}

}  // namespace
}  // namespace dizedir::http
