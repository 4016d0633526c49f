#include "update_command.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "scripted_plugin.h"

namespace dizedir {
namespace {

// Virtual time that moves only while the host waits; an interrupt arrives
// at a chosen moment.
class ScriptedConsole final : public UpdateConsole {
 public:
  uint32_t interrupt_at = UINT32_MAX;
  std::optional<std::string> answer;
  bool interrupt_instead_of_answer = false;

  std::string out, err;
  int questions = 0;

  void WriteOutput(std::string_view text) override { out += text; }
  void WriteError(std::string_view text) override { err += text; }
  uint32_t NowMillis() override { return now_; }
  bool WaitForInterrupt(uint32_t millis) override {
    if (Interrupted()) return true;
    now_ += millis;
    return Interrupted();
  }
  bool Interrupted() override { return now_ >= interrupt_at; }
  int Columns() override { return 60; }
  bool InputEchoes() override { return true; }
  std::optional<std::string> ReadAnswer() override {
    ++questions;
    if (interrupt_instead_of_answer) {
      interrupt_at = now_;
      return std::nullopt;
    }
    return answer;
  }

 private:
  uint32_t now_ = 0;
};

std::vector<ScriptedPlugin::Step> Running(int polls, ScriptedPlugin::Step last) {
  std::vector<ScriptedPlugin::Step> steps(polls);
  for (int i = 0; i < polls; ++i) steps[i].progress = i * 10;
  steps.push_back(last);
  return steps;
}

std::vector<ScriptedPlugin::Step> WithPrompt() {
  std::vector<ScriptedPlugin::Step> steps = Running(2, {});
  // The engine notices the answer only on its next look, seconds later.
  for (int i = 0; i < 15; ++i) steps.push_back({kPollRunning, u"", 0, true});
  steps.push_back({kPollDone, u"Updated."});
  return steps;
}

TEST(UpdateCommandTest, DrivesThePlugin) {
  struct Case {
    const char* name;
    UpdateOptions options;
    int server_list_result;
    std::vector<ScriptedPlugin::Step> steps;
    std::optional<std::string> answer;
    bool interrupt_instead_of_answer;
    uint32_t interrupt_at;
    int exit_status;
    std::vector<std::string> calls;
    std::vector<int32_t> answers;
    std::string err;
  };
  const std::vector<std::string> done = {"StartServerList", "WaitServerList", "StartUpdate 2",
                                         "WaitUpdate"};
  const std::vector<std::string> stopped = {"StartServerList", "WaitServerList",
                                            "StartUpdate 2", "StopUpdate", "WaitUpdate"};
  const UpdateOptions plain;
  UpdateOptions region0;
  region0.region = 0;
  UpdateOptions yes, ask;
  yes.optional = OptionalPatches::kYes;
  ask.optional = OptionalPatches::kAsk;
  UpdateOptions verify, repair, install;
  verify.task = ClientTask::kVerify;
  repair.task = ClientTask::kRepair;
  repair.region = 1;
  install.task = ClientTask::kInstall;
  install.install_address = "example.org:8080/live";
  const Case cases[] = {
      {"updated from the current region", plain, kPollDone,
       Running(3, {kPollDone, u"Updated."}), {}, false, UINT32_MAX, 0, done, {}, ""},
      {"the chosen region", region0, kPollDone, Running(1, {kPollDone, u"Updated."}), {}, false,
       UINT32_MAX, 0,
       {"StartServerList", "WaitServerList", "StartUpdate 0", "WaitUpdate"}, {}, ""},
      {"failed update", plain, kPollDone,
       Running(3, {kPollFailed, u"Update failed: no server"}), {}, false, UINT32_MAX, 1, done,
       {}, "dizedir: Update failed: no server\n"},
      {"failed server list", plain, kPollFailed, Running(1, {}), {}, false, UINT32_MAX, 1,
       {"StartServerList", "WaitServerList"}, {}, "dizedir: Update failed: hosts\n"},
      {"optional: no", plain, kPollDone, WithPrompt(), {}, false, UINT32_MAX, 0, done, {2}, ""},
      {"optional: yes", yes, kPollDone, WithPrompt(), {}, false, UINT32_MAX, 0, done, {1}, ""},
      {"asked: y", ask, kPollDone, WithPrompt(), " Y ", false, UINT32_MAX, 0, done, {1}, ""},
      {"asked: empty answer", ask, kPollDone, WithPrompt(), "", false, UINT32_MAX, 0, done, {2},
       ""},
      {"asked: input ended", ask, kPollDone, WithPrompt(), std::nullopt, false, UINT32_MAX, 0,
       done, {2}, ""},
      {"interrupted while asked", ask, kPollDone, WithPrompt(), std::nullopt, true, UINT32_MAX,
       130, stopped, {}, std::string(kStoppedMessage) + "\n"},
      {"interrupted while downloading", plain, kPollDone, Running(100, {kPollDone, u"Updated."}), {}, false,
       1000, 130, stopped, {}, std::string(kStoppedMessage) + "\n"},
      {"interrupted during the server list", plain, kPollRunning, Running(1, {}), {}, false, 500,
       130, {"StartServerList", "WaitServerList"}, {}, std::string(kStoppedMessage) + "\n"},
      {"verify from the current region", verify, kPollDone, Running(2, {kPollDone, u"Intact."}),
       {}, false, UINT32_MAX, 0,
       {"StartServerList", "WaitServerList", "StartVerify 2", "WaitUpdate"}, {}, ""},
      {"repair from a chosen region", repair, kPollDone, Running(2, {kPollDone, u"Repaired."}),
       {}, false, UINT32_MAX, 0,
       {"StartServerList", "WaitServerList", "StartRepair 1", "WaitUpdate"}, {}, ""},
      {"install needs no server list", install, kPollFailed,
       Running(2, {kPollDone, u"Installed."}), {}, false, UINT32_MAX, 0,
       {"StartInstall example.org:8080/live", "WaitUpdate"}, {}, ""},
      {"interrupted repair stops", repair, kPollDone, Running(100, {kPollDone, u""}), {}, false,
       1000, 130, {"StartServerList", "WaitServerList", "StartRepair 1", "StopUpdate", "WaitUpdate"},
       {}, std::string(kStoppedMessage) + "\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedPlugin plugin;
    plugin.server_list_result = c.server_list_result;
    if (c.server_list_result == kPollFailed) plugin.server_list_status = u"Update failed: hosts";
    plugin.update_steps = c.steps;
    ScriptedConsole console;
    console.answer = c.answer;
    console.interrupt_instead_of_answer = c.interrupt_instead_of_answer;
    console.interrupt_at = c.interrupt_at;
    EXPECT_EQ(DriveUpdate(&plugin, c.options, &console), c.exit_status);
    EXPECT_EQ(plugin.calls, c.calls);
    EXPECT_EQ(plugin.answers, c.answers);
    EXPECT_EQ(console.err, c.err);
    const bool asks = c.options.optional == OptionalPatches::kAsk;
    EXPECT_EQ(console.questions, asks ? 1 : 0);
    EXPECT_EQ(console.out.find(kOptionalQuestion) != std::string::npos, asks);
  }
}

TEST(UpdateCommandTest, JsonGivesOneObjectPerPollAndAsksOnStandardError) {
  ScriptedPlugin plugin;
  plugin.update_steps = WithPrompt();
  ScriptedConsole console;
  console.answer = "n";
  UpdateOptions options;
  options.output = ProgressOutput::kJson;
  options.optional = OptionalPatches::kAsk;
  ASSERT_EQ(DriveUpdate(&plugin, options, &console), 0);
  std::vector<std::string> lines;
  for (size_t start = 0, end; (end = console.out.find('\n', start)) != std::string::npos;
       start = end + 1) {
    lines.push_back(console.out.substr(start, end - start));
  }
  ASSERT_EQ(static_cast<int>(lines.size()), plugin.update_polls);
  for (const std::string& line : lines) {
    EXPECT_EQ(line.front(), '{') << line;
    EXPECT_EQ(line.back(), '}') << line;
  }
  EXPECT_NE(lines[3].find("\"promptPending\":true"), std::string::npos) << lines[3];
  EXPECT_NE(lines.back().find("\"result\":1,\"status\":\"Updated.\""), std::string::npos);
  EXPECT_EQ(console.err, kOptionalQuestion);
  EXPECT_EQ(plugin.answers, std::vector<int32_t>{2});
}

}  // namespace
}  // namespace dizedir
