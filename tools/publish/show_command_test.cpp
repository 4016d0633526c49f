#include "tools/publish/show_command.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

namespace dizedir::publish {
namespace {

std::string SampleDir() {
  const char* root = std::getenv("DIZEDIR_SOURCE_DIR");
  return std::string(root ? root : ".") + "/tests/data/lists/";
}

TEST(ListPrinterTest, KindFromNameOrOption) {
  struct Case {
    std::string text;
    std::optional<ListKind> from_path;
    std::optional<ListKind> from_option;
  };
  const std::vector<Case> cases = {
      {"srv/CurVer.BIN", ListKind::kInstalled, std::nullopt},
      {"c:\\game\\newver.bin", ListKind::kPublished, std::nullopt},
      {"verlist.bin", ListKind::kPatches, ListKind::kPatches},
      {"verlist", std::nullopt, ListKind::kPatches},
      {"curver.bin.old", std::nullopt, std::nullopt},
      {"list.bin", std::nullopt, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(ListKindFromPath(c.text), c.from_path);
    EXPECT_EQ(ParseListKind(c.text), c.from_option);
  }
}

TEST(ListPrinterTest, JsonStringEscapesEveryByteSafely) {
  EXPECT_EQ(JsonString("a\"b\\c"), "\"a\\\"b\\\\c\"");
  EXPECT_EQ(JsonString(std::string("\x01\xE9\r\n", 4)),
            "\"\\u0001\\u00e9\\r\\n\"");
}

TEST(ListPrinterTest, RecordJsonKeepsEveryByteOfEveryField) {
  // What a damaged or foreign list can hold: JSON's own quote and escape, a
  // control byte, a GBK pair that is not UTF-8, a lone 0xFF.
  const std::string bytes = "a\"\\\x01\xB2\xB9\xFF";
  // The same bytes, each as the character of its number.
  const std::string text = "a\"\\\x01\xC2\xB2\xC2\xB9\xC3\xBF";
  VersionRecord version;
  version.stamp = version.guid = bytes;
  PatchRecord patch;
  patch.stamp = patch.guid = patch.archive = bytes;
  patch.parts = {{bytes, bytes}, {bytes, bytes}};
  LocalVersionRecord local;
  local.stamp = local.guid = local.archive = bytes;
  local.partCount = 2;
  local.parts = patch.parts;
  struct Case {
    const char* name;
    JsonDocument record;
    std::vector<std::string> fields;
  };
  const Case cases[] = {
      {"newver", RecordJson(version), {"/stamp", "/guid"}},
      {"verlist", RecordJson(patch),
       {"/stamp", "/guid", "/archive", "/parts/0/name", "/parts/0/digest", "/parts/1/name",
        "/parts/1/digest"}},
      {"curver", RecordJson(local), {"/stamp", "/guid", "/archive", "/parts/0", "/parts/1"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string line = JsonLine(c.record);
    JsonDocument back;
    ASSERT_NO_THROW(back = JsonDocument::parse(line)) << line;
    for (const std::string& field : c.fields) {
      EXPECT_EQ(back.at(JsonDocument::json_pointer(field)), text) << field << " in " << line;
    }
  }
}

TEST(ShowCommandTest, PrintsEachSampleListOneRecordPerLine) {
  struct Case {
    std::string file;
    bool json;
    size_t lines;
    std::string expected_line;
  };
  const std::vector<Case> cases = {
      {"newver.bin", false, 4,
       "number=3 state=2 stamp=\"2010-01-20 09:12:44\" "
       "guid=6F9619FF-8B86-D011-B42D-00C04FC964FF"},
      {"verlist.bin", false, 3,
       "number=3 state=2 stamp=\"2010-01-20 09:12:44\" "
       "guid=6F9619FF-8B86-D011-B42D-00C04FC964FF archive=patch3 parts=2 "
       "part0=patch3_0:e4d909c290d0fb1ca068ffaddf22cbd0 "
       "part1=patch3_1:d41d8cd98f00b204e9800998ecf8427e"},
      {"curver.bin", false, 4,
       "number=4 state=2 stamp=\"2010-02-01 23:59:59\" "
       "guid=6F9619FF-8B86-D011-B42D-00C04FC964FF partCount=3 archive=patch4 "
       "parts=patch4_0,patch4_1,patch4_2"},
      {"curver.bin", true, 6,
       "{\"number\":1,\"state\":1,\"stamp\":\"2009-11-02 10:00:00\","
       "\"guid\":\"6F9619FF-8B86-D011-B42D-00C04FC964FF\",\"partCount\":0,"
       "\"archive\":\"\",\"parts\":[]},"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file + (c.json ? " json" : ""));
    ShowOptions options;
    options.path = SampleDir() + c.file;
    options.json = c.json;
    std::ostringstream out, err;
    EXPECT_EQ(RunShow(Env::Default(), options, out, err), 0) << err.str();
    std::vector<std::string> lines;
    std::istringstream in(out.str());
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    EXPECT_EQ(lines.size(), c.lines);
    EXPECT_NE(std::find(lines.begin(), lines.end(), c.expected_line),
              lines.end())
        << out.str();
  }
}

TEST(ShowCommandTest, FailsWithAMessage) {
  struct Case {
    std::string path;
    std::optional<ListKind> kind;
    std::string message;
  };
  const std::vector<Case> cases = {
      {SampleDir() + "missing/curver.bin", std::nullopt, "cannot read"},
      {SampleDir() + "curver.bin.txt", std::nullopt, "--kind"},
      // newver lines carry no trailer, which a patch list needs.
      {SampleDir() + "newver.bin", ListKind::kPatches, "line 1 is not a valid"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    ShowOptions options;
    options.path = c.path;
    options.kind = c.kind;
    std::ostringstream out, err;
    EXPECT_EQ(RunShow(Env::Default(), options, out, err), 1);
    EXPECT_NE(err.str().find(c.message), std::string::npos) << err.str();
  }
}

}  // namespace
}  // namespace dizedir::publish
