#include "launcher_session.h"

#include <chrono>
#include <utility>

#include "engine/patch_engine.h"
#include "platform/confined_path.h"
#include "platform/ini_file.h"
#include "platform/interrupt.h"
#include "platform/text.h"
#include "tools/common/json_output.h"
#include "tree_commands.h"
#include "update_command.h"

namespace dizedir {
namespace {

constexpr const char* kTaskWouldNotStart =
    "The plug-in did not start the task; another one may still be ending.";
constexpr const char* kNotCurrentNote = "Play becomes possible once the game is up to date.";
constexpr const char* kDamagedNote =
    "Some game files are missing or damaged: repair them before playing.";
constexpr const char* kGameStarting = "The game is starting.";
constexpr const char* kCheckStopped = "The check of the game files was stopped.";

bool IsTask(LauncherPhase phase) {
  return phase == LauncherPhase::kUpdating || phase == LauncherPhase::kVerifying ||
         phase == LauncherPhase::kRepairing;
}

JsonDocument OptionalNumber(const std::optional<double>& value) {
  return value ? JsonDocument(*value) : JsonDocument(nullptr);
}

}  // namespace

const char* LauncherPhaseName(LauncherPhase phase) {
  switch (phase) {
    case LauncherPhase::kServerList: return "servers";
    case LauncherPhase::kIdle: return "idle";
    case LauncherPhase::kUpdating: return "updating";
    case LauncherPhase::kVerifying: return "verifying";
    case LauncherPhase::kRepairing: return "repairing";
    case LauncherPhase::kStopping: return "stopping";
    case LauncherPhase::kEnded: return "ended";
  }
  return "ended";
}

std::string LauncherViewJson(const LauncherView& view) {
  // The poll's fields exactly as `dizedir update --json` prints them.
  JsonDocument json = JsonDocument::parse(FormatJsonLine(view.poll));
  json["sequence"] = view.sequence;
  json["phase"] = LauncherPhaseName(view.phase);
  json["speed"] = view.estimate.bytes_per_second
                      ? JsonDocument(FormatSpeed(*view.estimate.bytes_per_second))
                      : JsonDocument("");
  json["timeLeft"] = view.estimate.seconds_left
                         ? JsonDocument(FormatDuration(*view.estimate.seconds_left))
                         : JsonDocument("");
  json["bytesPerSecond"] = OptionalNumber(view.estimate.bytes_per_second);
  json["secondsLeft"] = OptionalNumber(view.estimate.seconds_left);
  JsonDocument regions = JsonDocument::array();
  for (size_t i = 0; i < view.regions.size(); ++i) {
    regions.push_back({{"index", i},
                       {"name", view.regions[i].name},
                       {"primary", view.regions[i].primary}});
  }
  json["regions"] = std::move(regions);
  json["currentRegion"] = view.current_region;
  json["url"] = view.url;
  json["paused"] = view.paused;
  json["current"] = view.current;
  json["askOptional"] = view.ask_optional;
  if (view.failure) {
    json["failure"] = {{"kind", FailureKindName(view.failure->kind)},
                       {"text", view.failure->text},
                       {"advice", view.failure->advice}};
  } else {
    json["failure"] = nullptr;
  }
  json["findings"] = view.findings ? JsonDocument(*view.findings) : JsonDocument(nullptr);
  json["problems"] = view.problems ? JsonDocument(*view.problems) : JsonDocument(nullptr);
  json["playNote"] = view.play_note;
  json["message"] = view.message;
  json["actions"] = {{"start", view.can_start},   {"pause", view.can_pause},
                     {"answer", view.can_answer}, {"verify", view.can_verify},
                     {"repair", view.can_repair}, {"play", view.can_play},
                     {"quit", view.can_quit}};
  return JsonLine(json);
}

Status ResolveGameProgram(Env* env, const std::string& client_dir, std::string* program) {
  std::string settings_file;
  Status s = ConfinePath(client_dir, "ng.ini", NameKind::kBareName, &settings_file);
  if (!s.ok()) return s;
  IniFile settings;
  IniFile::Load(env, settings_file, &settings);  // missing: no game named
  // One unit more than a path may hold, so a longer name is refused rather
  // than cut to another name.
  const std::string name =
      Utf16ToNarrow(settings.GetString(u"SETTING", u"Game", u"", kMaxPathBytes + 2));
  if (name.empty()) {
    return Status::NotFound("ng.ini names no game program (Game in section SETTING)");
  }
  std::string path;
  s = ConfinePath(client_dir, name, NameKind::kRelativePath, &path);
  if (!s.ok()) {
    return Status::InvalidArgument("the game program ng.ini names is refused: " + name + " (" +
                                   s.message() + ")");
  }
  if (PathUnits(path) > kMaxPathUnits) {
    return Status::InvalidArgument("the game program ng.ini names is too long: " + name);
  }
  if (!env->FileExists(path) || env->IsDirectory(path)) {
    return Status::NotFound("the game program is missing: " + name);
  }
  *program = env->NativePath(path);
  return Status::OK();
}

LauncherSession::LauncherSession(DizedirInterface* plugin, LauncherSessionOptions options)
    : plugin_(plugin), options_(std::move(options)), poller_(plugin) {}

Status LauncherSession::Submit(const LauncherAction& action) {
  using Kind = LauncherAction::Kind;
  std::lock_guard<std::mutex> lock(mu_);
  const LauncherView& v = view_;
  bool offered = false;
  const char* refusal = "";
  switch (action.kind) {
    case Kind::kStart:
      offered = v.can_start;
      refusal = "nothing can start while a task runs";
      break;
    case Kind::kPause:
      offered = v.can_pause;
      refusal = "nothing runs that could be paused";
      break;
    case Kind::kAnswer:
      offered = v.can_answer;
      refusal = "no question awaits an answer";
      break;
    case Kind::kVerify:
    case Kind::kRepair:
      offered = action.kind == Kind::kVerify ? v.can_verify : v.can_repair;
      refusal = "the game files cannot be checked now";
      break;
    case Kind::kPlay:
      offered = v.can_play;
      refusal = v.play_note.empty() ? "the game cannot start now" : v.play_note.c_str();
      break;
    case Kind::kQuit:
      offered = v.can_quit;
      refusal = "the launcher is ending";
      break;
  }
  if (!offered) return Status::InvalidArgument(refusal);
  if (action.region && *action.region >= v.regions.size()) {
    return Status::InvalidArgument("the server list has no region " +
                                   std::to_string(*action.region));
  }
  queue_.push_back(action);
  return Status::OK();
}

LauncherView LauncherSession::View() const {
  std::lock_guard<std::mutex> lock(mu_);
  return view_;
}

bool LauncherSession::WaitForView(uint64_t seen, uint32_t millis, LauncherView* view) const {
  std::unique_lock<std::mutex> lock(mu_);
  changed_.wait_for(lock, std::chrono::milliseconds(millis),
                    [&] { return closed_ || view_.sequence > seen; });
  if (closed_ || view_.sequence <= seen) return false;
  *view = view_;
  return true;
}

void LauncherSession::Close() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    closed_ = true;
  }
  changed_.notify_all();
}

