// LauncherFixture: a client at version 1 with the real plug-in, a server
// list and a release on loopback servers, and the host program's
// `launcher` command started on it, for the tests that drive the launcher
// over HTTP and through a browser.
//
// Thread-safety: a test fixture, used by the test's thread.

#ifndef DIZEDIR_TESTS_SUPPORT_LAUNCHER_FIXTURE_H_
#define DIZEDIR_TESTS_SUPPORT_LAUNCHER_FIXTURE_H_

#include <gtest/gtest.h>
#include <httplib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <thread>

#include "plugin_host.h"
#include "support/client_files.h"
#include "support/release_fixture.h"
#include "support/scratch_dir.h"
#include "support/subprocess.h"
#include "support/test_bytes.h"
#include "support/test_http_server.h"

namespace dizedir {

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
class LauncherFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(list_server_.started());
    ASSERT_TRUE(update_server_.started());
    client_ = scratch_.path() / "client";
    std::filesystem::create_directories(client_);
    for (const char* module : kClientModules) {
      std::filesystem::copy_file(std::filesystem::path(DIZEDIR_MODULE_DIR) / module, client_ / module);
    }
    std::ofstream(client_ / "IPconfig.dat", std::ios::binary)
        << ShiftedHost(list_server_.host_port());
    std::ofstream(client_ / "ng.ini", std::ios::binary)
        << "[SETTING]\r\nSP=2\r\nGame=bin\\game.sh\r\n";
    // The game leaves a mark where it was started.
    WriteBytes(client_ / "bin" / "game.sh", "#!/bin/sh\necho played > played.txt\n");
    std::filesystem::permissions(client_ / "bin" / "game.sh", std::filesystem::perms::owner_all);

    release_ = std::make_unique<ReleaseFixture>(scratch_.path() / "served" / "rel",
                                                scratch_.path() / "work");
    release_->AddPatch(2, 1, std::map<std::string, std::string>{{"data/a.txt", "version two"}}, 1);
    release_->AddPatch(3, 1, std::map<std::string, std::string>{{"data/a.txt", "version three"},
                                   {"c.bin", RandomBytes(90000, 12345)}},
                       3);
    release_->AddPatch(4, 2, std::map<std::string, std::string>{{"extras/hd.bin", "optional"}}, 1);
    update_server_.ServeDirectory((scratch_.path() / "served").string());
    WriteBytes(client_ / "data/a.txt", "version one");
    WriteBytes(client_ / "curver.bin", release_->ClientList(1));
    list_server_.AddFile("/patchone2.ini",
                         "[Region1]\r\nlist=A,B\r\nA=127.0.0.1:1\r\nB=" +
                             update_server_.host_port() + "/rel" +
                             "\r\n[curregDianXin]\r\nregion=1\r\n" +
                             (news_url_.empty() ? "" : "[url]\r\nurl=" + news_url_ + "\r\n"));
  }

  void TearDown() override {
    if (launcher_ != nullptr) launcher_->Kill();
  }

  // Removes the client and the release, for a test that sets them up again.
  void ResetClient() {
    launcher_.reset();
    release_.reset();
    for (const char* dir : {"client", "served", "work"}) {
      std::filesystem::remove_all(scratch_.path() / dir);
    }
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
  ScratchDir scratch_{"launcher"};
  std::filesystem::path client_;
  std::filesystem::path output_;
  std::unique_ptr<ReleaseFixture> release_;
  std::unique_ptr<Subprocess> launcher_;
  std::string news_url_;  // the server list's url text, when set before SetUp
  int port_ = 0;
  std::string token_;
  std::unique_ptr<httplib::Client> http_;
};

}  // namespace dizedir

#endif  // DIZEDIR_TESTS_SUPPORT_LAUNCHER_FIXTURE_H_
