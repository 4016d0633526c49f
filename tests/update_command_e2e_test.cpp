// The update command end to end: a client directory with the built modules,
// a server list on loopback, and the host program's `update` command against
// update servers that refuse the connection or stand still.

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "platform/text.h"
#include "plugin_host.h"
#include "support/client_files.h"
#include "support/release_fixture.h"
#include "support/scratch_dir.h"
#include "support/subprocess.h"
#include "support/test_http_server.h"

namespace dizedir {
namespace {

namespace fs = std::filesystem;
using Files = std::map<std::string, std::string>;

// The text of a string of the built string library, from its source table.
std::string StringText(int id) {
  const char* source = std::getenv("DIZEDIR_SOURCE_DIR");
  std::ifstream table(fs::path(source != nullptr ? source : ".") / "resources/strings.txt");
  const std::string key = std::to_string(id) + "\t";
  for (std::string line; std::getline(table, line);) {
    if (line.compare(0, key.size(), key) == 0) return line.substr(key.size());
  }
  ADD_FAILURE() << "no string " << id;
  return {};
}

// StringText of a printf format, filled with `args`.
template <typename... Args>
std::string FormatText(int id, Args... args) {
  const std::string format = StringText(id);
  char buffer[512];
  std::snprintf(buffer, sizeof buffer, format.c_str(), args...);
  return buffer;
}

const char kStopped[] = "stopped; run the same command again to resume\n";

// A port on which nothing listens: one a server had a moment ago.
int RefusingPort() {
  TestHttpServer gone;
  return gone.port();
}

class UpdateCommandEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(list_server_.started());
    client_ = scratch_.path() / "client";
    fs::create_directories(client_);
    for (const char* module : kClientModules) {
      fs::copy_file(fs::path(DIZEDIR_MODULE_DIR) / module, client_ / module);
    }
    std::ofstream(client_ / "IPconfig.dat", std::ios::binary)
        << ShiftedHost(list_server_.host_port());
    std::ofstream(client_ / "ng.ini", std::ios::binary) << "[SETTING]\r\nSP=2\r\n";
  }

  // Regions 0 and 1; the list makes region 1 current.
  void ServeRegions(const std::string& first, const std::string& second) {
    list_server_.AddFile("/patchone2.ini", "[Region1]\r\nlist=A,B\r\nA=" + first +
                                               "\r\nB=" + second +
                                               "\r\n[curregDianXin]\r\nregion=1\r\n");
  }

  // `input` is what standard input holds.
  std::string Command(const std::string& flags, const std::string& input = "") {
    const fs::path in = scratch_.path() / "in";
    WriteBytes(in, input);
    return "exec '" + std::string(DIZEDIR_HOST_PROGRAM) + "' update --client '" +
           client_.string() + "' " + flags + " <'" + in.string() + "' >'" +
           (scratch_.path() / "out").string() + "' 2>'" + (scratch_.path() / "err").string() +
           "'";
  }

  int RunUpdate(const std::string& flags, std::string* out, std::string* err,
                const std::string& input = "") {
    const int status = std::system(Command(flags, input).c_str());
    *out = ReadBytes(scratch_.path() / "out");
    *err = ReadBytes(scratch_.path() / "err");
    return WEXITSTATUS(status);
  }

  TestHttpServer list_server_;
  ScratchDir scratch_{"update_command_e2e"};
  fs::path client_;
};

