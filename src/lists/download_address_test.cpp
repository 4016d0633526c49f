#include "lists/download_address.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace dizedir {
namespace {

// What a client takes from downloadaddr.txt as mirrors, whatever the file
// holds: only http(s) base URLs after the first line, bounded in length and
// number, each once.
TEST(DownloadAddressTest, OnlyUsableBaseUrlsAfterTheFirstLineAreMirrors) {
  const std::string long_url = "http://m.example/" + std::string(kMaxMirrorUrlBytes, 'a');
  std::string many;
  for (size_t i = 0; i < kMaxMirrors + 5; ++i) {
    many += "http://m" + std::to_string(i) + ".example\n";
  }
  struct Case {
    const char* what;
    std::string data;
    std::string text;
    std::vector<std::string> mirrors;
  } cases[] = {
      {"a file of the past", "http://game.example/download\r\n", "http://game.example/download",
       {}},
      {"no line end", "-", "-", {}},
      {"empty", "", "", {}},
      {"mirrors", "-\r\nhttp://a.example/rel/\r\n  https://b.example:8443/x\t\r\n", "-",
       {"http://a.example/rel", "https://b.example:8443/x"}},
      {"not mirrors",
       "-\nftp://a.example\nfile:///etc\nhttp://\nhttp:///path\nhttp://a b.example\n"
       "javascript:x\nhttp://a.example/\x01\n",
       "-",
       {}},
      {"repeats", "-\nhttp://a.example\nhttp://a.example/\n", "-", {"http://a.example"}},
      {"too long", "-\n" + long_url + "\n", "-", {}},
      {"too many", "-\n" + many, "-", {}},
  };
  cases[7].mirrors.clear();
  for (size_t i = 0; i < kMaxMirrors; ++i) {
    cases[7].mirrors.push_back("http://m" + std::to_string(i) + ".example");
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const DownloadAddress parsed = ParseDownloadAddress(c.data);
    EXPECT_EQ(parsed.text, c.text);
    EXPECT_EQ(parsed.mirrors, c.mirrors);
    // What is written reads back the same.
    const DownloadAddress again = ParseDownloadAddress(FormatDownloadAddress(parsed));
    EXPECT_EQ(again.mirrors, parsed.mirrors);
    EXPECT_EQ(again.text, parsed.text.empty() ? "-" : parsed.text);
  }
}

}  // namespace
}  // namespace dizedir
