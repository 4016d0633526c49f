#include "tools/publish/server_list_writer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/ini_file.h"
#include "platform/text.h"
#include "support/client_files.h"
#include "support/scratch_dir.h"

namespace dizedir::publish {
namespace {

TEST(ServerListWriterTest, RegionSpecs) {
  struct Case {
    std::string text;
    bool ok;
    RegionSpec want;
  };
  const std::vector<Case> cases = {
      {"north=upd.example.com", true, {"north", "upd.example.com", "", ""}},
      {"south=10.0.0.2:8080/rel,gw.example.com:7000,north", true,
       {"south", "10.0.0.2:8080/rel", "gw.example.com 7000", "north"}},
      {"east=a.b,gw 7000 x", true, {"east", "a.b", "gw 7000 x", ""}},
      {"noaddress", false, {}},
      {"two words=a", false, {}},
      {"a,b=x", false, {}},
      {"list=x", false, {}},
      {"r=", false, {}},
      {"r=has space", false, {}},
      {"r=a,b,c,d", false, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    RegionSpec got;
    EXPECT_EQ(ParseRegionSpec(c.text, &got).ok(), c.ok);
    if (!c.ok) continue;
    EXPECT_EQ(got.name, c.want.name);
    EXPECT_EQ(got.address, c.want.address);
    EXPECT_EQ(got.gateway, c.want.gateway);
    EXPECT_EQ(got.main, c.want.main);
  }
}

TEST(ServerListWriterTest, ClientReadersSeeWhatWasWritten) {
  ScratchDir dir("serverlist");
  ServerListSpec layout;
  layout.first_group = {{"north", "upd.example.com/rel", "gw.example.com 7000", ""},
                      {"\xD1\x8E\xD0\xB3", "10.0.0.9", "gw2 7001 extra", "north"}};
  layout.second_group = {{"west", "w.example.com", "", ""}};
  layout.current = -1;
  layout.second_current = 0;
  layout.url = "http://news.example.com/";
  layout.list_host = "abc";
  layout.list_number = 3;
  ASSERT_TRUE(WriteServerList(Env::Default(), dir.dir(), layout).ok());

  std::string bytes;
  ASSERT_TRUE(ReadFileToString(Env::Default(), dir.dir() + "patchone3.ini", &bytes).ok());
  ASSERT_GE(bytes.size(), 2u);
  EXPECT_EQ(bytes.substr(0, 2), "\xFF\xFE");
  IniFile ini;
  ASSERT_TRUE(IniFile::Load(Env::Default(), dir.dir() + "patchone3.ini", &ini).ok());
  struct Lookup {
    std::u16string section, key, value;
  };
  const std::vector<Lookup> lookups = {
      {u"Region1", u"list", u"north," + Utf8ToUtf16("\xD1\x8E\xD0\xB3")},
      {u"Region1", u"north", u"upd.example.com/rel"},
      {u"Region1", Utf8ToUtf16("\xD1\x8E\xD0\xB3"), u"10.0.0.9"},
      {u"Region2", u"list", u"west"},
      {u"Region2", u"west", u"w.example.com"},
      {u"gateway", u"north", u"gw.example.com 7000"},
      {u"gateway", Utf8ToUtf16("\xD1\x8E\xD0\xB3"), u"gw2 7001 extra"},
      {u"gateway", u"west", u""},
      {u"MainRegion", Utf8ToUtf16("\xD1\x8E\xD0\xB3"), u"north"},
      {u"curregDianXin", u"region", u"-1"},
      {u"curregWangTong", u"region", u"0"},
      {u"url", u"url", u"http://news.example.com/"},
  };
  for (const Lookup& l : lookups) {
    SCOPED_TRACE(Utf16ToUtf8(l.section + u"/" + l.key));
    EXPECT_EQ(ini.GetString(l.section, l.key, u"", 1024), l.value);
  }

  IniFile settings;
  ASSERT_TRUE(IniFile::Load(Env::Default(), dir.dir() + "ng.ini", &settings).ok());
  EXPECT_EQ(settings.GetInt(u"SETTING", u"SP", -1), 3);
  std::string host;
  ASSERT_TRUE(ReadFileToString(Env::Default(), dir.dir() + "IPconfig.dat", &host).ok());
  EXPECT_EQ(host, "\x6B\x6D\x6F");  // "abc", byte i raised by i + 10

  // A secure list host keeps its scheme in IPconfig.dat.
  layout.list_host = "https://lists.example";
  ASSERT_TRUE(WriteServerList(Env::Default(), dir.dir(), layout).ok());
  ASSERT_TRUE(ReadFileToString(Env::Default(), dir.dir() + "IPconfig.dat", &host).ok());
  EXPECT_EQ(host, ShiftedHost("https://lists.example"));
}

TEST(ServerListWriterTest, RefusesListsClientsCannotUse) {
  struct Case {
    std::string label;
    ServerListSpec layout;
  };
  ServerListSpec good;
  good.first_group = {{"a", "x.example.com", "", ""}};
  auto changed = [&](auto change) {
    ServerListSpec s = good;
    change(s);
    return s;
  };
  const std::vector<Case> cases = {
      {"no region", changed([](ServerListSpec& s) { s.first_group.clear(); })},
      {"current outside", changed([](ServerListSpec& s) { s.current = 1; })},
      {"second current outside", changed([](ServerListSpec& s) { s.current = -1; })},
      {"same name twice", changed([](ServerListSpec& s) {
         s.second_group = {{"A", "y", "", ""}};
       })},
      {"host with a path", changed([](ServerListSpec& s) { s.list_host = "h/x"; })},
      {"https host with a path",
       changed([](ServerListSpec& s) { s.list_host = "https://h/x"; })},
      {"https without a host", changed([](ServerListSpec& s) { s.list_host = "HTTPS://"; })},
      {"another scheme", changed([](ServerListSpec& s) { s.list_host = "ftp://h"; })},
      {"url with a line break", changed([](ServerListSpec& s) { s.url = "a\nb"; })},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ScratchDir dir("serverlist_bad");
    EXPECT_FALSE(WriteServerList(Env::Default(), dir.dir(), c.layout).ok());
    EXPECT_FALSE(Env::Default()->FileExists(dir.dir() + "patchone.ini"));
  }
}

}  // namespace
}  // namespace dizedir::publish
