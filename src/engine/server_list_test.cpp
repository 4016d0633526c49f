#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "engine/patch_engine.h"
#include "platform/env.h"
#include "platform/ini_file.h"
#include "platform/text.h"
#include "plugin/string_table.h"
#include "support/fake_downloader.h"
#include "support/recording_sink.h"
#include "support/client_files.h"
#include "support/file_bytes.h"
#include "support/scratch_dir.h"

namespace dizedir {
namespace {

namespace fs = std::filesystem;



class ServerListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = scratch_.path();
    ASSERT_TRUE(StringTable::Open(Env::Default(), DIZEDIR_RESCHN_DLL, &strings_).ok());
    NewEngine();
  }

  void NewEngine(uint32_t slots = FakeDownloader::kAllSlots) {
    engine_.reset();
    fake_ = std::make_unique<FakeDownloader>();
    engine_ = std::make_unique<PatchEngine>(Env::Default(), strings_.get(), fake_->module(slots));
    sink_ = RecordingSink();
    engine_->SetPlugin(&sink_, nullptr);
    ASSERT_TRUE(engine_->SetClientDir(dir_.string() + "/"));
  }
  void Write(const std::string& name, const std::string& bytes) {
    std::ofstream(dir_ / name, std::ios::binary) << bytes;
  }
  std::string Read(const std::string& name) { return ReadBytes(dir_ / name); }
  std::string Failure(uint32_t id) {
    return strings_->LookupNarrow(id);
  }
  std::vector<std::string> Names() {
    std::vector<std::string> names;
    const CVkRegionList& list = engine_->region_list();
    for (unsigned i = 0; i < list.GetCount(); ++i) {
      names.push_back(Utf16ToUtf8(list.GetAt(i)->name));
    }
    return names;
  }

  ScratchDir scratch_{"servers"};
  fs::path dir_;
  std::unique_ptr<StringTable> strings_;
  std::unique_ptr<FakeDownloader> fake_;
  RecordingSink sink_;
  std::unique_ptr<PatchEngine> engine_;
};

TEST_F(ServerListTest, ListNumberChoosesTheUrl) {
  struct Case {
    const char* settings;  // null: no ng.ini
    const char* url;
  };
  const Case cases[] = {
      {nullptr, "http://lists.example:8080/patchone.ini"},
      {"[SETTING]\r\nSP=0\r\n", "http://lists.example:8080/patchone.ini"},
      {"[SETTING]\r\nSP=-1\r\n", "http://lists.example:8080/patchone.ini"},
      {"[setting]\nsp = 3\n", "http://lists.example:8080/patchone3.ini"},
      {"[SETTING]\nOTHER=3\n", "http://lists.example:8080/patchone.ini"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.settings ? c.settings : "(none)");
    NewEngine();
    fs::remove(dir_ / "ng.ini");
    if (c.settings) Write("ng.ini", c.settings);
    Write("IPconfig.dat", ShiftedHost("lists.example:8080"));
    EXPECT_TRUE(engine_->RunServerList());
    const std::vector<std::string> calls = fake_->calls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0], "Connect lists.example:8080 80");
    // The list is fetched bounded by what its reader accepts.
    EXPECT_EQ(calls[1].rfind("SetFileLimits " + std::to_string(IniFile::kMaxFileBytes) + " ", 0),
              0u)
        << calls[1];
    EXPECT_EQ(calls[2], std::string("DownloadFile ") + c.url + " " + dir_.string() +
                            "/patchone_temp.ini");
  }
}

