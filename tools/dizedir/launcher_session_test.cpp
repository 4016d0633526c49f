#include "launcher_session.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "platform/interrupt.h"
#include "scripted_plugin.h"
#include "support/scratch_dir.h"

namespace dizedir {
namespace {

namespace fs = std::filesystem;
using Step = ScriptedPlugin::Step;

std::vector<Step> Running(int polls, Step last) {
  std::vector<Step> steps(polls);
  for (int i = 0; i < polls; ++i) steps[i].progress = i * 10;
  steps.push_back(last);
  return steps;
}

std::vector<Step> WithPrompt() {
  std::vector<Step> steps = Running(2, {});
  // The engine notices the answer only on its next look, polls later.
  for (int i = 0; i < 5; ++i) steps.push_back({kPollRunning, u"", 0, true});
  steps.push_back({kPollDone, u"Update complete."});
  return steps;
}

const std::map<uint32_t, std::string> kTexts = {
    {241, "Update failed: "},
    {217, "Could not connect to the server. Please check your connection."},
};

// Runs a session against a scripted plug-in, move by move. A move is one
// of "tick N" (N polls), an action ("start", "start R", "pause", "yes",
// "no", "verify", "repair", "play", "quit") that must be accepted, or one
// prefixed with "!" that must be refused (an accepted action is followed
// by the poll that applies it); "list-ok" and "fixed" change the
// plug-in's script (the server list works now, the findings are gone).
// After a move, `expect` names facts about the view that must then hold:
// "phase=NAME", "paused", "ask", "current", "play", "failure=KIND",
// "problems=N", each negated by a leading "!", and "unchanged": no new
// view since the previous move.
struct Move {
  std::string op;
  std::string expect;
};

class SessionRunner {
 public:
  SessionRunner(ScriptedPlugin* plugin, const fs::path& client, bool tree_tasks)
      : plugin_(plugin),
        advisor_([](uint32_t id) {
          const auto it = kTexts.find(id);
          return it != kTexts.end() ? it->second : std::string();
        }) {
    LauncherSessionOptions options;
    options.env = Env::Default();
    options.client_dir = client.string() + "/";
    options.tree_tasks = tree_tasks;
    options.advisor = &advisor_;
    options.start_program = [this](const std::string& program, const std::string& dir) {
      started.push_back(program);
      directories.push_back(dir);
      return Status::OK();
    };
    session_ = std::make_unique<LauncherSession>(plugin, options);
    session_->Begin();
  }

  void Do(const Move& move) {
    SCOPED_TRACE(move.op);
    std::istringstream words(move.op);
    std::string op;
    words >> op;
    if (op == "tick") {
      int n = 0;
      words >> n;
      for (int i = 0; i < n; ++i) session_->Tick(now_ += 100);
    } else if (op == "list-ok") {
      plugin_->server_list_result = kPollDone;
      plugin_->region_names = {u"North", u"South", u"East"};
    } else if (op == "fixed") {
      plugin_->findings.clear();
    } else {
      const bool refused = op[0] == '!';
      if (refused) op = op.substr(1);
      LauncherAction action;
      using Kind = LauncherAction::Kind;
      const std::map<std::string, Kind> kinds = {
          {"start", Kind::kStart},   {"pause", Kind::kPause}, {"yes", Kind::kAnswer},
          {"no", Kind::kAnswer},     {"verify", Kind::kVerify}, {"repair", Kind::kRepair},
          {"play", Kind::kPlay},     {"quit", Kind::kQuit}};
      ASSERT_TRUE(kinds.count(op)) << op;
      action.kind = kinds.at(op);
      action.download_optional = op == "yes";
      unsigned region;
      if (words >> region) action.region = region;
      const Status s = session_->Submit(action);
      EXPECT_EQ(s.ok(), !refused) << s.ToString();
      // The driver takes an action on its next poll.
      if (s.ok()) session_->Tick(now_ += 100);
    }
    Check(move.expect);
  }

  void Check(const std::string& expect) {
    const LauncherView view = session_->View();
    std::istringstream facts(expect);
    for (std::string fact; facts >> fact;) {
      SCOPED_TRACE(fact);
      const bool negated = fact[0] == '!';
      const std::string name = negated ? fact.substr(1) : fact;
      const size_t eq = name.find('=');
      if (eq != std::string::npos) {
        const std::string key = name.substr(0, eq), value = name.substr(eq + 1);
        std::string actual;
        if (key == "phase") actual = LauncherPhaseName(view.phase);
        if (key == "failure") actual = view.failure ? FailureKindName(view.failure->kind) : "";
        if (key == "problems") actual = view.problems ? std::to_string(*view.problems) : "";
        EXPECT_EQ(actual == value, !negated) << key << " is " << actual;
        continue;
      }
      bool actual = false;
      if (name == "unchanged") actual = view.sequence == last_sequence_;
      else if (name == "paused") actual = view.paused;
      else if (name == "ask") actual = view.ask_optional;
      else if (name == "current") actual = view.current;
      else if (name == "play") actual = view.can_play;
      else ADD_FAILURE() << "unknown fact " << name;
      EXPECT_EQ(actual, !negated);
    }
    last_sequence_ = view.sequence;
  }