TEST_F(UpdateCommandEndToEnd, ARefusedConnectionFailsWithItsText) {
  const std::string refused = "127.0.0.1:" + std::to_string(RefusingPort());
  const std::string expected_error =
      "dizedir: " + StringText(241) + StringText(217) + "\n";
  struct Case {
    const char* name;
    std::string flags;
  };
  const Case cases[] = {
      {"current region", ""},
      {"chosen region", "--region 0 --optional yes"},
      {"json", "--json"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ServeRegions(refused, refused + "/patch");
    std::string out, err;
    EXPECT_EQ(RunUpdate(c.flags, &out, &err), 1) << out;
    EXPECT_EQ(err, expected_error);
    if (c.flags == "--json") {
      std::istringstream lines(out);
      std::string line, last;
      while (std::getline(lines, line)) {
        EXPECT_EQ(line.rfind("{\"result\":", 0), 0u) << line;
        last = line;
      }
      EXPECT_EQ(last.rfind("{\"result\":2,", 0), 0u) << last;
    } else {
      EXPECT_NE(out.find(StringText(217)), std::string::npos) << out;
    }
  }
}

TEST_F(UpdateCommandEndToEnd, AMissingRegionFails) {
  ServeRegions("127.0.0.1:1", "127.0.0.1:1");
  std::string out, err;
  EXPECT_EQ(RunUpdate("--region 7", &out, &err), 1);
  EXPECT_EQ(err.rfind("dizedir: " + StringText(241), 0), 0u) << err;
}

TEST_F(UpdateCommandEndToEnd, InterruptStopsTheTaskAndExits130) {
  TestHttpServer update_server;
  ASSERT_TRUE(update_server.started());
  update_server.AddFile("/downloadaddr.txt", "http://127.0.0.1/\r\n");
  update_server.SetFault("/downloadaddr.txt", TestHttpServer::Fault::Stall(0, -1));
  ServeRegions("127.0.0.1:1", update_server.host_port());

  std::unique_ptr<Subprocess> child;
  ASSERT_TRUE(Subprocess::Spawn("/bin/sh", {"-c", Command("")}, {}, &child).ok());
  // Wait until the task stands in the stalled transfer.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (update_server.RequestsFor("/downloadaddr.txt").empty() &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_FALSE(update_server.RequestsFor("/downloadaddr.txt").empty())
      << ReadBytes(scratch_.path() / "err");
  const auto interrupted = std::chrono::steady_clock::now();
  child->Kill(SIGINT);
  EXPECT_EQ(child->Wait(), 130);
  // The task was stopped, not waited out.
  EXPECT_LT(std::chrono::steady_clock::now() - interrupted, std::chrono::seconds(5));
  const std::string err = ReadBytes(scratch_.path() / "err");
  EXPECT_NE(err.find(kStopped), std::string::npos) << err;
}

// A release from version 1 to 3 through two required patches (one split in
// three parts) and one optional patch, published on a second loopback server.
class UpdateCommandRelease : public UpdateCommandEndToEnd {
 protected:
  void SetUp() override {
    UpdateCommandEndToEnd::SetUp();
    ASSERT_TRUE(update_server_.started());
    release_ = std::make_unique<ReleaseFixture>(scratch_.path() / "served" / "rel",
                                                scratch_.path() / "work");
    release_->AddPatch(2, 1, Files{{"data/a.txt", "version two"}, {"b.bin", std::string(3000, 'b')}},
                       1);
    release_->AddPatch(3, 1, Files{{"data/a.txt", "version three"}, {"c.bin", std::string(90000, 'c')}},
                       3);
    release_->AddPatch(4, 2, Files{{"extras/hd.bin", "optional"}}, 1);
    update_server_.ServeDirectory((scratch_.path() / "served").string());
    WriteBytes(client_ / "data/a.txt", "version one");
    WriteBytes(client_ / "curver.bin", release_->ClientList(1));
    ServeRegions("127.0.0.1:1", update_server_.host_port() + "/rel");
  }

  void ExpectVersion3() {
    EXPECT_EQ(ReadBytes(client_ / "data/a.txt"), "version three");
    EXPECT_EQ(ReadBytes(client_ / "b.bin"), std::string(3000, 'b'));
    EXPECT_EQ(ReadBytes(client_ / "c.bin"), std::string(90000, 'c'));
    // Optional patches are fetched on consent, never applied.
    EXPECT_FALSE(fs::exists(client_ / "extras/hd.bin"));
  }

  TestHttpServer update_server_;
  std::unique_ptr<ReleaseFixture> release_;
};

TEST_F(UpdateCommandRelease, UpdatesAskingAboutOptionalPatchesThenFindsItCurrent) {
  std::string out, err;
  ASSERT_EQ(RunUpdate("--optional ask", &out, &err, "y\n"), 0) << err << out;
  EXPECT_EQ(err, "");
  // Asked once, and the answer (not echoed from a file) ends the line.
  const std::string question = "Download optional patches? [y/N] \n";
  EXPECT_NE(out.find(question), std::string::npos) << out;
  EXPECT_EQ(out.find(question), out.rfind(question)) << out;
  ExpectVersion3();
  EXPECT_TRUE(fs::exists(client_ / "upd4.zip"));

  ASSERT_EQ(RunUpdate("--json", &out, &err), 0) << err;
  EXPECT_EQ(err, "");
  const std::string last = out.substr(out.rfind('{'));
  EXPECT_EQ(last.rfind("{\"result\":1,", 0), 0u) << last;
  ExpectVersion3();
}

TEST_F(UpdateCommandRelease, AnInterruptedTransferResumesOnTheNextRun) {
  update_server_.SetFault("/rel/upd3_1.zxp", TestHttpServer::Fault::SlowRate(2000));
  std::unique_ptr<Subprocess> child;
  ASSERT_TRUE(Subprocess::Spawn("/bin/sh", {"-c", Command("--optional no")}, {}, &child).ok());
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (update_server_.RequestsFor("/rel/upd3_1.zxp").empty() &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_FALSE(update_server_.RequestsFor("/rel/upd3_1.zxp").empty())
      << ReadBytes(scratch_.path() / "err");
  child->Kill(SIGINT);
  EXPECT_EQ(child->Wait(), 130);
  EXPECT_NE(ReadBytes(scratch_.path() / "err").find(kStopped), std::string::npos);
  EXPECT_EQ(ReadBytes(client_ / "data/a.txt"), "version one");

  update_server_.ClearFault("/rel/upd3_1.zxp");
  update_server_.ClearRequests();
  std::string out, err;
  ASSERT_EQ(RunUpdate("", &out, &err), 0) << err << out;
  ExpectVersion3();
  // The part that had arrived before the interrupt was not fetched again.
  EXPECT_TRUE(update_server_.RequestsFor("/rel/upd3_0.zxp").empty() ||
              update_server_.RequestsFor("/rel/upd3_0.zxp").front().method == "HEAD");
}

// The plain lines of a whole update, each saying the one thing that
// changed. Polls sample the plug-in, so a step too short for a poll to see
// may have no line; every part is held back long enough for the steps of
// the transfer to be seen, one part after another.
TEST_F(UpdateCommandRelease, PlainLinesSayWhatEachStepDoes) {
  WriteBytes(client_ / "ng.ini", "[SETTING]\r\nSP=2\r\nConnections=1\r\n");
  const std::vector<std::string> parts = {"upd2.zip", "upd3_0.zxp", "upd3_1.zxp",
                                          "upd3_2.zxp", "upd4.zip"};
  for (const std::string& part : parts) {
    const size_t bytes = ReadBytes(release_->root() / part).size();
    ASSERT_GT(bytes, 0u) << part;
    ASSERT_LT(bytes, 1024u) << part;  // so the KiB counts of its reports are 0
    // Two seconds each: longer than the engine's one report a second.
    update_server_.SetFault("/rel/" + part, TestHttpServer::Fault::SlowRate(bytes / 2 + 1));
  }

  struct Row {
    std::string text;
    bool bar;       // an item or total text, after the task's percentage
    bool required;  // long enough that a poll always sees it
    // A part's transfer report, known by its part number: the counts and
    // the speed after it are the link's, as are the host's estimates
    // after " | ".
    bool report = false;
  };
  const auto masked = [](const std::string& text) {
    return std::regex_replace(text, std::regex("[0-9]+"), "#");
  };
  const auto matches = [&](const Row& row, bool bar, std::string text) {
    if (row.bar != bar) return false;
    if (!row.report) return row.text == text;
    text = text.substr(0, text.find(" | "));
    const size_t number_end = row.text.find_first_of("0123456789");
    const size_t counts = row.text.find_first_not_of("0123456789", number_end);
    return text.compare(0, counts, row.text, 0, counts) == 0 &&
           masked(text.substr(counts)) == masked(row.text.substr(counts));
  };
  std::vector<Row> rows = {{StringText(235), false, true}, {StringText(276), true, false}};
  for (int n = 1; n <= 5; ++n) {
    rows.push_back({FormatText(247, n, 5), true, true});
    rows.push_back({FormatText(248, n, 0u, 0u, 0u), true, true, true});
  }
  rows.push_back({StringText(242), false, false});
  rows.push_back({StringText(243), false, false});
  // Version 4 is optional: fetched, not applied.
  const std::pair<int, std::vector<std::string>> applied[] = {{2, {"b.bin", "data/a.txt"}},
                                                              {3, {"c.bin", "data/a.txt"}}};
  for (const auto& [version, items] : applied) {
    rows.push_back({StringText(245) + std::to_string(version) + StringText(249), true, false});
    for (const std::string& item : items) rows.push_back({StringText(244) + item, true, false});
    for (const std::string& item : items) {
      rows.push_back({StringText(244) + item + StringText(249), true, false});
    }
  }
  rows.push_back({StringText(246), false, true});

  std::string out, err;
  ASSERT_EQ(RunUpdate("--optional yes", &out, &err), 0) << err << out;
  EXPECT_EQ(err, "");
  ExpectVersion3();

  // Each line is the next row it matches; rows passed over must be ones a
  // poll may miss, and the last line is the outcome.
  const std::regex progress(R"(^\[[0-9]{1,3}\.[0-9]%\] )");
  std::istringstream lines(out);
  size_t next = 0;
  for (std::string line; std::getline(lines, line);) {
    std::smatch prefix;
    const bool bar = std::regex_search(line, prefix, progress);
    const std::string text = bar ? prefix.suffix().str() : line;
    size_t row = next;
    while (row < rows.size() && !matches(rows[row], bar, text)) ++row;
    ASSERT_LT(row, rows.size()) << "unexpected line \"" << line << "\" in\n" << out;
    for (; next < row; ++next) {
      EXPECT_FALSE(rows[next].required) << "no line \"" << rows[next].text << "\" in\n" << out;
    }
    next = row + 1;
  }
  EXPECT_EQ(next, rows.size()) << out;
}

}  // namespace
}  // namespace dizedir
