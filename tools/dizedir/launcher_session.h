// LauncherSession: what the launcher page shows and asks for, over the
// client's plug-in. It holds the conversation `dizedir update` holds (the
// server list, the update, the optional-patch question, a clean stop) and
// the rest of a launcher's (verify and repair, starting the game), but
// takes its orders as actions from the page and publishes what the page
// shows as views, each a whole picture, numbered in order.
//
// Nothing here knows of HTTP or of a clock: the page's server submits
// actions and reads views, and whoever drives the session gives it the
// time, so tests drive it poll by poll against a scripted plug-in.
//
// Thread-safety: one thread, the driver, calls Begin, Tick, Shutdown and
// Run, and only it touches the plug-in (the plug-in wants one thread).
// Submit, View, WaitForView and Close may be called from any thread at any
// time.

#ifndef DIZEDIR_TOOLS_DIZEDIR_LAUNCHER_SESSION_H_
#define DIZEDIR_TOOLS_DIZEDIR_LAUNCHER_SESSION_H_

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "dizedir/dizedir.h"
#include "failure_advice.h"
#include "platform/env.h"
#include "platform/status.h"
#include "progress_view.h"
#include "status_poller.h"

namespace dizedir {

enum class LauncherPhase {
  kServerList,  // fetching the server list
  kIdle,        // nothing runs; the page may start something
  kUpdating,
  kVerifying,
  kRepairing,
  kStopping,    // a task was asked to stop and winds down
  kEnded,       // quit: nothing more happens
};
// "servers", "idle", "updating", "verifying", "repairing", "stopping",
// "ended": the names the page sees.
const char* LauncherPhaseName(LauncherPhase phase);

struct LauncherAction {
  enum class Kind { kStart, kPause, kAnswer, kVerify, kRepair, kPlay, kQuit };
  Kind kind = Kind::kStart;
  // Start, verify, repair: the region; the server list's current one when
  // absent.
  std::optional<unsigned> region;
  // Answer: whether to download the optional patches.
  bool download_optional = false;
};

struct LauncherRegion {
  std::string name;
  bool primary = false;  // of the list's first group
};

struct LauncherFailure {
  FailureKind kind = FailureKind::kOther;
  std::string text;    // what went wrong, in the plug-in's words
  std::string advice;  // what the player can do
};

struct LauncherView {
  uint64_t sequence = 0;  // grows with every change
  LauncherPhase phase = LauncherPhase::kServerList;
  ProgressSnapshot poll;  // the last poll of the running or last task
  ProgressEstimate estimate;
  std::vector<LauncherRegion> regions;
  int current_region = -1;  // the server list's; -1 before there is one
  std::string url;          // the server list's url text
  bool paused = false;      // an update stopped by Pause, which Start resumes
  bool current = false;     // the last update ended done
  bool ask_optional = false;  // the optional-patch question awaits an answer
  std::optional<LauncherFailure> failure;
  // The last verify's (or repair's) findings; extra files do not count as
  // problems.
  std::optional<int32_t> findings;
  std::optional<int32_t> problems;
  std::string play_note;  // why Play is off; empty when it is on
  std::string message;    // what the last action did, when it says something
  // What Submit accepts now.
  bool can_start = false;
  bool can_pause = false;
  bool can_answer = false;
  bool can_verify = false;
  bool can_repair = false;
  bool can_play = false;
  bool can_quit = false;
};

// The view as one line of JSON: the poll's fields under the names
// `dizedir update --json` gives them, then the launcher's.
std::string LauncherViewJson(const LauncherView& view);

// The game program the client's ng.ini names (key Game of section SETTING,
// a path inside the client directory, e.g. "bin\game.exe"), as a native
// path. NotFound when none is named or the file is not there;
// InvalidArgument when the name is refused, as every other name ng.ini
// gives is refused, for leaving the client directory.
Status ResolveGameProgram(Env* env, const std::string& client_dir, std::string* program);

struct LauncherSessionOptions {
  Env* env = nullptr;
  std::string client_dir;
  // Whether the plug-in has the verify and repair slots.
  bool tree_tasks = true;
  // Recognises failures; without one every failure gets the general advice.
  const FailureAdvisor* advisor = nullptr;
  // Starts the game: platform/start_program.h, or a test's recorder.
  std::function<Status(const std::string& program, const std::string& working_dir)> start_program;
};

class LauncherSession {
 public:
  LauncherSession(DizedirInterface* plugin, LauncherSessionOptions options);
  LauncherSession(const LauncherSession&) = delete;
  LauncherSession& operator=(const LauncherSession&) = delete;