bool LauncherSession::closed() const {
  std::lock_guard<std::mutex> lock(mu_);
  return closed_;
}

void LauncherSession::Begin() {
  phase_ = LauncherPhase::kServerList;
  plugin_->StartServerList();
  CheckGame();
  Publish();
}

void LauncherSession::Tick(uint32_t now_millis) {
  std::deque<LauncherAction> actions;
  {
    std::lock_guard<std::mutex> lock(mu_);
    actions.swap(queue_);
  }
  for (const LauncherAction& action : actions) Apply(action);
  if (phase_ == LauncherPhase::kServerList) {
    PollServerList();
  } else if (IsTask(phase_) || phase_ == LauncherPhase::kStopping) {
    PollTask(now_millis);
  }
  Publish();
}

unsigned LauncherSession::RegionOf(const LauncherAction& action) const {
  if (action.region) return *action.region;
  return current_region_ >= 0 && static_cast<size_t>(current_region_) < regions_.size()
             ? static_cast<unsigned>(current_region_)
             : 0;
}

void LauncherSession::Apply(const LauncherAction& action) {
  using Kind = LauncherAction::Kind;
  // An action was offered by an earlier view; what happened since decides
  // whether it still makes sense.
  switch (action.kind) {
    case Kind::kStart:
      if (phase_ != LauncherPhase::kIdle) return;
      if (regions_.empty()) {
        // The list failed before: fetch it again, then start.
        after_list_ = action;
        failure_.reset();
        phase_ = LauncherPhase::kServerList;
        plugin_->StartServerList();
        return;
      }
      StartTask(LauncherPhase::kUpdating, RegionOf(action));
      return;
    case Kind::kVerify:
    case Kind::kRepair:
      if (phase_ != LauncherPhase::kIdle || !options_.tree_tasks || regions_.empty()) return;
      StartTask(action.kind == Kind::kVerify ? LauncherPhase::kVerifying
                                             : LauncherPhase::kRepairing,
                RegionOf(action));
      return;
    case Kind::kPause:
      if (!IsTask(phase_)) return;
      stopping_task_ = phase_;
      after_stop_ = phase_ == LauncherPhase::kUpdating ? AfterStop::kPause : AfterStop::kCancel;
      phase_ = LauncherPhase::kStopping;
      ask_optional_ = false;
      plugin_->StopUpdate();
      return;
    case Kind::kAnswer:
      if (phase_ != LauncherPhase::kUpdating || !ask_optional_) return;
      // The engine looks for the answer only now and then; the question
      // stays pending until it has, and is not asked again meanwhile.
      plugin_->AnswerPrompt(action.download_optional ? 1 : 2);
      answered_ = true;
      ask_optional_ = false;
      return;
    case Kind::kPlay:
      if (phase_ == LauncherPhase::kIdle) Play();
      return;
    case Kind::kQuit:
      quit_requested_ = true;
      if (IsTask(phase_)) {
        stopping_task_ = phase_;
        phase_ = LauncherPhase::kStopping;
        plugin_->StopUpdate();
      }
      if (phase_ == LauncherPhase::kStopping) after_stop_ = AfterStop::kQuit;
      if (phase_ == LauncherPhase::kIdle) phase_ = LauncherPhase::kEnded;
      // The server list cannot be stopped; its own time limits end it.
      return;
  }
}

