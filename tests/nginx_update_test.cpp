// An update served by a real nginx instead of the test server: its own
// answers to HEAD and Range, its own connection handling. The test writes a
// configuration under a scratch prefix, starts nginx on a free loopback port
// as a child process, brings a client from version 1 to 3 through the
// launcher, and stops nginx at the end. Skipped where nginx is not
// installed.

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/env.h"
#include "plugin/string_table.h"
#include "plugin_host.h"
#include "support/client_files.h"
#include "support/nginx_server.h"
#include "support/release_fixture.h"
#include "support/scratch_dir.h"
#include "support/subprocess.h"
#include "support/test_http_server.h"

namespace dizedir {
namespace {

namespace fs = std::filesystem;

std::string LastStatus(const fs::path& trace) {
  std::istringstream in(ReadBytes(trace));
  std::string line, status;
  while (std::getline(in, line)) {
    std::vector<std::string> fields;
    std::istringstream row(line);
    std::string field;
    while (std::getline(row, field, '\t')) fields.push_back(field);
    if (fields.size() >= 5) status = fields[4];
  }
  return status;
}

class NginxUpdate : public ::testing::Test {
 protected:
  // Starts nginx serving `www`; false when it did not come up.
  bool StartNginx(const std::string& program, const fs::path& www) {
    std::string error;
    return nginx_.Start(program, scratch_.path() / "nginx",
                        {"    listen 127.0.0.1:$PORT;\n    root " + www.string() + ";"}, &error);
  }

  ScratchDir scratch_{"nginx_update"};
  NginxServer nginx_;
};

TEST_F(NginxUpdate, AClientGoesFromOneToThree) {
  const std::string nginx = NginxServer::FindNginx();
  if (nginx.empty()) GTEST_SKIP() << "nginx is not installed";
  std::unique_ptr<StringTable> strings;
  ASSERT_TRUE(StringTable::Open(Env::Default(), std::string(DIZEDIR_MODULE_DIR) + "/ResChn.dll",
                                &strings)
                  .ok());

  std::mt19937 random(7);
  auto bytes = [&random](size_t n) {
    std::string out(n, '\0');
    for (char& c : out) c = static_cast<char>(random());
    return out;
  };
  ClientTree tree;
  tree.files = {{"game.cfg", "version=1\r\n"}, {"data/a.bin", bytes(20000)},
                {"data/gone.txt", "old"}};
  for (uint32_t id = 1; id <= 50; ++id) tree.packs["items.pac"][id] = {bytes(300), id % 2 == 0};
  PatchContents patch2, patch3;
  patch2.files = {{"game.cfg", "version=2\r\n"}, {"data/b/c.bin", bytes(50000)}};
  patch2.packs["items.pac"] = {{10, {"ten", true}}, {60, {bytes(500), false}}};
  patch3.files = {{"data/big.bin", bytes(3000000)}, {"game.cfg", "version=3\r\n"}};
  patch3.packs["sounds.pac"] = {{500, {bytes(800), true}}};
  patch3.moves = {{20, "items", "sounds"}};
  patch3.deleted_entries = {{"items", {30}}};
  patch3.deleted_files = {"data\\gone.txt"};

  const fs::path www = scratch_.path() / "www";
  ReleaseFixture release(www / "rel", scratch_.path() / "work");
  release.AddPatchOf(2, 1, patch2, 1);
  release.AddPatchOf(3, 1, patch3, 3);
  ClientTree expected = tree;
  patch2.ApplyTo(&expected);
  patch3.ApplyTo(&expected);

  ASSERT_TRUE(StartNginx(nginx, www)) << ReadBytes(scratch_.path() / "nginx" / "error.log");
  const std::string host = "127.0.0.1:" + std::to_string(nginx_.port(0));
  WriteBytes(www / "patchone.ini",
             "[Region1]\r\nlist=main\r\nmain=" + host + "/rel\r\n[curregDianXin]\r\nregion=0\r\n");

  const fs::path client = scratch_.path() / "client";
  for (const char* module : kClientModules) {
    WriteBytes(client / module, ReadBytes(fs::path(DIZEDIR_MODULE_DIR) / module));
  }
  WriteClientTree(client, tree);
  WriteBytes(client / "curver.bin", release.ClientList(1));
  WriteBytes(client / "IPconfig.dat", ShiftedHost(host));

  auto run = [&](const fs::path& trace) {
    return Subprocess::RunQuietly(DIZEDIR_UPDATE_RUNNER, {client.string(), trace.string()});
  };
  const fs::path trace = scratch_.path() / "update.trace";
  ASSERT_EQ(run(trace), 0) << LastStatus(trace);
  EXPECT_EQ(LastStatus(trace), strings->LookupNarrow(246));
  EXPECT_EQ(CompareClientTree(client, expected), "");

  ASSERT_EQ(run(trace), 0) << LastStatus(trace);
  EXPECT_EQ(LastStatus(trace), strings->LookupNarrow(227));

  // Every part came from nginx itself.
  const std::string access = ReadBytes(scratch_.path() / "nginx" / "access.log");
  for (const char* part : {"/rel/upd2.zip", "/rel/upd3_0.zxp", "/rel/upd3_1.zxp",
                           "/rel/upd3_2.zxp"}) {
    EXPECT_NE(access.find(std::string("GET ") + part), std::string::npos) << part;
  }
}

}  // namespace
}  // namespace dizedir
