// The launcher end to end: the host program's `launcher` command with the
// real plug-in in a client directory, a server list and a release on
// loopback servers, driven over HTTP the way its page drives it.

#include <gtest/gtest.h>
#include <httplib.h>

#include <signal.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <thread>

#include "plugin_host.h"
#include "support/event_stream_reader.h"
#include "support/client_files.h"
#include "support/release_fixture.h"
#include "support/scratch_dir.h"
#include "support/subprocess.h"
#include "support/test_bytes.h"
#include "support/test_http_server.h"
#include "tools/common/json_output.h"

namespace dizedir {
namespace {

namespace fs = std::filesystem;
using Files = std::map<std::string, std::string>;

// Waits for `done` to hold, up to a minute; whether it did.
template <typename Condition>
bool Eventually(Condition done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// A client at version 1 of a release that goes to 3 through two required
// patches and offers an optional one, with a game program named in ng.ini.
class LauncherEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(list_server_.started());
    ASSERT_TRUE(update_server_.started());
    client_ = scratch_.path() / "client";
    fs::create_directories(client_);
    for (const char* module : kClientModules) {
      fs::copy_file(fs::path(DIZEDIR_MODULE_DIR) / module, client_ / module);
    }
    std::ofstream(client_ / "IPconfig.dat", std::ios::binary)
        << ShiftedHost(list_server_.host_port());
    std::ofstream(client_ / "ng.ini", std::ios::binary)
        << "[SETTING]\r\nSP=2\r\nGame=bin\\game.sh\r\n";
    // The game leaves a mark where it was started.
    WriteBytes(client_ / "bin" / "game.sh", "#!/bin/sh\necho played > played.txt\n");
    fs::permissions(client_ / "bin" / "game.sh", fs::perms::owner_all);

    release_ = std::make_unique<ReleaseFixture>(scratch_.path() / "served" / "rel",
                                                scratch_.path() / "work");
    release_->AddPatch(2, 1, Files{{"data/a.txt", "version two"}}, 1);
    release_->AddPatch(3, 1, Files{{"data/a.txt", "version three"},
                                   {"c.bin", RandomBytes(90000, 12345)}},
                       3);
    release_->AddPatch(4, 2, Files{{"extras/hd.bin", "optional"}}, 1);
    update_server_.ServeDirectory((scratch_.path() / "served").string());
    WriteBytes(client_ / "data/a.txt", "version one");
    WriteBytes(client_ / "curver.bin", release_->ClientList(1));
    list_server_.AddFile("/patchone2.ini",
                         "[Region1]\r\nlist=A,B\r\nA=127.0.0.1:1\r\nB=" +
                             update_server_.host_port() + "/rel" +
                             "\r\n[curregDianXin]\r\nregion=1\r\n");
  }

  void TearDown() override {
    if (launcher_ != nullptr) launcher_->Kill();
  }

  // Starts the launcher and reads the page's address from what it prints.
  void StartLauncher() {
    output_ = scratch_.path() / "launcher.out";
    ASSERT_TRUE(Subprocess::SpawnToFile(DIZEDIR_HOST_PROGRAM,
                                        {"launcher", "--client", client_.string(), "--no-browser"},
                                        output_.string(), &launcher_)
                    .ok());
    const std::regex address(R"(open http://127\.0\.0\.1:(\d+)/\?token=([0-9a-f]{32})\n)");
    std::smatch match;
    std::string printed;
    ASSERT_TRUE(Eventually([&] {
      printed = ReadBytes(output_);
      return std::regex_search(printed, match, address);
    })) << printed;
    port_ = std::stoi(match[1]);
    token_ = match[2];
    http_ = std::make_unique<httplib::Client>("127.0.0.1", port_);
  }

  httplib::Result Act(const std::string& action, const std::string& more = "") {
    return http_->Post(("/action/" + action + "?token=" + token_ + more).c_str());
  }