void LauncherSession::StartTask(LauncherPhase phase, unsigned region) {
  failure_.reset();
  message_.clear();
  answered_ = false;
  ask_optional_ = false;
  meter_ = ProgressMeter();
  poll_ = ProgressSnapshot();
  const uint8_t index = static_cast<uint8_t>(region);
  bool started = false;
  switch (phase) {
    case LauncherPhase::kUpdating: started = plugin_->StartUpdate(index); break;
    case LauncherPhase::kVerifying: started = plugin_->StartVerify(index); break;
    case LauncherPhase::kRepairing: started = plugin_->StartRepair(index); break;
    default: break;
  }
  if (!started) {
    Fail(kTaskWouldNotStart);
    return;
  }
  phase_ = phase;
  if (phase == LauncherPhase::kUpdating) {
    // Until this update ends, the client is not known to be current.
    paused_ = false;
    current_ = false;
  }
}

ProgressSnapshot LauncherSession::Poll(bool task_fields) { return poller_.Poll(task_fields); }

void LauncherSession::PollServerList() {
  poll_ = Poll(false);
  if (poll_.result == kPollRunning) return;
  const CVkRegionList list = plugin_->WaitServerList();
  regions_.clear();
  const unsigned primary = plugin_->GetPrimaryRegionCount();
  for (unsigned i = 0; i < list.GetCount(); ++i) {
    const CVkRegion* region = list.GetAt(i);
    regions_.push_back({Utf16ToUtf8(region->name != nullptr ? region->name : u""), i < primary});
  }
  current_region_ = regions_.empty() ? -1 : plugin_->GetCurrentRegion();
  const char16_t* url = plugin_->GetUrl();
  url_ = Utf16ToUtf8(url != nullptr ? url : u"");
  phase_ = LauncherPhase::kIdle;
  std::optional<LauncherAction> start;
  start.swap(after_list_);
  if (quit_requested_) {
    phase_ = LauncherPhase::kEnded;
  } else if (poll_.result == kPollFailed) {
    Fail(poll_.status);
  } else if (start) {
    Apply(*start);
  }
}

void LauncherSession::PollTask(uint32_t now_millis) {
  poll_ = Poll(true);
  meter_.Add(now_millis, poll_);
  if (!poll_.prompt_pending) answered_ = false;
  ask_optional_ = phase_ == LauncherPhase::kUpdating && poll_.prompt_pending && !answered_;
  if (poll_.result == kPollRunning) return;
  plugin_->WaitUpdate();
  ask_optional_ = false;
  if (phase_ != LauncherPhase::kStopping) {
    FinishTask(phase_, poll_.result);
    return;
  }
  // A task that ended done as it was asked to stop has simply finished;
  // any other end is the stop.
  if (poll_.result == kPollDone) {
    FinishTask(stopping_task_, poll_.result);
    if (after_stop_ == AfterStop::kQuit) phase_ = LauncherPhase::kEnded;
    return;
  }
  switch (after_stop_) {
    case AfterStop::kPause:
      paused_ = true;
      phase_ = LauncherPhase::kIdle;
      break;
    case AfterStop::kCancel:
      message_ = kCheckStopped;
      phase_ = LauncherPhase::kIdle;
      break;
    case AfterStop::kQuit:
      paused_ = stopping_task_ == LauncherPhase::kUpdating;
      phase_ = LauncherPhase::kEnded;
      break;
  }
}

