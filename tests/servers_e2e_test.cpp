// The server list end to end: a client directory with the built modules, a
// server-list host on loopback, and the host program's `servers` command.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/text.h"
#include "plugin_host.h"
#include "support/client_files.h"
#include "support/file_bytes.h"
#include "support/scratch_dir.h"
#include "support/test_http_server.h"

namespace dizedir {
namespace {

namespace fs = std::filesystem;



const std::u16string kServerList =
    u"[Region1]\r\nlist=Nord, S\u00fcd\r\nNord=127.0.0.1/patch\r\nS\u00fcd=10.1.1.1\r\n"
    u"[Region2]\r\nlist=\u6771\u4eac\r\n\u6771\u4eac=10.2.2.2\r\n"
    u"[gateway]\r\nNord=gw.example 7000 extra\r\n"
    u"[curregDianXin]\r\nregion=-1\r\n[curregWangTong]\r\nregion=0\r\n"
    u"[url]\r\nurl=http://news.example/\r\n";

class ServersEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.started());
    client_ = scratch_.path() / "client";
    fs::create_directories(client_);
    for (const char* module : kClientModules) {
      fs::copy_file(fs::path(DIZEDIR_MODULE_DIR) / module, client_ / module);
    }
    std::ofstream(client_ / "IPconfig.dat", std::ios::binary) << ShiftedHost(server_.host_port());
    std::ofstream(client_ / "ng.ini", std::ios::binary) << "[SETTING]\r\nSP=2\r\n";
  }

  // Runs the host program; its exit status, with standard output and error.
  int RunServers(const std::string& flags, std::string* out, std::string* err) {
    const fs::path out_file = scratch_.path() / "out", err_file = scratch_.path() / "err";
    const std::string command = std::string(DIZEDIR_HOST_PROGRAM) + " servers --client '" +
                                client_.string() + "' " + flags + " >'" + out_file.string() +
                                "' 2>'" + err_file.string() + "'";
    const int status = std::system(command.c_str());
    *out = ReadBytes(out_file);
    *err = ReadBytes(err_file);
    return WEXITSTATUS(status);
  }

  TestHttpServer server_;
  ScratchDir scratch_{"servers_e2e"};
  fs::path client_;
};

TEST_F(ServersEndToEnd, EveryEncodingGivesTheSameRegions) {
  const std::string expected =
      "{\"regions\":["
      "{\"index\":0,\"name\":\"Nord\",\"server\":\"127.0.0.1/patch\",\"port\":80,"
      "\"gatewayHost\":\"gw.example\",\"gatewayPort\":7000,\"gatewayRest\":\" extra\","
      "\"mainRegion\":\"Nord\",\"primary\":true,\"current\":false},"
      "{\"index\":1,\"name\":\"S\xc3\xbc" "d\",\"server\":\"10.1.1.1\",\"port\":80,"
      "\"gatewayHost\":\"\",\"gatewayPort\":0,\"gatewayRest\":\"\","
      "\"mainRegion\":\"S\xc3\xbc" "d\",\"primary\":true,\"current\":false},"
      "{\"index\":2,\"name\":\"\xe6\x9d\xb1\xe4\xba\xac\",\"server\":\"10.2.2.2\",\"port\":80,"
      "\"gatewayHost\":\"\",\"gatewayPort\":0,\"gatewayRest\":\"\","
      "\"mainRegion\":\"\xe6\x9d\xb1\xe4\xba\xac\",\"primary\":false,\"current\":true}],"
      "\"primaryRegionCount\":2,\"currentRegion\":2,\"url\":\"http://news.example/\"}\n";
  struct Case {
    const char* name;
    std::string bytes;
  };
  const Case cases[] = {
      {"utf-16le", Utf16Le(kServerList, true)},
      {"utf-8 bom", "\xef\xbb\xbf" + Utf16ToUtf8(kServerList)},
      {"utf-8", Utf16ToUtf8(kServerList)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    server_.AddFile("/patchone2.ini", c.bytes);
    std::string out, err;
    EXPECT_EQ(RunServers("--json", &out, &err), 0) << err;
    EXPECT_EQ(out, expected);
    EXPECT_EQ(ReadBytes(client_ / "patchone.ini"), c.bytes);
  }
  // The table form names the same regions and marks the current one.
  std::string out, err;
  ASSERT_EQ(RunServers("", &out, &err), 0) << err;
  EXPECT_NE(out.find("S\xc3\xbc" "d"), std::string::npos) << out;
  EXPECT_NE(out.find("*   2"), std::string::npos) << out;
  EXPECT_NE(out.find("first group: 2"), std::string::npos) << out;
}

TEST_F(ServersEndToEnd, BrokenDownloadsKeepThePreviousList) {
  const std::string old_list = Utf16ToUtf8(u"[Region1]\nlist=alt\nalt=1.2.3.4\n");
  struct Case {
    const char* name;
    TestHttpServer::Fault fault;
  };
  const Case cases[] = {
      {"404", TestHttpServer::Fault::Status(404)},
      {"server error", TestHttpServer::Fault::Status(500)},
      {"short body", TestHttpServer::Fault::ShortBody(10)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::ofstream(client_ / "patchone.ini", std::ios::binary) << old_list;
    server_.AddFile("/patchone2.ini", Utf16ToUtf8(kServerList));
    server_.SetFault("/patchone2.ini", c.fault);
    std::string out, err;
    EXPECT_EQ(RunServers("--json", &out, &err), 0) << err;
    EXPECT_NE(out.find("\"name\":\"alt\""), std::string::npos) << out;
    EXPECT_EQ(ReadBytes(client_ / "patchone.ini"), old_list);
    EXPECT_FALSE(fs::exists(client_ / "patchone_temp.ini"));
    server_.ClearFault("/patchone2.ini");
  }
}

TEST_F(ServersEndToEnd, AFailedTaskExitsWithItsStatusText) {
  fs::remove(client_ / "IPconfig.dat");
  std::string out, err;
  EXPECT_EQ(RunServers("--json", &out, &err), 1);
  EXPECT_EQ(out, "");
  EXPECT_NE(err.find("Update failed: "), std::string::npos) << err;
  EXPECT_NE(err.find("IPconfig.dat"), std::string::npos) << err;
}

}  // namespace
}  // namespace dizedir
