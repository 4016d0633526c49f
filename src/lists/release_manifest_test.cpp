#include "lists/release_manifest.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "codec/minisign.h"

namespace dizedir {
namespace {

const std::string kHashA = "0e5751c026e543b2e8ab2eb06099daa1d1e5df47778f7787faab45cdf12fe3a8";
const std::string kHashB = "bddd813c634239723171ef3fee98579b94964e3bb1cb3e427262c8c068d52319";

std::string PublicKeyLine() {
  minisign::PublicKey pub;
  minisign::SecretKey key;
  EXPECT_TRUE(minisign::GenerateKeyPair(&pub, &key).ok());
  return minisign::PublicKeyLine(pub);
}

std::string Text(const std::vector<std::string>& lines) {
  std::string out;
  for (const std::string& line : lines) out += line + "\n";
  return out;
}

struct Layout {
  std::string header = "dizedir release manifest 1";
  std::string line = "line 6F9619FF-8B86-D011-B42D-00C04FC964FF";
  std::string sequence = "sequence 7";
  std::string expires = "expires 2030-01-02T03:04:05Z";
  std::vector<std::string> rest;
  std::vector<std::string> Lines() const {
    std::vector<std::string> out = {header, line, sequence, expires};
    out.insert(out.end(), rest.begin(), rest.end());
    return out;
  }
};

TEST(ReleaseManifestTest, AcceptsTheLayoutAndFormatsItBackByteForByte) {
  const std::string key = PublicKeyLine();
  struct Case {
    const char* label;
    std::string text;
  };
  Layout full;
  full.rest = {"next-key " + key, "file 12 " + kHashA + " downloadaddr.txt",
               "file 3000 " + kHashB + " patch2_0.zxp"};
  Layout bare;  // no next key, no files
  Layout edges;
  edges.sequence = "sequence 9223372036854775807";
  edges.expires = "expires 9999-12-31T23:59:59Z";
  edges.rest = {"file 0 " + kHashA + " empty",
                "file 9223372036854775807 " + kHashA + " my file.zip",
                "file 1 " + kHashB + " \xD1\x84\xD0\xB0\xD0\xB9\xD0\xBB.zip"};
  const Case cases[] = {{"full", Text(full.Lines())},
                        {"bare", Text(bare.Lines())},
                        {"edges", Text(edges.Lines())}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ReleaseManifest m;
    const Status s = ParseReleaseManifest(c.text, &m);
    ASSERT_TRUE(s.ok()) << s.ToString();
    EXPECT_EQ(FormatReleaseManifest(m), c.text);
  }

  ReleaseManifest m;
  ASSERT_TRUE(ParseReleaseManifest(Text(full.Lines()), &m).ok());
  EXPECT_EQ(m.line, "6F9619FF-8B86-D011-B42D-00C04FC964FF");
  EXPECT_EQ(m.sequence, 7);
  EXPECT_EQ(m.expires, 1893553445);
  EXPECT_EQ(m.next_key, key);
  ASSERT_EQ(m.files.size(), 2u);
  EXPECT_EQ(m.files[1].name, "patch2_0.zxp");
  EXPECT_EQ(m.files[1].size, 3000u);
  EXPECT_EQ(ContentHashHex(m.files[1].hash), kHashB);
  ASSERT_NE(m.Find("PATCH2_0.ZXP"), nullptr);
  EXPECT_EQ(m.Find("PATCH2_0.ZXP")->size, 3000u);
  EXPECT_EQ(m.Find("patch2_0.zx"), nullptr);

  ReleaseManifest cyrillic;
  ASSERT_TRUE(ParseReleaseManifest(Text(edges.Lines()), &cyrillic).ok());
  EXPECT_NE(cyrillic.Find("\xD0\xA4\xD0\x90\xD0\x99\xD0\x9B.ZIP"), nullptr)
      << "names fold as the client's file names do";

  // What Format writes from values, Parse reads back to the same values.
  ReleaseManifest made;
  made.line = "ABC";
  made.sequence = 1;
  made.expires = 0;
  made.files.push_back({"a.zip", 5, HashBytes("x")});
  ReleaseManifest back;
  ASSERT_TRUE(ParseReleaseManifest(FormatReleaseManifest(made), &back).ok());
  EXPECT_EQ(back.line, made.line);
  EXPECT_EQ(back.expires, 0);
  ASSERT_EQ(back.files.size(), 1u);
  EXPECT_EQ(back.files[0].hash, made.files[0].hash);
}

TEST(ReleaseManifestTest, RefusesEveryOtherLayoutNamingTheLine) {
  const std::string key = PublicKeyLine();
  const std::string file = "file 12 " + kHashA + " downloadaddr.txt";
  auto with = [](auto edit) {
    Layout l;
    edit(&l);
    return Text(l.Lines());
  };
  auto files = [&](std::vector<std::string> rest) {
    return with([&](Layout* l) { l->rest = rest; });
  };
  struct Case {
    const char* label;
    std::string text;
    int line;
    const char* why;
  };
  const Case cases[] = {
      {"empty", "", 1, "missing"},
      {"other version", with([](Layout* l) { l->header = "dizedir release manifest 2"; }), 1,
       "expected"},
      {"CR LF", with([](Layout* l) { l->header += "\r"; }), 1, "expected"},
      {"ends after the header", "dizedir release manifest 1\n", 2, "missing"},
      {"no final line feed", Text(Layout().Lines()) + file, 5, "line feed"},
      {"keys out of order",
       with([](Layout* l) { std::swap(l->line, l->sequence); }), 2, "expected \"line"},
      {"sequence twice", with([](Layout* l) { l->expires = "sequence 8"; }), 4,
       "expected \"expires"},
      {"empty line name", with([](Layout* l) { l->line = "line "; }), 2, "printable"},
      {"line name with a space", with([](Layout* l) { l->line = "line A B"; }), 2, "printable"},
      {"line name not ASCII", with([](Layout* l) { l->line = "line \xC3\xA9"; }), 2, "printable"},
      {"line name too long",
       with([](Layout* l) { l->line = "line " + std::string(260, 'A'); }), 2, "printable"},
      {"sequence 0", with([](Layout* l) { l->sequence = "sequence 0"; }), 3, "sequence"},
      {"sequence -1", with([](Layout* l) { l->sequence = "sequence -1"; }), 3, "sequence"},
      {"sequence +1", with([](Layout* l) { l->sequence = "sequence +1"; }), 3, "sequence"},
      {"sequence 07", with([](Layout* l) { l->sequence = "sequence 07"; }), 3, "sequence"},
      {"sequence 2^63",
       with([](Layout* l) { l->sequence = "sequence 9223372036854775808"; }), 3, "sequence"},
      {"sequence 2^64+",
       with([](Layout* l) { l->sequence = "sequence 99999999999999999999"; }), 3, "sequence"},
      {"sequence with a space", with([](Layout* l) { l->sequence = "sequence 7 "; }), 3,
       "sequence"},
      {"month 13", with([](Layout* l) { l->expires = "expires 2030-13-02T03:04:05Z"; }), 4,
       "expiry"},
      {"expiry without Z", with([](Layout* l) { l->expires = "expires 2030-01-02T03:04:05"; }),
       4, "expiry"},
      {"next key garbage", files({"next-key RWQ!"}), 5, "next key"},
      {"next key as a key file", files({"next-key untrusted comment: x"}), 5, "next key"},
      {"next key twice", files({"next-key " + key, "next-key " + key}), 6, "expected \"file"},
      {"next key after a file", files({file, "next-key " + key}), 6, "expected \"file"},
      {"unknown line", files({file, "comment hello"}), 6, "expected \"file"},
      {"blank line", files({file, ""}), 6, "expected \"file"},
      {"size with a leading zero", files({"file 012 " + kHashA + " a"}), 5, "size"},
      {"negative size", files({"file -1 " + kHashA + " a"}), 5, "size"},
      {"size 2^63", files({"file 9223372036854775808 " + kHashA + " a"}), 5, "size"},
      {"size missing", files({"file " + kHashA + " a"}), 5, "size"},
      {"two spaces", files({"file 12  " + kHashA + " a"}), 5, "hash"},
      {"upper-case hash", files({"file 12 0E" + kHashA.substr(2) + " a"}), 5, "hash"},
      {"short hash", files({"file 12 " + kHashA.substr(1) + " a"}), 5, "hash"},
      {"no name", files({"file 12 " + kHashA}), 5, "hash"},
      {"empty name", files({"file 12 " + kHashA + " "}), 5, "name"},
      {"slash", files({"file 12 " + kHashA + " data/a.zip"}), 5, "name"},
      {"backslash", files({"file 12 " + kHashA + " data\\a.zip"}), 5, "name"},
      {"dot dot", files({"file 12 " + kHashA + " .."}), 5, "name"},
      {"dot", files({"file 12 " + kHashA + " ."}), 5, "name"},
      {"device", files({"file 12 " + kHashA + " CON.zip"}), 5, "name"},
      {"trailing dot", files({"file 12 " + kHashA + " a.zip."}), 5, "name"},
      {"temporary", files({"file 12 " + kHashA + " a.zip.dztmp"}), 5, "name"},
      {"control character", files({"file 12 " + kHashA + " a\tb"}), 5, "name"},
      {"not UTF-8", files({"file 12 " + kHashA + " a\xFF"}), 5, "name"},
      {"name too long", files({"file 12 " + kHashA + " " + std::string(513, 'n')}), 5,
       "512"},
      {"the manifest itself", files({"file 12 " + kHashA + " Release.Manifest"}), 5, "itself"},
      {"its signature", files({"file 12 " + kHashA + " release.manifest.minisig"}), 5,
       "itself"},
      {"same name twice", files({file, "file 1 " + kHashB + " DownloadAddr.TXT"}), 6, "twice"},
      {"same name folded",
       files({"file 1 " + kHashA + " \xD1\x84.zip", "file 1 " + kHashA + " \xD0\xA4.zip"}), 6,
       "twice"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ReleaseManifest m;
    m.line = "left over";
    const Status s = ParseReleaseManifest(c.text, &m);
    ASSERT_FALSE(s.ok());
    EXPECT_TRUE(s.IsCorruption());
    const std::string where = "release.manifest: line " + std::to_string(c.line) + ": ";
    EXPECT_EQ(s.message().rfind(where, 0), 0u) << s.message();
    EXPECT_NE(s.message().find(c.why), std::string::npos) << s.message();
    EXPECT_EQ(m.line, "") << "a refused manifest leaves nothing behind";
  }

  std::string huge = Text(Layout().Lines());
  while (huge.size() <= kMaxReleaseManifestBytes) {
    huge += "file 1 " + kHashA + " f" + std::to_string(huge.size()) + "\n";
  }
  ReleaseManifest m;
  const Status s = ParseReleaseManifest(huge, &m);
  EXPECT_NE(s.message().find("larger than"), std::string::npos) << s.ToString();
}

TEST(UtcTimeTest, ConvertsByTheCalendarAndRefusesOtherSpellings) {
  struct Case {
    const char* text;
    int64_t seconds;
  };
  const Case good[] = {
      {"1970-01-01T00:00:00Z", 0},
      {"1972-12-31T23:59:59Z", 94694399},
      {"2000-02-29T00:00:00Z", 951782400},
      {"2024-02-29T12:34:56Z", 1709210096},
      {"2038-01-19T03:14:08Z", 2147483648},
      {"2100-03-01T00:00:00Z", 4107542400},
      {"9999-12-31T23:59:59Z", 253402300799},
  };
  for (const Case& c : good) {
    SCOPED_TRACE(c.text);
    int64_t seconds = -5;
    ASSERT_TRUE(ParseUtcTime(c.text, &seconds));
    EXPECT_EQ(seconds, c.seconds);
    EXPECT_EQ(FormatUtcTime(c.seconds), c.text);
  }
  const char* bad[] = {
      "1969-12-31T23:59:59Z", "2023-13-01T00:00:00Z", "2023-00-10T00:00:00Z",
      "2023-01-00T00:00:00Z", "2023-02-30T00:00:00Z", "2023-02-29T00:00:00Z",
      "2100-02-29T00:00:00Z", "2023-04-31T00:00:00Z", "2023-01-01T24:00:00Z",
      "2023-01-01T00:60:00Z", "2023-01-01T00:00:60Z", "2023-01-01T00:00:00",
      "2023-01-01T00:00:00z", "2023-01-01 00:00:00Z", "2023-1-01T00:00:00Z",
      "+023-01-01T00:00:00Z", "2023-01-01T00:00:00Z ", "10000-01-01T00:00:00Z",
      "",
  };
  for (const char* text : bad) {
    SCOPED_TRACE(text);
    int64_t seconds = -5;
    EXPECT_FALSE(ParseUtcTime(text, &seconds));
    EXPECT_EQ(seconds, -5);
  }
  EXPECT_EQ(FormatUtcTime(-1), "1969-12-31T23:59:59Z");
  // Days all over the range, at times of day that move, read back.
  for (int64_t t = 0; t <= 253402300799; t += 7 * 86400 + 3607) {
    int64_t back = -1;
    ASSERT_TRUE(ParseUtcTime(FormatUtcTime(t), &back)) << t;
    ASSERT_EQ(back, t);
  }
}

}  // namespace
}  // namespace dizedir