  // ---- Any thread --------------------------------------------------------

  // Queues an action for the driver. InvalidArgument, saying why, when the
  // last view does not offer it or names a region the list lacks.
  Status Submit(const LauncherAction& action);
  LauncherView View() const;
  // Waits up to `millis` for a view later than number `seen`; true with it
  // in *view. False at the time limit and, at once, after Close.
  bool WaitForView(uint64_t seen, uint32_t millis, LauncherView* view) const;
  // Ends every wait, for good: the page's server is going away.
  void Close();
  bool closed() const;

  // ---- The driver thread -------------------------------------------------

  // Starts the server list.
  void Begin();
  // Applies the queued actions and polls the running task once.
  void Tick(uint32_t now_millis);
  bool ended() const { return phase_ == LauncherPhase::kEnded; }
  // Stops a running task cleanly and waits for it to end, for an interrupt;
  // true when it was an update, which the next run resumes.
  bool Shutdown();
  // Begin, then a Tick every kPollIntervalMillis until the page quits (0)
  // or `wait_interrupted(millis)`, which waits, reports an interrupt
  // (Shutdown, then kInterruptedExitStatus).
  int Run(const std::function<bool(uint32_t millis)>& wait_interrupted);

 private:
  enum class AfterStop { kPause, kCancel, kQuit };

  void Apply(const LauncherAction& action);
  void StartTask(LauncherPhase phase, unsigned region);
  void PollServerList();
  void PollTask(uint32_t now_millis);
  void FinishTask(LauncherPhase task, int result);
  void ReadFindings();
  void Play();
  void CheckGame();
  void Fail(const std::string& status);
  ProgressSnapshot Poll(bool task_fields);
  unsigned RegionOf(const LauncherAction& action) const;
  void Publish();

  DizedirInterface* const plugin_;
  const LauncherSessionOptions options_;

  // The driver's state.
  LauncherPhase phase_ = LauncherPhase::kServerList;
  LauncherPhase stopping_task_ = LauncherPhase::kIdle;
  AfterStop after_stop_ = AfterStop::kCancel;
  std::optional<LauncherAction> after_list_;  // a start that waits for the list
  bool quit_requested_ = false;
  bool answered_ = false;
  bool paused_ = false;
  bool current_ = false;
  bool damaged_ = false;  // the last verify found problems no repair fixed
  std::vector<LauncherRegion> regions_;
  int current_region_ = -1;
  std::string url_;
  ProgressSnapshot poll_;
  ProgressMeter meter_;
  bool ask_optional_ = false;
  std::optional<LauncherFailure> failure_;
  std::optional<int32_t> findings_, problems_;
  Status game_;
  std::string game_program_;
  std::string message_;
  uint64_t sequence_ = 0;
  std::string published_;  // the last view sent, as JSON, numbered 0
  StatusPoller poller_;

  // Shared with the other threads.
  mutable std::mutex mu_;
  mutable std::condition_variable changed_;
  std::deque<LauncherAction> queue_;
  LauncherView view_;
  bool closed_ = false;
};

}  // namespace dizedir

#endif  // DIZEDIR_TOOLS_DIZEDIR_LAUNCHER_SESSION_H_