TEST_F(ServerListTest, HostFileFailures) {
  struct Case {
    std::string name;
    bool present;
    std::string bytes;
    int connect;
    uint32_t string_id;  // 0: succeeds
    std::string host;
  };
  const std::vector<Case> cases = {
      {"missing", false, "", 1, 216, ""},
      {"abc", true, "\x6b\x6d\x6f", 1, 0, "abc"},
      {"empty file", true, "", 1, kStringHostFileEmpty, ""},
      {"decodes to a NUL first", true, ShiftedHost(std::string("\0x", 2)), 1, kStringHostFileEmpty, ""},
      {"200 bytes fit", true, ShiftedHost(std::string(200, 'h')), 1, 0, std::string(200, 'h')},
      {"259 bytes fit, but not in the url", true, ShiftedHost(std::string(259, 'h')), 1,
       kStringPathTooLong, std::string(259, 'h')},
      {"260 bytes do not", true, ShiftedHost(std::string(260, 'h')), 1, kStringHostFileTooLong, ""},
      {"far too long", true, std::string(100000, 'x'), 1, kStringHostFileTooLong, ""},
      {"server does not answer", true, ShiftedHost("down.example"), 0, 217, "down.example"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    NewEngine();
    fs::remove(dir_ / "IPconfig.dat");
    if (c.present) Write("IPconfig.dat", c.bytes);
    fake_->connect_result = c.connect;
    const bool ok = engine_->RunServerList();
    EXPECT_EQ(ok, c.string_id == 0);
    if (c.string_id != 0) {
      EXPECT_EQ(sink_.failures(), std::vector<std::string>{Failure(c.string_id)});
    }
    const std::vector<std::string> calls = fake_->calls();
    if (!c.host.empty()) {
      ASSERT_FALSE(calls.empty());
      EXPECT_EQ(calls[0], "Connect " + c.host + " 80");
    } else {
      EXPECT_TRUE(calls.empty()) << calls[0];
    }
    EXPECT_FALSE(fs::exists(dir_ / "patchone_temp.ini"));
  }
}

TEST_F(ServerListTest, RegionListFromEveryEncoding) {
  const std::u16string ini =
      u"[Region1]\r\n"
      u"list=north, south east\r\n"
      u"north=10.0.0.1/patch\r\n"
      u"SOUTH=10.0.0.2\r\n"
      u"east=10.0.0.3\r\n"
      u"[Region2]\r\n"
      u"list=\u00e9toile,\u5317\u4eac\r\n"
      u"\u00e9toile=10.0.1.1\r\n"
      u"\u5317\u4eac=10.0.1.2\r\n"
      u"[gateway]\r\n"
      u"north=gw.north 7000\r\n"
      u"south=gw.south 7000 x\r\n"
      u"east=gw.east\r\n"
      u"[MainRegion]\r\n"
      u"south=north\r\n"
      u"[curregDianXin]\r\nregion=-1\r\n"
      u"[curregWangTong]\r\nregion=1\r\n"
      u"[url]\r\nurl=http://news.example/\u00fc\r\n";
  std::u16string lf_only;
  for (char16_t c : ini) {
    if (c != u'\r') lf_only += c;
  }
  struct Case {
    const char* name;
    std::string bytes;
  };
  const Case cases[] = {
      {"utf-16le with bom", Utf16Le(ini, true)},
      {"utf-8 with bom", "\xef\xbb\xbf" + Utf16ToUtf8(ini)},
      {"utf-8 without bom", Utf16ToUtf8(ini)},
      {"utf-8, lf only", Utf16ToUtf8(lf_only)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    NewEngine();
    Write("IPconfig.dat", ShiftedHost("lists.example"));
    fake_->AddFile("/patchone.ini", c.bytes);
    ASSERT_TRUE(engine_->RunServerList());
    EXPECT_EQ(Read("patchone.ini"), c.bytes);
    EXPECT_EQ(Names(), (std::vector<std::string>{"north", "south", "east", "\xc3\xa9toile",
                                                 "\xe5\x8c\x97\xe4\xba\xac"}));
    EXPECT_EQ(engine_->primary_region_count(), 3);
    EXPECT_EQ(engine_->current_region(), 4);  // second region of the second group
    EXPECT_EQ(engine_->url(), u"http://news.example/\u00fc");
    const CVkRegionList& list = engine_->region_list();
    struct Expected {
      unsigned index;
      std::u16string address, gateway_host;
      uint32_t gateway_port;
      std::u16string rest, main;
    };
    const Expected regions[] = {
        {0, u"10.0.0.1/patch", u"gw.north", 7000, u"", u"north"},
        {1, u"10.0.0.2", u"gw.south", 7000, u" x", u"north"},
        {2, u"10.0.0.3", u"gw.east", 0, u"", u"east"},
        {4, u"10.0.1.2", u"", 0, u"", u"\u5317\u4eac"},
    };
    for (const Expected& e : regions) {
      const CVkRegion* r = list.GetAt(e.index);
      ASSERT_NE(r, nullptr);
      EXPECT_EQ(std::u16string(r->serverAddress), e.address);
      EXPECT_EQ(r->port, 80u);
      EXPECT_EQ(std::u16string(r->gatewayHost), e.gateway_host);
      EXPECT_EQ(r->gatewayPort, e.gateway_port);
      EXPECT_EQ(std::u16string(r->gatewayRest), e.rest);
      EXPECT_EQ(std::u16string(r->mainRegion), e.main);
    }
    // A refresh gives the list again, not the list twice.
    ASSERT_TRUE(engine_->RunServerList());
    EXPECT_EQ(list.GetCount(), 5u);
    EXPECT_EQ(engine_->primary_region_count(), 3);
  }
}

TEST_F(ServerListTest, CurrentRegionRules) {
  struct Case {
    const char* sections;
    uint8_t current;
  };
  const Case cases[] = {
      {"[curregDianXin]\nregion=1\n[curregWangTong]\nregion=0\n", 1},
      {"[curregDianXin]\nregion=-1\n[curregWangTong]\nregion=1\n", 3},
      {"[curregDianXin]\nregion=-1\n", 2},
      {"[curregDianXin]\nregion= 7abc\n", 7},
      {"[curregDianXin]\nregion=x\n", 0},
      {"", 0},
      {"[curregDianXin]\nregion=258\n", 2},  // the low 8 bits
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sections);
    NewEngine();
    Write("patchone.ini", std::string("[Region1]\nlist=a b\na=1\nb=2\n[Region2]\nlist=c,d,e\n") +
                              c.sections);
    engine_->ParseRegionList();
    EXPECT_EQ(engine_->current_region(), c.current);
    EXPECT_EQ(engine_->primary_region_count(), 2);
  }
}

TEST_F(ServerListTest, FailedDownloadKeepsTheOldList) {
  const std::string old_list = "[Region1]\nlist=old\nold=1.2.3.4\n";
  struct Case {
    const char* name;
    bool old_present;
    size_t regions;
  };
  const Case cases[] = {{"old list kept and read", true, 1}, {"no list at all", false, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    NewEngine();
    fs::remove(dir_ / "patchone.ini");
    if (c.old_present) Write("patchone.ini", old_list);
    Write("IPconfig.dat", ShiftedHost("lists.example"));
    // The fake has no /patchone.ini: the download fails.
    EXPECT_TRUE(engine_->RunServerList());
    EXPECT_TRUE(sink_.failures().empty());
    EXPECT_FALSE(fs::exists(dir_ / "patchone_temp.ini"));
    EXPECT_EQ(engine_->region_list().GetCount(), c.regions);
    if (c.old_present) {
      EXPECT_EQ(Read("patchone.ini"), old_list);
    }
  }
}

TEST_F(ServerListTest, SelectRegionTakesTheHostPartAndRefusesMissingRegions) {
  Write("patchone.ini",
        "[Region1]\nlist=a b\na=update.example/dir/sub\nb=plain.example\n"
        "[curregDianXin]\nregion=0\n");
  engine_->ParseRegionList();
  struct Case {
    uint8_t region;
    bool ok;
    std::string address, set_host;
  };
  const Case cases[] = {
      {0, true, "update.example/dir/sub", "update.example"},
      {1, true, "plain.example", "plain.example"},
      {2, false, "", ""},
      {255, false, "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(int{c.region});
    sink_ = RecordingSink();
    engine_->set_current_region(c.region);
    EXPECT_EQ(engine_->SelectRegion(), c.ok);
    if (c.ok) {
      EXPECT_EQ(engine_->server_address(), c.address);
      EXPECT_EQ(engine_->server_port(), 80u);
      EXPECT_EQ(fake_->calls().back(), "SetHost " + c.set_host);
      EXPECT_EQ(engine_->ConnectServer(), 1);
      EXPECT_EQ(fake_->calls().back(), "Connect " + c.set_host + " 80");
    } else {
      ASSERT_EQ(sink_.failures().size(), 1u);
      EXPECT_EQ(sink_.failures()[0].rfind(Failure(kStringRegionMissing), 0), 0u);
    }
  }
}

TEST_F(ServerListTest, OverlongNamesAreRefusedNotCut) {
  // A host part of 64 characters does not fit its buffer.
  engine_->SetServer(std::string(64, 'h') + "/dir", 80);
  EXPECT_EQ(engine_->ConnectServer(), -1);
  EXPECT_EQ(sink_.failures(), std::vector<std::string>{Failure(kStringHostTooLong)});
  engine_->SetServer(std::string(63, 'h') + "/dir", 80);
  EXPECT_EQ(engine_->ConnectServer(), 1);

  // A client directory that leaves no room for the file names.
  EXPECT_FALSE(engine_->SetClientDir(std::string(260, 'd')));
  ASSERT_TRUE(engine_->SetClientDir(std::string(250, 'd') + "/"));
  sink_ = RecordingSink();
  EXPECT_FALSE(engine_->RunServerList());
  EXPECT_EQ(sink_.failures(), std::vector<std::string>{Failure(kStringPathTooLong)});
}

// "https://" before a list host or a region address keeps TLS for every
// URL built from it; any other text is a plain address as before.
TEST_F(ServerListTest, SecureAddressesKeepTheirScheme) {
  struct Case {
    const char* list_host;  // in IPconfig.dat
    const char* region;     // the address patchone.ini gives the region
    std::vector<std::string> list_calls;    // the server-list task's
    std::vector<std::string> update_calls;  // the update's first fetches, side by side
  };
  const std::string temp = " " + dir_.string() + "/patchone_temp.ini";
  const std::string address_file = " " + dir_.string() + "/qmz_GT\\downloadaddr.txt";
  const std::string published = " " + dir_.string() + "/newver.bin";
  const Case cases[] = {
      {"https://lists.example", "https://upd.example:8443/rel/v2",
       {"Connect https://lists.example 80", "DownloadFile https://lists.example/patchone.ini" + temp},
       {"SetHost https://upd.example:8443", "Connect https://upd.example:8443 80",
        "DownloadFile https://upd.example:8443/rel/v2/downloadaddr.txt" + address_file,
        "DownloadFile https://upd.example:8443/rel/v2/curver.bin" + published}},
      {"HTTPS://lists.example:8443/sub", "HTTPS://upd.example",
       {"Connect https://lists.example:8443 80",
        "DownloadFile https://lists.example:8443/sub/patchone.ini" + temp},
       {"SetHost https://upd.example", "Connect https://upd.example 80",
        "DownloadFile https://upd.example/downloadaddr.txt" + address_file,
        "DownloadFile https://upd.example/curver.bin" + published}},
      {"lists.example", "upd.example:81/rel",
       {"Connect lists.example 80", "DownloadFile http://lists.example/patchone.ini" + temp},
       {"SetHost upd.example:81", "Connect upd.example:81 80",
        "DownloadFile http://upd.example:81/rel/downloadaddr.txt" + address_file,
        "DownloadFile http://upd.example:81/rel/curver.bin" + published}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.list_host);
    NewEngine();
    Write("IPconfig.dat", ShiftedHost(c.list_host));
    Write("patchone.ini", std::string("[Region1]\r\nlist=main\r\nmain=") + c.region +
                              "\r\n[curregDianXin]\r\nregion=0\r\n");
    EXPECT_TRUE(engine_->RunServerList());
    std::vector<std::string> calls;
    for (const std::string& call : fake_->calls()) {
      if (call.rfind("SetFileLimits", 0) != 0) calls.push_back(call);
    }
    EXPECT_EQ(calls, c.list_calls);

    NewEngine();
    engine_->ParseRegionList();
    fake_->last_failure = kHttpFailureTlsWrongName;
    EXPECT_FALSE(engine_->RunUpdate());
    calls.clear();
    for (const std::string& call : fake_->calls()) {
      for (const char* kept : {"SetHost ", "Connect ", "DownloadFile "}) {
        if (call.rfind(kept, 0) == 0) calls.push_back(call);
      }
    }
    EXPECT_EQ(calls, c.update_calls);
    EXPECT_EQ(sink_.failures(),
              std::vector<std::string>{Failure(250) + " " + Failure(kStringTlsWrongName)});
  }
  fs::remove(dir_ / "patchone.ini");
}

// The CA bundle ng.ini names is a file of the client: handed to the
// downloader before anything is fetched, refused (and nothing fetched) when
// the name leads elsewhere or the downloader cannot use it.
// A downloader module is called only through the slots it says it has:
// one slot too far is a call through a pointer past its table. The lists
// of an update start go side by side only through the slot made for it,
// and one after another when ng.ini asks for one connection.
TEST_F(ServerListTest, OlderDownloadersGetOnlyTheirSlots) {
  struct Case {
    uint32_t slots;
    const char* settings;  // ng.ini
    std::vector<std::string> calls;
  };
  const std::string host = "SetHost upd.example";
  const std::string connect = "Connect upd.example 80";
  const std::string base = "DownloadFile http://upd.example/";
  const std::string address = base + "downloadaddr.txt " + dir_.string() + "/qmz_GT\\downloadaddr.txt";
  const std::string published = base + "curver.bin " + dir_.string() + "/newver.bin";
  const Case cases[] = {
      {0, "", {host, connect, address}},
      {FakeDownloader::kAllSlots - 1, "", {host, "SetConnections 0", connect, address}},
      {FakeDownloader::kAllSlots,
       "",
       {host, "SetConnections 0", connect, "DownloadFiles 2", address, published}},
      {FakeDownloader::kAllSlots,
       "[SETTING]\r\nConnections=3\r\n",
       {host, "SetConnections 3", connect, "DownloadFiles 2", address, published}},
      {FakeDownloader::kAllSlots,
       "[SETTING]\r\nConnections=1\r\n",
       {host, "SetConnections 1", connect, address}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.slots) + " " + c.settings);
    Write("ng.ini", c.settings);
    Write("patchone.ini", "[Region1]\r\nlist=main\r\nmain=upd.example\r\n"
                          "[curregDianXin]\r\nregion=0\r\n");
    NewEngine(c.slots);
    engine_->ParseRegionList();
    EXPECT_FALSE(engine_->RunUpdate());
    std::vector<std::string> calls;
    for (const std::string& call : fake_->calls()) {
      if (call.rfind("SetFileLimits", 0) != 0) calls.push_back(call);
    }
    EXPECT_EQ(calls, c.calls);
  }
}

TEST_F(ServerListTest, CaBundleComesFromTheClientOnly) {
  struct Case {
    const char* settings;
    int downloader_result;
    std::string set_call;  // "" when SetCaBundle is not called
    std::string failure;   // "" when the task succeeds
  };
  const std::string client = dir_.string() + "/";
  const Case cases[] = {
      {"[SETTING]\r\nSP=0\r\n", 1, "", ""},
      {"[SETTING]\r\nCABundle=ca.pem\r\n", 1, "SetCaBundle " + client + "ca.pem", ""},
      {"[setting]\r\ncabundle = certs\\ca.pem\r\n", 1, "SetCaBundle " + client + "certs\\ca.pem",
       ""},
      {"[SETTING]\r\nCABundle=ca.pem\r\n", 0, "SetCaBundle " + client + "ca.pem",
       Failure(kStringCaBundleUnusable) + " ca.pem"},
      {"[SETTING]\r\nCABundle=..\\ca.pem\r\n", 1, "", Failure(kStringCaBundleUnusable) + " ..\\ca.pem"},
      {"[SETTING]\r\nCABundle=/etc/ssl/certs/ca.pem\r\n", 1, "",
       Failure(kStringCaBundleUnusable) + " /etc/ssl/certs/ca.pem"},
      {"[SETTING]\r\nCABundle=C:\\ca.pem\r\n", 1, "", Failure(kStringCaBundleUnusable) + " C:\\ca.pem"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.settings);
    NewEngine();
    Write("ng.ini", c.settings);
    Write("IPconfig.dat", ShiftedHost("https://lists.example"));
    fake_->ca_bundle_result = c.downloader_result;
    EXPECT_EQ(engine_->RunServerList(), c.failure.empty());
    const std::vector<std::string> calls = fake_->calls();
    if (c.failure.empty()) {
      ASSERT_FALSE(calls.empty());
      EXPECT_EQ(calls[0], c.set_call.empty() ? "Connect https://lists.example 80" : c.set_call);
      EXPECT_TRUE(sink_.failures().empty());
    } else {
      EXPECT_EQ(calls, c.set_call.empty() ? std::vector<std::string>{}
                                          : std::vector<std::string>{c.set_call});
      ASSERT_EQ(sink_.failures().size(), 1u);
      // Refused names carry the rule's reason after the name.
      EXPECT_EQ(sink_.failures()[0].rfind(c.failure, 0), 0u) << sink_.failures()[0];
    }
  }
  // A bundle dropped from ng.ini is taken back from the downloader.
  NewEngine();
  Write("ng.ini", "[SETTING]\r\nCABundle=ca.pem\r\n");
  EXPECT_TRUE(engine_->RunServerList());
  Write("ng.ini", "[SETTING]\r\n");
  EXPECT_TRUE(engine_->RunServerList());
  EXPECT_EQ(fake_->calls()[0], "SetCaBundle " + client + "ca.pem");
  const std::vector<std::string> calls = fake_->calls();
  EXPECT_NE(std::find(calls.begin(), calls.end(), "SetCaBundle (null)"), calls.end());
  fs::remove(dir_ / "ng.ini");
}

// A list host whose certificate is refused leaves the list as it was, as
// any failed fetch does, but says why.
TEST_F(ServerListTest, RefusedCertificateOfTheListHostIsShown) {
  Write("IPconfig.dat", ShiftedHost("https://lists.example"));
  fake_->last_failure = kHttpFailureTlsUntrusted;
  EXPECT_TRUE(engine_->RunServerList());
  EXPECT_EQ(sink_.statuses(), std::vector<std::string>{Failure(kStringServerListInsecure) + " " +
                                                       Failure(kStringTlsUntrusted)});
  // Any other failure stays silent.
  NewEngine();
  fake_->last_failure = kHttpFailureConnection;
  EXPECT_TRUE(engine_->RunServerList());
  EXPECT_TRUE(sink_.statuses().empty());
}

}  // namespace
}  // namespace dizedir