  TestHttpServer list_server_;
  TestHttpServer update_server_;
  ScratchDir scratch_{"launcher_e2e"};
  fs::path client_;
  fs::path output_;
  std::unique_ptr<ReleaseFixture> release_;
  std::unique_ptr<Subprocess> launcher_;
  int port_ = 0;
  std::string token_;
  std::unique_ptr<httplib::Client> http_;
};

TEST_F(LauncherEndToEnd, UpdatesFromThePageAndStartsTheGame) {
  // Slow enough for the page to see the transfer move.
  update_server_.SetFault("/rel/upd3_1.zxp", TestHttpServer::Fault::SlowRate(15000));
  StartLauncher();
  // Nothing without the token, with it the page.
  httplib::Result res = http_->Get("/");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 403);
  res = http_->Get("/events");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 403);
  res = http_->Get(("/?token=" + token_).c_str());
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  EXPECT_NE(res->body.find("id=\"start\""), std::string::npos);

  {
    EventStreamReader events(port_, "/events?token=" + token_);
    events.WaitFor("\"phase\":\"idle\"");
    res = Act("start");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200) << res->body;
    // The optional patch is offered, and declined from the page.
    const std::string asked = events.WaitFor("\"askOptional\":true");
    ASSERT_NE(asked.find("\"askOptional\":true"), std::string::npos) << asked;
    res = Act("answer", "&download=no");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200) << res->body;
    const std::string updated = events.WaitFor("\"current\":true");
    ASSERT_NE(updated.find("\"current\":true"), std::string::npos) << ReadBytes(output_);

    res = Act("play");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200) << res->body;
    EXPECT_TRUE(Eventually([&] { return fs::exists(client_ / "played.txt"); }));

    res = Act("quit");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200) << res->body;
    EXPECT_EQ(launcher_->Wait(), 0) << ReadBytes(output_);

    // The views came as events, in order: the list, the update moving,
    // Play offered once the client was current, and the end.
    bool moved = false, play_before_current = false, play_when_current = false;
    std::string last_phase;
    for (const std::string& data : EventData(events.WaitForEnd())) {
      const JsonDocument view = JsonDocument::parse(data);
      if (view["phase"] == "updating" && view["progress"].get<int>() > 0) moved = true;
      const bool play = view["actions"]["play"].get<bool>();
      if (play && !view["current"].get<bool>()) play_before_current = true;
      if (play && view["current"].get<bool>()) play_when_current = true;
      last_phase = view["phase"];
    }
    EXPECT_TRUE(moved);
    EXPECT_FALSE(play_before_current);
    EXPECT_TRUE(play_when_current);
    EXPECT_EQ(last_phase, "ended");
  }
  EXPECT_EQ(ReadBytes(client_ / "data/a.txt"), "version three");
  EXPECT_EQ(ReadBytes(client_ / "c.bin"), RandomBytes(90000, 12345));
  EXPECT_EQ(ReadBytes(client_ / "played.txt"), "played\n");
}

TEST_F(LauncherEndToEnd, AnInterruptStopsTheUpdateCleanly) {
  update_server_.SetFault("/rel/upd3_1.zxp", TestHttpServer::Fault::SlowRate(2000));
  StartLauncher();
  {
    EventStreamReader events(port_, "/events?token=" + token_);
    events.WaitFor("\"phase\":\"idle\"");
    ASSERT_TRUE(Act("start"));
    events.WaitFor("\"askOptional\":true");
    ASSERT_TRUE(Act("answer", "&download=no"));
    ASSERT_TRUE(Eventually([&] { return !update_server_.RequestsFor("/rel/upd3_1.zxp").empty(); }));
    launcher_->Kill(SIGINT);
    EXPECT_EQ(launcher_->Wait(), 130);
    const std::vector<std::string> views = EventData(events.WaitForEnd());
    ASSERT_FALSE(views.empty());
    const JsonDocument last = JsonDocument::parse(views.back());
    EXPECT_EQ(last["phase"], "ended");
    EXPECT_TRUE(last["paused"].get<bool>());
  }
  EXPECT_NE(ReadBytes(output_).find("stopped; run the same command again to resume"),
            std::string::npos)
      << ReadBytes(output_);
  EXPECT_EQ(ReadBytes(client_ / "data/a.txt"), "version one");
}

}  // namespace
}  // namespace dizedir
