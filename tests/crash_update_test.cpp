// Kills a launcher (update_runner) with SIGKILL at random moments of an
// update and checks that one clean rerun always brings the client to the
// published version: every file byte for byte, every pack loadable with the
// expected entries, nothing temporary left, and the client then current.
//
// The release goes from version 1 to 3 through a whole archive and one split
// into several parts; both patches change plain files in nested
// directories, merge packs, and carry del.txt and Move.txt. The kill points
// are drawn from the phases of one full run measured first (the check, the
// transfer, the verification, the join, the extraction and the pack
// handlers), with a slow link stretching the transfer. Reruns use a second
// server without the slow link, so the test stays short.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/env.h"
#include "plugin/string_table.h"
#include "plugin_host.h"
#include "support/client_files.h"
#include "support/release_fixture.h"
#include "support/scratch_dir.h"
#include "support/subprocess.h"
#include "support/test_http_server.h"

namespace dizedir {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kSeed = 20261201;
constexpr int kPointsPerPhase = 5;
constexpr int kUniformPoints = 4;
constexpr int kRequiredKills = 30;
constexpr int kWorkers = 2;
constexpr int kAttempts = 3;

std::string RandomBytes(size_t n, std::mt19937* random) {
  std::string out(n, '\0');
  for (char& c : out) c = static_cast<char>((*random)());
  return out;
}

// Text-like bytes, so compressed entries really shrink.
std::string WordyBytes(size_t n, std::mt19937* random) {
  static const char* const kWords[] = {"sword ", "shield ", "potion ", "dragon ", "gold ",
                                       "quest ", "\r\n", "npc_", "42 "};
  std::string out;
  while (out.size() < n) out += kWords[(*random)() % std::size(kWords)];
  out.resize(n);
  return out;
}

PackContents MakeEntries(uint32_t first, uint32_t last, size_t min_size, size_t max_size,
                         std::mt19937* random) {
  PackContents entries;
  for (uint32_t id = first; id <= last; ++id) {
    const size_t size = min_size + (*random)() % (max_size - min_size + 1);
    const bool compressed = id % 3 != 0;
    entries[id] = {compressed ? WordyBytes(size, random) : RandomBytes(size, random), compressed};
  }
  return entries;
}

std::vector<std::string> SplitTabs(const std::string& line) {
  std::vector<std::string> fields;
  std::string field;
  std::istringstream in(line);
  while (std::getline(in, field, '\t')) fields.push_back(field);
  if (!line.empty() && line.back() == '\t') fields.emplace_back();
  return fields;
}

struct TraceLine {
  long millis = 0;
  std::string status, total_text, item_text;
};

std::vector<TraceLine> ReadTrace(const fs::path& path) {
  std::vector<TraceLine> lines;
  std::istringstream in(ReadBytes(path));
  std::string text;
  while (std::getline(in, text)) {
    const std::vector<std::string> f = SplitTabs(text);
    if (f.size() < 7) continue;  // the line a kill cut short
    TraceLine line;
    line.millis = std::stol(f[0]);
    line.status = f[4];
    line.total_text = f[5];
    line.item_text = f[6];
    lines.push_back(std::move(line));
  }
  return lines;
}

const char* const kPhases[] = {"check", "transfer", "verify", "join", "extract", "handlers"};

struct KillResult {
  int point = 0;
  long delay_millis = 0;
  bool killed = false;
  std::string planned, observed;
  std::string problem;  // empty when the rerun converged
};

class CrashUpdate : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(slow_.started() && fast_.started());
    ASSERT_TRUE(StringTable::Open(Env::Default(),
                                  std::string(DIZEDIR_MODULE_DIR) + "/ResChn.dll", &strings_)
                    .ok());
    BuildRelease();
    for (TestHttpServer* server : {&slow_, &fast_}) {
      server->ServeDirectory((scratch_.path() / "served").string());
      server->AddFile("/patchone.ini", "[Region1]\r\nlist=main\r\nmain=" + server->host_port() +
                                           "/rel\r\n[curregDianXin]\r\nregion=0\r\n");
    }
    // The slow link stretches the transfer to about a second and a half.
    uint64_t part_bytes = 0;
    for (const auto& entry : fs::directory_iterator(release_->root())) {
      const std::string name = entry.path().filename().string();
      if (name.rfind("upd", 0) == 0) {
        part_bytes += fs::file_size(entry.path());
        part_paths_.push_back("/rel/" + name);
      }
    }
    for (const std::string& path : part_paths_) {
      slow_.SetFault(path, TestHttpServer::Fault::SlowRate(part_bytes * 2 / 3));
    }

