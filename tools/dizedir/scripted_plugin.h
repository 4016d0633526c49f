// ScriptedPlugin: a plug-in object for the host's tests. Each task follows
// a script, one step per poll (the last step repeats); the object records
// what the host asked of it. A stopped task fails with the stop text on its
// next poll, as the engine's does, and a later start of the same task goes
// on from where its script stood, as the engine resumes a transfer.
//
// Thread-safety: none; the host drives a plug-in from one thread.

#ifndef DIZEDIR_TOOLS_DIZEDIR_SCRIPTED_PLUGIN_H_
#define DIZEDIR_TOOLS_DIZEDIR_SCRIPTED_PLUGIN_H_

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "dizedir/dizedir.h"

namespace dizedir {

class ScriptedPlugin final : public DizedirInterface {
 public:
  struct Step {
    int result = kPollRunning;
    std::u16string status;
    int32_t progress = 0;
    bool prompt_pending = false;
  };
  enum Task { kServerListTask, kUpdateTask, kVerifyTask, kRepairTask, kInstallTask };

  // The server list: polls that run before it ends with this result.
  int server_list_result = kPollDone;
  int server_list_running_polls = 0;
  std::u16string server_list_status = u"Server list loaded.";
  std::vector<std::u16string> region_names;
  uint8_t current_region = 2;
  std::u16string url;
  // The update's script; verify and repair run their own when given one.
  // A task without a script runs until it is stopped.
  std::vector<Step> update_steps;
  std::vector<Step> verify_steps;
  std::vector<Step> repair_steps;
  // What GetFinding hands out once a verify or repair has run.
  std::vector<DizedirFinding> findings;
  std::u16string stopped_text = u"Update failed: stopped";

  std::vector<std::string> calls;
  std::vector<int32_t> answers;
  int update_polls = 0;  // polls of every task in the update's place

  static DizedirFinding Finding(int32_t kind, const char* path) {
    DizedirFinding finding{};
    finding.kind = kind;
    std::strncpy(finding.path, path, sizeof finding.path - 1);
    return finding;
  }

  bool InitClientDir() override { return true; }
  bool StopUpdate() override {
    calls.push_back("StopUpdate");
    if (task_ != kServerListTask) stopped_ = true;
    return true;
  }
  bool StartServerList() override {
    calls.push_back("StartServerList");
    task_ = kServerListTask;
    server_list_polls_ = 0;
    return true;
  }
  bool StartUpdate(uint8_t region_index) override {
    return StartInPlace(kUpdateTask, "StartUpdate " + std::to_string(region_index));
  }
  bool Reserved(int32_t) override { return true; }
  int PollStatus(float* total, float* item, char16_t* total_text, char16_t* item_text,
                 char16_t* status_text) override {
    *total = *item = 0.5f;
    total_text[0] = item_text[0] = 0;
    const std::u16string* status = &server_list_status;
    int result = server_list_result;
    if (task_ == kServerListTask) {
      if (server_list_polls_++ < server_list_running_polls) result = kPollRunning;
    } else {
      ++update_polls;
      const std::vector<Step>& steps = Script();
      size_t& position = positions_[task_];
      current_ = std::min(position++, steps.size() - 1);
      const Step& step = steps[current_];
      status = &step.status;
      result = step.result;
      if (stopped_) {
        status = &stopped_text;
        result = kPollFailed;
      }
    }
    std::copy(status->begin(), status->end(), status_text);
    status_text[status->size()] = 0;
    return result;
  }
  CVkRegionList WaitServerList() DIZEDIR_LIST_SLOT_OVERRIDE {
    calls.push_back("WaitServerList");
    CVkRegionList list;
    for (const std::u16string& name : region_names) {
      list.AddRegion(CVkRegion(name.c_str(), u"127.0.0.1", 80, u"", 0, u"", u""));
    }
    return list;
  }
  bool WaitUpdate() override {
    calls.push_back("WaitUpdate");
    return true;
  }
  CVkRegionList WaitUpdateRegionList() DIZEDIR_LIST_SLOT_OVERRIDE { return CVkRegionList(); }
  DIZEDIR_LIST_SLOT_ADAPTERS
  void GetPluginInfo(PluginInfoRecord*) override {}
#if DIZEDIR_SLOT10_IS_DELETING_MEMBER
  void* DeletingDestructor(unsigned) override { return this; }
#else
  void Dispose() override {}
#endif
  int32_t GetProgressValue() override { return InTask() ? CurrentStep().progress : 0; }
  uint8_t GetPrimaryRegionCount() override { return 1; }
  uint8_t GetCurrentRegion() override { return current_region; }
  const char16_t* GetUrl() override { return url.c_str(); }
  void SetProgressValue(int32_t) override {}
  void AnswerPrompt(int32_t answer) override { answers.push_back(answer); }
  bool IsPromptPending() override { return InTask() && !stopped_ && CurrentStep().prompt_pending; }
  bool StartVerify(uint8_t region_index) override {
    return StartInPlace(kVerifyTask, "StartVerify " + std::to_string(region_index));
  }
  bool StartRepair(uint8_t region_index) override {
    return StartInPlace(kRepairTask, "StartRepair " + std::to_string(region_index));
  }
  bool StartInstall(const char* address) override {
    return StartInPlace(kInstallTask, "StartInstall " + std::string(address));
  }
  int32_t GetFindingCount() override {
    return ran_tree_task_ ? static_cast<int32_t>(findings.size()) : 0;
  }
  bool GetFinding(int32_t index, DizedirFinding* finding) override {
    if (!ran_tree_task_ || index < 0 || index >= GetFindingCount()) return false;
    *finding = findings[index];
    return true;
  }

 private:
  bool InTask() const { return task_ != kServerListTask; }
  const std::vector<Step>& Script() const {
    if (task_ == kVerifyTask && !verify_steps.empty()) return verify_steps;
    if (task_ == kRepairTask && !repair_steps.empty()) return repair_steps;
    // Without a script a task runs until it is stopped.
    static const std::vector<Step> kRunsOn = {Step{}};
    return update_steps.empty() ? kRunsOn : update_steps;
  }
  const Step& CurrentStep() const { return Script()[current_]; }
  bool StartInPlace(Task task, const std::string& call) {
    calls.push_back(call);
    task_ = task;
    stopped_ = false;
    current_ = std::min(positions_[task], Script().size() - 1);
    if (task != kUpdateTask) ran_tree_task_ = true;
    return true;
  }

  Task task_ = kServerListTask;
  int server_list_polls_ = 0;
  std::map<Task, size_t> positions_;
  size_t current_ = 0;
  bool stopped_ = false;
  bool ran_tree_task_ = false;
};

}  // namespace dizedir

#endif  // DIZEDIR_TOOLS_DIZEDIR_SCRIPTED_PLUGIN_H_