  std::vector<std::string> started, directories;

 private:
  ScriptedPlugin* plugin_;
  FailureAdvisor advisor_;
  std::unique_ptr<LauncherSession> session_;
  uint32_t now_ = 1000;
  uint64_t last_sequence_ = 0;
};

TEST(LauncherSessionTest, FollowsThePage) {
  struct Case {
    const char* name;
    std::string game;  // ng.ini's Game value; none when empty
    int server_list_result = kPollDone;
    std::vector<Step> update, verify;
    std::vector<DizedirFinding> findings;
    bool tree_tasks = true;
    std::vector<Move> moves;
    std::vector<std::string> calls;
    std::vector<int32_t> answers;
    bool played = false;
  };
  const std::vector<std::string> list = {"StartServerList", "WaitServerList"};
  const auto with = [&](std::vector<std::string> more) {
    std::vector<std::string> calls = list;
    calls.insert(calls.end(), more.begin(), more.end());
    return calls;
  };
  const Step done = {kPollDone, u"Update complete."};
  const Step intact = {kPollDone, u"All game files are intact."};
  const Case cases[] = {
      {"update, then play", "bin\\game.exe", kPollDone, Running(3, done), {}, {}, true,
       {{"!start", "phase=servers"},
        {"tick 1", "phase=idle !play"},
        {"!play", ""},
        {"start", "phase=updating !current"},
        {"tick 5", "phase=idle current play !paused failure="},
        {"tick 3", "unchanged"},
        {"play", "phase=idle !unchanged"}},
       with({"StartUpdate 2", "WaitUpdate"}), {}, true},
      {"pause, then resume from the chosen region", "bin\\game.exe", kPollDone,
       Running(10, done), {}, {}, true,
       {{"tick 1", ""},
        {"start 1", "phase=updating"},
        {"tick 3", "!unchanged"},
        {"pause", ""},
        {"tick 1", "phase=idle paused !current !play failure="},
        {"!pause", ""},
        {"start 1", "phase=updating !paused"},
        {"tick 20", "phase=idle current play"}},
       with({"StartUpdate 1", "StopUpdate", "WaitUpdate", "StartUpdate 1", "WaitUpdate"}), {},
       false},
      {"optional patches: yes", "", kPollDone, WithPrompt(), {}, {}, true,
       {{"tick 1", ""},
        {"!yes", ""},
        {"start", ""},
        {"tick 3", "ask"},
        {"yes", "!ask"},
        {"!no", "!ask"},
        {"tick 10", "phase=idle current !ask"}},
       with({"StartUpdate 2", "WaitUpdate"}), {1}, false},
      {"optional patches: no", "", kPollDone, WithPrompt(), {}, {}, true,
       {{"tick 1", ""}, {"start", ""}, {"tick 3", "ask"}, {"no", "!ask"}, {"tick 10", "current"}},
       with({"StartUpdate 2", "WaitUpdate"}), {2}, false},
      {"a failure says what to do", "bin\\game.exe", kPollDone,
       Running(2, {kPollFailed,
                   u"Update failed: Could not connect to the server. Please check your "
                   u"connection."}),
       {}, {}, true,
       {{"tick 1", ""}, {"start", ""}, {"tick 5", "phase=idle failure=connection !current !play"}},
       with({"StartUpdate 2", "WaitUpdate"}), {}, false},
      {"a failed server list is fetched again by Start", "", kPollFailed, Running(1, done), {},
       {}, true,
       {{"tick 1", "phase=idle failure=other"},
        {"!verify", ""},
        {"list-ok", ""},
        {"start", "phase=updating failure="},
        {"tick 3", "phase=idle current"}},
       with({"StartServerList", "WaitServerList", "StartUpdate 2", "WaitUpdate"}), {}, false},
      {"a game outside the client directory is refused", "..\\outside.exe", kPollDone,
       Running(1, done), {}, {}, true,
       {{"tick 1", ""}, {"start", ""}, {"tick 3", "current !play"}, {"!play", ""}},
       with({"StartUpdate 2", "WaitUpdate"}), {}, false},
      {"a missing game program", "bin\\absent.exe", kPollDone, Running(1, done), {}, {}, true,
       {{"tick 1", ""}, {"start", ""}, {"tick 3", "current !play"}},
       with({"StartUpdate 2", "WaitUpdate"}), {}, false},
      {"verify finds problems, repair puts them right", "bin\\game.exe", kPollDone,
       Running(1, done), Running(2, intact),
       {ScriptedPlugin::Finding(kFindingMissingFile, "data\\a.txt"),
        ScriptedPlugin::Finding(kFindingExtraFile, "notes.txt")},
       true,
       {{"tick 1", ""},
        {"start", ""},
        {"tick 3", "current play"},
        {"verify", "phase=verifying !play"},
        {"tick 4", "phase=idle problems=1 current !play"},
        {"fixed", ""},
        {"repair", "phase=repairing"},
        {"tick 4", "phase=idle problems=0 play"}},
       with({"StartUpdate 2", "WaitUpdate", "StartVerify 2", "WaitUpdate", "StartRepair 2",
             "WaitUpdate"}),
       {}, false},
      {"pausing a verify cancels it", "", kPollDone, Running(1, done), Running(10, intact), {},
       true,
       {{"tick 1", ""},
        {"verify 0", ""},
        {"tick 2", ""},
        {"pause", ""},
        {"tick 1", "phase=idle !paused problems= failure="}},
       with({"StartVerify 0", "StopUpdate", "WaitUpdate"}), {}, false},
      {"a plug-in without the verify slots", "", kPollDone, Running(1, done), {}, {}, false,
       {{"tick 1", ""}, {"!verify", ""}, {"!repair", ""}, {"!start 3", ""}}, list, {}, false},
      {"quit stops the update", "", kPollDone, Running(10, done), {}, {}, true,
       {{"tick 1", ""}, {"start", ""}, {"tick 2", ""}, {"quit", ""}, {"tick 1", "phase=ended"},
        {"!start", ""}},
       with({"StartUpdate 2", "StopUpdate", "WaitUpdate"}), {}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir scratch("launcher_session");
    const fs::path client = scratch.path() / "client";
    fs::create_directories(client / "bin");
    std::ofstream(client / "bin" / "game.exe") << "game";
    std::ofstream(scratch.path() / "outside.exe") << "not the game";
    std::ofstream(client / "ng.ini") << "[SETTING]\r\nSP=2\r\n"
                                     << (c.game.empty() ? "" : "Game=" + c.game + "\r\n");
    ScriptedPlugin plugin;
    plugin.server_list_result = c.server_list_result;
    if (c.server_list_result == kPollDone) plugin.region_names = {u"North", u"South", u"East"};
    plugin.update_steps = c.update;
    plugin.verify_steps = c.verify;
    plugin.repair_steps = c.verify;
    plugin.findings = c.findings;
    SessionRunner runner(&plugin, client, c.tree_tasks);
    for (const Move& move : c.moves) runner.Do(move);
    EXPECT_EQ(plugin.calls, c.calls);
    EXPECT_EQ(plugin.answers, c.answers);
    const std::vector<std::string> played = {(client / "bin" / "game.exe").string()};
    EXPECT_EQ(runner.started, c.played ? played : std::vector<std::string>());
    for (const std::string& dir : runner.directories) EXPECT_TRUE(fs::equivalent(dir, client));
  }
}

// An interrupt stops the running update cleanly and ends the run as one.
TEST(LauncherSessionTest, AnInterruptStopsTheUpdate) {
  ScratchDir scratch("launcher_session");
  ScriptedPlugin plugin;
  plugin.region_names = {u"North"};
  plugin.current_region = 0;
  plugin.update_steps = Running(1000, {kPollDone, u""});
  LauncherSessionOptions options;
  options.env = Env::Default();
  options.client_dir = scratch.dir();
  LauncherSession session(&plugin, options);
  int waits = 0;
  const int status = session.Run([&](uint32_t) {
    if (++waits == 2) {
      LauncherAction start;
      start.kind = LauncherAction::Kind::kStart;
      EXPECT_TRUE(session.Submit(start).ok());
    }
    return waits == 6;
  });
  EXPECT_EQ(status, kInterruptedExitStatus);
  EXPECT_EQ(plugin.calls, (std::vector<std::string>{"StartServerList", "WaitServerList",
                                                    "StartUpdate 0", "StopUpdate",
                                                    "WaitUpdate"}));
  const LauncherView view = session.View();
  EXPECT_EQ(view.phase, LauncherPhase::kEnded);
  EXPECT_TRUE(view.paused);
}

}  // namespace
}  // namespace dizedir