    template_ = scratch_.path() / "template";
    for (const char* module : kClientModules) {
      WriteBytes(template_ / module, ReadBytes(fs::path(DIZEDIR_MODULE_DIR) / module));
    }
    WriteClientTree(template_, version1_);
    WriteBytes(template_ / "curver.bin", release_->ClientList(1));
  }

  void BuildRelease() {
    std::mt19937 random(kSeed);
    version1_.files = {{"game.cfg", "version=1\r\n"},
                       {"bin/readme.txt", WordyBytes(3000, &random)},
                       {"data/maps/m1.dat", RandomBytes(150000, &random)},
                       {"data/maps/m2.dat", RandomBytes(80000, &random)},
                       {"data/keep/k.txt", "untouched"},
                       {"data/old.bin", RandomBytes(5000, &random)},
                       {"old/obsolete.txt", "to be deleted"}};
    version1_.packs["items.pac"] = MakeEntries(1, 4000, 40, 900, &random);
    // Held by both packs with different bytes: a move between them must
    // leave both as they are.
    version1_.packs["items.pac"][5005] = {"the items copy of 5005", false};
    version1_.packs["sounds.pac"] = MakeEntries(5001, 5150, 1000, 3000, &random);
    version1_.packs["ui/icons.pac"] = MakeEntries(9001, 9060, 100, 600, &random);

    PatchContents patch2;
    patch2.files = {{"game.cfg", "version=2\r\n"},
                    {"data/maps/m2.dat", RandomBytes(90000, &random)},
                    {"bin/new.txt", "new in 2"}};
    patch2.packs["items.pac"] = MakeEntries(1, 150, 40, 900, &random);
    for (auto& [id, entry] : MakeEntries(1201, 1350, 40, 900, &random)) {
      patch2.packs["items.pac"][id] = entry;
    }
    patch2.deleted_entries = {{"items", {400, 401, 402, 410, 999999}}, {"ghost", {7}}};
    patch2.deleted_files = {"old\\obsolete.txt"};

    PatchContents patch3;
    patch3.files = {{"deep/a/b/c.txt", "deep in 3"},
                    {"data/big.bin", RandomBytes(10000000, &random)},
                    {"data/maps/m1.dat", RandomBytes(160000, &random)},
                    {"game.cfg", "version=3\r\n"}};
    patch3.packs["items.pac"] = MakeEntries(100, 350, 40, 900, &random);
    for (auto& [id, entry] : MakeEntries(1351, 1500, 40, 900, &random)) {
      patch3.packs["items.pac"][id] = entry;
    }
    patch3.packs["sounds.pac"] = MakeEntries(5100, 5170, 1000, 3000, &random);
    patch3.packs["ui/icons.pac"] = MakeEntries(9050, 9070, 100, 600, &random);
    for (uint32_t id : {10u, 20u, 30u, 40u, 50u, 60u, 70u, 80u, 90u, 110u, 1400u, 5005u}) {
      patch3.moves.push_back({id, "items", "sounds"});
    }
    patch3.moves.push_back({5001, "sounds", "items"});
    patch3.moves.push_back({5002, "sounds", "items"});
    patch3.deleted_entries = {{"sounds", {5003, 5004}}, {"items", {1450}}};
    patch3.deleted_files = {"data\\old.bin"};

    release_ = std::make_unique<ReleaseFixture>(scratch_.path() / "served" / "rel",
                                                scratch_.path() / "work");
    release_->AddPatchOf(2, 1, patch2, 1);
    release_->AddPatchOf(3, 1, patch3, 4);

    expected_ = version1_;
    patch2.ApplyTo(&expected_);
    patch3.ApplyTo(&expected_);
  }

  std::string Text(uint32_t id) const { return strings_->LookupNarrow(id); }

  std::string Classify(const TraceLine& line) const {
    if (line.status == Text(235)) return "transfer";
    if (line.status == Text(242)) return "verify";
    if (line.status != Text(243)) return "check";
    // The split patch (version 3) is opened from its parts before its
    // first item shows.
    const std::string split_opens = Text(245) + "3" + Text(249);
    if (line.total_text == split_opens && line.item_text.empty()) return "join";
    const std::string done = Text(249);
    if (line.item_text.size() >= done.size() &&
        line.item_text.compare(line.item_text.size() - done.size(), done.size(), done) == 0) {
      return "extract";  // the next item is being unpacked
    }
    const std::string name = line.item_text.substr(std::min(line.item_text.size(),
                                                            Text(244).size()));
    const bool handler = (name.size() >= 3 && name.compare(name.size() - 3, 3, "pac") == 0) ||
                         name == "del.txt" || name == "Move.txt";
    return handler ? "handlers" : "extract";
  }

  // The phase a run was in when its trace ended.
  std::string LastPhase(const fs::path& trace) const {
    const std::vector<TraceLine> lines = ReadTrace(trace);
    if (lines.empty()) return "check";
    if (lines.back().status == Text(246)) return "finish";
    return Classify(lines.back());
  }

  // Runs the launcher on `client` against `server`; its exit status, or
  // minus the signal when killed after `kill_after`.
  int RunLauncher(const fs::path& client, const TestHttpServer& server, const fs::path& trace,
                  std::optional<std::chrono::milliseconds> kill_after = std::nullopt) {
    WriteBytes(client / "IPconfig.dat", ShiftedHost(server.host_port()));
    return Subprocess::RunQuietly(DIZEDIR_UPDATE_RUNNER, {client.string(), trace.string()},
                                  kill_after);
  }

  std::string FinalStatus(const fs::path& trace) const {
    const std::vector<TraceLine> lines = ReadTrace(trace);
    return lines.empty() ? std::string() : lines.back().status;
  }

  std::string CompareWithRelease(const fs::path& client) const {
    return CompareClientTree(client, expected_);
  }

  // A fresh client at version 1.
  void ResetClient(const fs::path& client) {
    fs::remove_all(client);
    fs::copy(template_, client, fs::copy_options::recursive);
  }

  // Reruns to completion after a kill and checks the outcome.
  std::string RerunAndCheck(const fs::path& client, const fs::path& trace) {
    const int rerun = RunLauncher(client, fast_, trace);
    if (rerun != 0) {
      return "rerun ended with " + std::to_string(rerun) + ": " + FinalStatus(trace);
    }
    std::string problems = CompareWithRelease(client);
    const int again = RunLauncher(client, fast_, trace);
    if (again != 0 || FinalStatus(trace) != Text(227)) {
      problems += " not-current-after-rerun:" + FinalStatus(trace);
    }
    problems += CompareWithRelease(client);
    return problems;
  }

  ScratchDir scratch_{"crash_update"};
  TestHttpServer slow_, fast_;
  std::unique_ptr<StringTable> strings_;
  std::unique_ptr<ReleaseFixture> release_;
  std::vector<std::string> part_paths_;
  ClientTree version1_, expected_;
  fs::path template_;
};

