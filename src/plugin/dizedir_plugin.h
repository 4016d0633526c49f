// DizedirPlugin: the one object a host drives. It implements the control
// interface for the host and the progress sink for the engine, owns the
// PatchEngine and starts, stops and joins the task threads.
//
// Thread-safety: the host calls the control interface from one thread; the
// engine's threads call the sink concurrently. One mutex guards every status
// field (texts, fractions, flags, progress value), so PollStatus never copies
// a text that a task thread is replacing.

#ifndef DIZEDIR_PLUGIN_DIZEDIR_PLUGIN_H_
#define DIZEDIR_PLUGIN_DIZEDIR_PLUGIN_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "dizedir/dizedir.h"
#include "engine/patch_engine.h"
#include "platform/env.h"

namespace dizedir {

class StringTable;

class DizedirPlugin final : public DizedirInterface, public ProgressSink {
 public:
  // `module_anchor` is an address inside the plug-in module: its directory
  // becomes the client directory. `env` and `strings` outlive the object.
  DizedirPlugin(Env* env, const StringTable* strings, const void* module_anchor,
                DownloaderModule downloader_module = DownloaderModule());
  DizedirPlugin(const DizedirPlugin&) = delete;
  DizedirPlugin& operator=(const DizedirPlugin&) = delete;
  // Stops and joins every thread still running, then destroys the engine.
  ~DizedirPlugin();

  // Makes the destructor clear `*remembered` while it still names this
  // object, however the object is destroyed: the module's stop export must
  // not destroy again an object the host already destroyed through slot 10.
  void ForgetOnDestruction(DizedirPlugin** remembered) { remembered_ = remembered; }

  // DizedirInterface
  bool InitClientDir() override;
  bool StopUpdate() override;
  bool StartServerList() override;
  bool StartUpdate(uint8_t region_index) override;
  bool Reserved(int32_t value) override;
  int PollStatus(float* total_fraction, float* item_fraction,
                 char16_t* total_text, char16_t* item_text,
                 char16_t* status_text) override;
  CVkRegionList WaitServerList() DIZEDIR_LIST_SLOT_OVERRIDE;
  bool WaitUpdate() override;
  CVkRegionList WaitUpdateRegionList() DIZEDIR_LIST_SLOT_OVERRIDE;
  DIZEDIR_LIST_SLOT_ADAPTERS
  void GetPluginInfo(PluginInfoRecord* info) override;
#if DIZEDIR_SLOT10_IS_DELETING_MEMBER
  void* DeletingDestructor(unsigned flags) override;
#elif !DIZEDIR_SLOT10_IS_DESTRUCTOR
  void Dispose() override;
#endif
  int32_t GetProgressValue() override;
  uint8_t GetPrimaryRegionCount() override;
  uint8_t GetCurrentRegion() override;
  const char16_t* GetUrl() override;
  void SetProgressValue(int32_t value) override;
  void AnswerPrompt(int32_t answer) override;
  bool IsPromptPending() override;
  bool StartVerify(uint8_t region_index) override;
  bool StartRepair(uint8_t region_index) override;
  bool StartInstall(const char* server_address) override;
  int32_t GetFindingCount() override;
  bool GetFinding(int32_t index, DizedirFinding* finding) override;

  // ProgressSink
  void SetStatusText(const char* text) override;
  void SetNoticeText(const char* text) override;
  void SetItemProgress(const char* text, int32_t done, int32_t total,
                       bool update_fraction) override;
  void SetTotalProgress(const char* text, int32_t done, int32_t total,
                        bool update_fraction) override;
  void Finish(const char* text) override;
  bool ReservedCheck() override;
  void Fail(const char* text) override;

  PatchEngine* engine() const { return engine_.get(); }

 private:
  // A task thread and whether its body has returned.
  struct TaskThread {
    std::unique_ptr<Thread> thread;
    std::shared_ptr<std::atomic<bool>> finished;
  };

  // Clears the flags and fractions and starts `body` in a new thread; a
  // thread that cannot start fails the task. False when the previous run
  // of the same task is still going.
  bool StartTask(TaskThread* task, bool (PatchEngine::*body)(),
                 bool clear_fractions_in_thread, int32_t failure_prefix);
  // StartTask of a task that runs in the update's place.
  bool StartInUpdatePlace(bool (PatchEngine::*body)(), int32_t failure_prefix);
  static void JoinTask(TaskThread* task);
  std::string Text(uint32_t string_id) const;
  // Runs `body`, turning any exception into a failure of the running task
  // with a text; false then.
  bool RunGuarded(const std::function<bool()>& body);
  void FailWithoutThrowing(uint32_t string_id, const char* detail) noexcept;
  // Marks the running task done (or failed) and clears the texts of its
  // steps. Requires mu_ held.
  void EndTaskLocked(bool failed);
  CVkRegionList CopyRegionList();

  Env* const env_;
  const StringTable* const strings_;
  const void* const module_anchor_;
  DizedirPlugin** remembered_ = nullptr;
  std::unique_ptr<PatchEngine> engine_;
  TaskThread server_list_thread_;
  TaskThread update_thread_;

  mutable std::mutex mu_;  // guards every field below
  std::string status_text_;
  std::string notice_text_;
  std::string item_text_;
  std::string total_text_;
  float item_progress_ = 0.0f;
  float total_progress_ = 0.0f;
  int32_t progress_value_ = 0;
  // Once either is set the task has ended: its bars keep no text and take
  // no more reports until the next task starts.
  bool failed_ = false;
  bool done_ = false;
  // The text failures start with: the update's, or the verify's.
  int32_t failure_prefix_ = 241;
};

}  // namespace dizedir

#endif  // DIZEDIR_PLUGIN_DIZEDIR_PLUGIN_H_