void LauncherSession::FinishTask(LauncherPhase task, int result) {
  phase_ = quit_requested_ ? LauncherPhase::kEnded : LauncherPhase::kIdle;
  if (result != kPollDone) {
    Fail(poll_.status);
    return;
  }
  switch (task) {
    case LauncherPhase::kUpdating:
      current_ = true;
      paused_ = false;
      break;
    case LauncherPhase::kVerifying:
    case LauncherPhase::kRepairing:
      ReadFindings();
      damaged_ = problems_.value_or(0) > 0;
      break;
    default:
      break;
  }
  // An update may have brought a new ng.ini, or the game itself.
  CheckGame();
}

void LauncherSession::ReadFindings() {
  const int32_t count = plugin_->GetFindingCount();
  int32_t problems = 0;
  for (int32_t i = 0; i < count; ++i) {
    DizedirFinding finding{};
    if (!plugin_->GetFinding(i, &finding)) break;
    if (FindingIsProblem(finding)) ++problems;
  }
  findings_ = count;
  problems_ = problems;
}

void LauncherSession::CheckGame() {
  game_program_.clear();
  game_ = ResolveGameProgram(options_.env, options_.client_dir, &game_program_);
}

void LauncherSession::Play() {
  CheckGame();
  if (!current_ || damaged_ || !game_.ok()) return;
  message_.clear();
  failure_.reset();
  const Status s = options_.start_program
                       ? options_.start_program(game_program_,
                                                options_.env->NativePath(options_.client_dir))
                       : Status::NotFound("no way to start a program");
  if (!s.ok()) {
    failure_ = LauncherFailure{FailureKind::kDamagedClient,
                               "The game could not be started: " + s.message(),
                               FailureKindAdvice(FailureKind::kDamagedClient)};
    return;
  }
  message_ = kGameStarting;
}

void LauncherSession::Fail(const std::string& status) {
  const FailureKind kind =
      options_.advisor != nullptr ? options_.advisor->Classify(status) : FailureKind::kOther;
  failure_ = LauncherFailure{kind, status.empty() ? "The task failed." : status,
                             FailureKindAdvice(kind)};
}

bool LauncherSession::Shutdown() {
  bool stopped_update = false;
  if (IsTask(phase_) || phase_ == LauncherPhase::kStopping) {
    const LauncherPhase task = phase_ == LauncherPhase::kStopping ? stopping_task_ : phase_;
    if (phase_ != LauncherPhase::kStopping) plugin_->StopUpdate();
    plugin_->WaitUpdate();
    poll_ = Poll(true);
    stopped_update = task == LauncherPhase::kUpdating && poll_.result != kPollDone;
    paused_ = stopped_update;
  } else if (phase_ == LauncherPhase::kServerList) {
    plugin_->WaitServerList();
  }
  ask_optional_ = false;
  phase_ = LauncherPhase::kEnded;
  Publish();
  return stopped_update;
}

int LauncherSession::Run(const std::function<bool(uint32_t)>& wait_interrupted) {
  Begin();
  for (;;) {
    Tick(options_.env->TickMillis());
    if (ended()) return 0;
    if (wait_interrupted(kPollIntervalMillis)) {
      Shutdown();
      return kInterruptedExitStatus;
    }
  }
}

void LauncherSession::Publish() {
  LauncherView next;
  next.phase = phase_;
  next.poll = poll_;
  next.estimate = IsTask(phase_) ? meter_.Estimate() : ProgressEstimate();
  next.regions = regions_;
  next.current_region = current_region_;
  next.url = url_;
  next.paused = paused_;
  next.current = current_;
  next.ask_optional = ask_optional_;
  next.failure = failure_;
  next.findings = findings_;
  next.problems = problems_;
  next.message = message_;
  const bool idle = phase_ == LauncherPhase::kIdle;
  next.can_start = idle;
  next.can_pause = IsTask(phase_);
  next.can_answer = ask_optional_;
  next.can_verify = next.can_repair = idle && options_.tree_tasks && !regions_.empty();
  if (!current_) {
    next.play_note = kNotCurrentNote;
  } else if (damaged_) {
    next.play_note = kDamagedNote;
  } else if (!game_.ok()) {
    next.play_note = game_.message();
  }
  next.can_play = idle && next.play_note.empty();
  next.can_quit = phase_ != LauncherPhase::kEnded;
  // A view that says nothing new is not sent again; its number alone
  // does not count.
  std::string json = LauncherViewJson(next);
  if (sequence_ > 0 && json == published_) return;
  published_ = std::move(json);
  next.sequence = ++sequence_;
  {
    std::lock_guard<std::mutex> lock(mu_);
    view_ = std::move(next);
  }
  changed_.notify_all();
}

}  // namespace dizedir