TEST_F(CrashUpdate, EveryKilledRunIsRepairedByOneRerun) {
  std::printf("seed %u\n", kSeed);

  // One full run on the slow link: its length and where its phases lie.
  const fs::path calibration = scratch_.path() / "calibration";
  const fs::path calibration_trace = scratch_.path() / "calibration.trace";
  ResetClient(calibration);
  const Clock::time_point start = Clock::now();
  ASSERT_EQ(RunLauncher(calibration, slow_, calibration_trace), 0)
      << FinalStatus(calibration_trace);
  const long full_millis = static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
  ASSERT_EQ(FinalStatus(calibration_trace), Text(246));
  // The engine against the model of the lists, before any crash.
  ASSERT_EQ(CompareWithRelease(calibration), "");

  std::map<std::string, std::vector<std::pair<long, long>>> windows;
  {
    const std::vector<TraceLine> lines = ReadTrace(calibration_trace);
    long from = 0;
    std::string phase = "check";
    for (const TraceLine& line : lines) {
      windows[phase].emplace_back(from, line.millis);
      from = line.millis;
      phase = line.status == Text(246) ? "finish" : Classify(line);
    }
    windows[phase].emplace_back(from, full_millis);
  }
  std::printf("full run %ld ms;", full_millis);
  for (const char* phase : kPhases) {
    long total = 0;
    for (const auto& [a, b] : windows[phase]) total += b - a;
    std::printf(" %s %ld ms", phase, total);
  }
  std::printf("\n");

  // Kill points: a few inside each phase, a few anywhere in the run.
  std::mt19937 random(kSeed);
  std::vector<KillResult> plan;
  for (const char* phase : kPhases) {
    long total = 0;
    for (const auto& [a, b] : windows[phase]) total += b - a;
    for (int k = 0; k < kPointsPerPhase; ++k) {
      KillResult point;
      point.planned = phase;
      if (total == 0) {
        // Too short for the calibration run's polls to see: anywhere then.
        point.delay_millis = static_cast<long>(random() % static_cast<uint32_t>(full_millis + 1));
        plan.push_back(point);
        continue;
      }
      long offset = static_cast<long>(random() % static_cast<uint32_t>(total));
      for (const auto& [a, b] : windows[phase]) {
        if (offset < b - a || &b == &windows[phase].back().second) {
          point.delay_millis = a + std::min(offset, b - a);
          break;
        }
        offset -= b - a;
      }
      plan.push_back(point);
    }
  }
  for (int k = 0; k < kUniformPoints; ++k) {
    KillResult point;
    point.planned = "any";
    point.delay_millis = static_cast<long>(random() % static_cast<uint32_t>(full_millis + 1));
    plan.push_back(point);
  }
  for (size_t i = 0; i < plan.size(); ++i) plan[i].point = static_cast<int>(i);

  std::vector<std::thread> workers;
  for (int w = 0; w < kWorkers; ++w) {
    workers.emplace_back([this, w, &plan] {
      const fs::path client = scratch_.path() / ("client" + std::to_string(w));
      const fs::path trace = scratch_.path() / ("worker" + std::to_string(w) + ".trace");
      for (size_t i = w; i < plan.size(); i += kWorkers) {
        KillResult& point = plan[i];
        // A run faster than the calibration run may end before a late
        // point; such a point moves a little earlier and is tried again.
        for (int attempt = 0; attempt < kAttempts && !point.killed; ++attempt) {
          if (attempt > 0) point.delay_millis = point.delay_millis * 4 / 5;
          ResetClient(client);
          const int ended = RunLauncher(client, slow_, trace,
                                        std::chrono::milliseconds(point.delay_millis));
          point.killed = ended == -9;
          point.observed = LastPhase(trace);
        }
        point.problem = RerunAndCheck(client, trace);
      }
    });
  }
  for (std::thread& worker : workers) worker.join();

  int kills = 0;
  std::map<std::string, int> observed;
  for (const KillResult& point : plan) {
    std::printf("point %2d  planned %-8s  at %5ld ms  %s %-8s  %s\n", point.point,
                point.planned.c_str(), point.delay_millis,
                point.killed ? "killed in" : "ended by ", point.observed.c_str(),
                point.problem.empty() ? "converged" : point.problem.c_str());
    EXPECT_EQ(point.problem, "") << "point " << point.point << " killed at "
                                 << point.delay_millis << " ms in " << point.observed;
    if (point.killed) {
      ++kills;
      ++observed[point.observed];
    }
  }
  std::printf("kills %d:", kills);
  for (const auto& [phase, count] : observed) std::printf(" %s %d", phase.c_str(), count);
  std::printf("\n");
  EXPECT_GE(kills, kRequiredKills);
}

}  // namespace
}  // namespace dizedir
