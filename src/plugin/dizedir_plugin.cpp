#include "plugin/dizedir_plugin.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <exception>
#include <new>
#include <utility>

#include "platform/text.h"
#include "plugin/string_table.h"

namespace dizedir {
namespace {

// The host's text buffers hold 256 units with their terminator. Texts are
// cut to this many bytes when they are set, so every text fits (UTF-16 never
// needs more units than UTF-8 has bytes) and a long failure text is shown
// shortened rather than not at all.
constexpr size_t kHostTextBytes = 255;

// How long StopUpdate waits for the task to wind down.
constexpr uint32_t kStopWaitMillis = 2000;

constexpr int32_t kPrefixNotice = 240;
constexpr int32_t kPrefixFailure = 241;

// The host sees the engine's finding kinds by their stored values.
static_assert(static_cast<int32_t>(FindingKind::kMissingFile) == kFindingMissingFile);
static_assert(static_cast<int32_t>(FindingKind::kDamagedFile) == kFindingDamagedFile);
static_assert(static_cast<int32_t>(FindingKind::kExtraFile) == kFindingExtraFile);
static_assert(static_cast<int32_t>(FindingKind::kDamagedPackTable) == kFindingDamagedPackTable);
static_assert(static_cast<int32_t>(FindingKind::kMissingEntry) == kFindingMissingEntry);
static_assert(static_cast<int32_t>(FindingKind::kDamagedEntry) == kFindingDamagedEntry);
static_assert(static_cast<int32_t>(FindingKind::kExtraEntry) == kFindingExtraEntry);

std::string HostText(const char* text) {
  return text != nullptr ? CutUtf8(text, kHostTextBytes) : std::string();
}

void CopyToHost(const std::string& narrow, char16_t* out) {
  if (out == nullptr || narrow.size() > kHostTextBytes) return;
  const std::u16string wide = NarrowToUtf16(narrow);
  std::copy(wide.begin(), wide.end(), out);
  out[wide.size()] = 0;
}

float Fraction(int32_t done, int32_t total) {
  return total > 0 ? static_cast<float>(static_cast<double>(done) / total)
                   : 0.0f;
}

}  // namespace

DizedirPlugin::DizedirPlugin(Env* env, const StringTable* strings,
                             const void* module_anchor,
                             DownloaderModule downloader_module)
    : env_(env),
      strings_(strings),
      module_anchor_(module_anchor),
      engine_(std::make_unique<PatchEngine>(env, strings, downloader_module)) {
  engine_->SetPlugin(this, this);
}

DizedirPlugin::~DizedirPlugin() {
  if (remembered_ != nullptr && *remembered_ == this) *remembered_ = nullptr;
  // A host that destroys the object with a task still running must not
  // leave that task touching freed memory.
  engine_->RequestStop();
  JoinTask(&server_list_thread_);
  JoinTask(&update_thread_);
  engine_.reset();
}

std::string DizedirPlugin::Text(uint32_t string_id) const {
  return strings_ != nullptr ? strings_->LookupNarrow(string_id) : std::string();
}

bool DizedirPlugin::RunGuarded(const std::function<bool()>& body) {
  // An exception must never reach the host or end a thread through
  // terminate: it is one more way for a task to fail, with a text.
  try {
    return body();
  } catch (const std::bad_alloc&) {
    FailWithoutThrowing(kStringOutOfMemory, nullptr);
  } catch (const std::exception& e) {
    FailWithoutThrowing(kStringUnexpectedError, e.what());
  } catch (...) {
    FailWithoutThrowing(kStringUnexpectedError, nullptr);
  }
  return false;
}

void DizedirPlugin::FailWithoutThrowing(uint32_t string_id, const char* detail) noexcept {
  try {
    std::string text = Text(string_id);
    if (detail != nullptr) text.append(" ").append(detail);
    Fail(text.c_str());
  } catch (...) {
    // No memory even for the text: the flag alone still tells the host.
    std::lock_guard<std::mutex> lock(mu_);
    EndTaskLocked(true);
  }
}

void DizedirPlugin::EndTaskLocked(bool failed) {
  // A host stops polling at the first poll that says done or failed, and
  // shows what that poll read as the outcome: the item and total texts of
  // the last step would stand beside the final status for good. They go in
  // the same locked step as the flag, so no poll sees one without the other.
  if (failed) {
    failed_ = true;
  } else {
    done_ = true;
  }
  item_text_.clear();
  total_text_.clear();
}

bool DizedirPlugin::InitClientDir() {
  return RunGuarded(
      [this] { return engine_->SetClientDir(env_->ModuleDirectory(module_anchor_)); });
}

bool DizedirPlugin::StopUpdate() {
  engine_->RequestStop();
  if (update_thread_.thread == nullptr) return true;
  const uint32_t start = env_->TickMillis();
  while (!update_thread_.finished->load()) {
    if (env_->TickMillis() - start >= kStopWaitMillis) return false;
    env_->SleepMillis(10);
  }
  return true;
}

bool DizedirPlugin::StartTask(TaskThread* task, bool (PatchEngine::*body)(),
                              bool clear_fractions_in_thread, int32_t failure_prefix) {
  if (task->thread != nullptr) {
    if (!task->finished->load()) return false;
    JoinTask(task);
  }
  {
    std::lock_guard<std::mutex> lock(mu_);
    done_ = false;
    failed_ = false;
    failure_prefix_ = failure_prefix;
    item_progress_ = 0.0f;
    total_progress_ = 0.0f;
  }
  engine_->ClearStop();
  auto finished = std::make_shared<std::atomic<bool>>(false);
  PatchEngine* engine = engine_.get();
  std::unique_ptr<Thread> thread;
  Status s = env_->NewThread(
      [this, engine, body, finished, clear_fractions_in_thread]() -> uint32_t {
        if (clear_fractions_in_thread) {
          std::lock_guard<std::mutex> lock(mu_);
          total_progress_ = 0.0f;
          item_progress_ = 0.0f;
        }
        const bool ok = RunGuarded([&] { return (engine->*body)(); });
        {
          std::lock_guard<std::mutex> lock(mu_);
          EndTaskLocked(!ok);
          if (ok) total_progress_ = 1.0f;
        }
        finished->store(true);
        return ok ? 1 : 0;
      },
      &thread);
  if (!s.ok()) {
    const std::string detail = " (" + s.ToString() + ")";
    Fail((Text(kStringThreadFailed) + detail).c_str());
    return true;
  }
  task->thread = std::move(thread);
  task->finished = std::move(finished);
  task->thread->Resume();
  return true;
}

void DizedirPlugin::JoinTask(TaskThread* task) {
  if (task->thread == nullptr) return;
  task->thread->Join();
  task->thread.reset();
  task->finished.reset();
}

bool DizedirPlugin::StartServerList() {
  return RunGuarded(
      [this] {
        return StartTask(&server_list_thread_, &PatchEngine::RunServerList, false,
                         kPrefixFailure);
      });
}

bool DizedirPlugin::StartUpdate(uint8_t region_index) {
  if (update_thread_.thread != nullptr && !update_thread_.finished->load()) {
    return false;
  }
  engine_->set_current_region(region_index);
  return RunGuarded([this] {
    return StartTask(&update_thread_, &PatchEngine::RunUpdate, true, kPrefixFailure);
  });
}

bool DizedirPlugin::StartInUpdatePlace(bool (PatchEngine::*body)(), int32_t failure_prefix) {
  return RunGuarded(
      [&] { return StartTask(&update_thread_, body, true, failure_prefix); });
}

bool DizedirPlugin::StartVerify(uint8_t region_index) {
  if (update_thread_.thread != nullptr && !update_thread_.finished->load()) return false;
  engine_->set_current_region(region_index);
  return StartInUpdatePlace(&PatchEngine::RunVerify, kStringTreeFailurePrefix);
}

bool DizedirPlugin::StartRepair(uint8_t region_index) {
  if (update_thread_.thread != nullptr && !update_thread_.finished->load()) return false;
  engine_->set_current_region(region_index);
  return StartInUpdatePlace(&PatchEngine::RunRepair, kStringTreeFailurePrefix);
}

bool DizedirPlugin::StartInstall(const char* server_address) {
  if (update_thread_.thread != nullptr && !update_thread_.finished->load()) return false;
  return RunGuarded([&] {
    engine_->SetInstallAddress(server_address != nullptr ? server_address : "");
    return StartTask(&update_thread_, &PatchEngine::RunInstall, true, kStringTreeFailurePrefix);
  });
}

int32_t DizedirPlugin::GetFindingCount() {
  return static_cast<int32_t>(std::min<size_t>(engine_->FindingCount(), INT32_MAX));
}

bool DizedirPlugin::GetFinding(int32_t index, DizedirFinding* finding) {
  if (index < 0 || finding == nullptr) return false;
  return RunGuarded([&] {
    TreeFinding found;
    if (!engine_->GetFinding(static_cast<size_t>(index), &found)) return false;
    std::memset(finding, 0, sizeof(*finding));
    finding->kind = static_cast<int32_t>(found.kind);
    finding->entryId = found.entry_id;
    const std::string path = CutUtf8(found.path, sizeof(finding->path) - 1);
    std::memcpy(finding->path, path.data(), path.size());
    return true;
  });
}

bool DizedirPlugin::Reserved(int32_t) { return true; }

int DizedirPlugin::PollStatus(float* total_fraction, float* item_fraction,
                              char16_t* total_text, char16_t* item_text,
                              char16_t* status_text) {
  std::lock_guard<std::mutex> lock(mu_);
  if (total_fraction != nullptr) *total_fraction = total_progress_;
  if (item_fraction != nullptr) *item_fraction = item_progress_;
  try {
    CopyToHost(total_text_, total_text);
    CopyToHost(item_text_, item_text);
    CopyToHost(status_text_, status_text);
  } catch (...) {
    // Without memory to convert them the host keeps its texts; the result
    // still tells it how the task stands.
  }
  if (failed_) return kPollFailed;
  return done_ ? kPollDone : kPollRunning;
}

CVkRegionList DizedirPlugin::CopyRegionList() {
  try {
    return CVkRegionList(engine_->region_list());
  } catch (...) {
    // The copy cannot be made; an empty list is the one answer that needs
    // no memory, and the host sees no regions rather than a crash.
    return CVkRegionList();
  }
}

CVkRegionList DizedirPlugin::WaitServerList() {
  JoinTask(&server_list_thread_);
  return CopyRegionList();
}

bool DizedirPlugin::WaitUpdate() {
  JoinTask(&update_thread_);
  return true;
}

CVkRegionList DizedirPlugin::WaitUpdateRegionList() {
  JoinTask(&update_thread_);
  return CopyRegionList();
}

void DizedirPlugin::GetPluginInfo(PluginInfoRecord* info) {
  if (info == nullptr) return;
  std::memset(info, 0, sizeof(*info));
  static constexpr char16_t kModuleName[] = u"qmz.dll";
  std::copy(std::begin(kModuleName), std::end(kModuleName), info->moduleName);
  info->first = -1;
  info->second = 8;
}

#if DIZEDIR_SLOT10_IS_DELETING_MEMBER
void* DizedirPlugin::DeletingDestructor(unsigned flags) {
  // MSVC's contract: the object is destroyed either way and freed only for
  // bit 0, which a launcher's `delete` sets. Bit 1 would mean an array of
  // objects; the plug-in only ever hands out single ones.
  this->~DizedirPlugin();
  if ((flags & 1) != 0) ::operator delete(this, sizeof(DizedirPlugin));
  return this;
}
#elif !DIZEDIR_SLOT10_IS_DESTRUCTOR
void DizedirPlugin::Dispose() { delete this; }
#endif

int32_t DizedirPlugin::GetProgressValue() {
  std::lock_guard<std::mutex> lock(mu_);
  return progress_value_;
}

uint8_t DizedirPlugin::GetPrimaryRegionCount() {
  return engine_->primary_region_count();
}

uint8_t DizedirPlugin::GetCurrentRegion() { return engine_->current_region(); }

const char16_t* DizedirPlugin::GetUrl() { return engine_->url().c_str(); }

void DizedirPlugin::SetProgressValue(int32_t value) {
  std::lock_guard<std::mutex> lock(mu_);
  progress_value_ = value;
}

void DizedirPlugin::AnswerPrompt(int32_t answer) { engine_->AnswerPrompt(answer); }

bool DizedirPlugin::IsPromptPending() { return engine_->IsPromptPending(); }

void DizedirPlugin::SetStatusText(const char* text) {
  std::lock_guard<std::mutex> lock(mu_);
  status_text_ = HostText(text);
}

void DizedirPlugin::SetNoticeText(const char* text) {
  std::string notice = Text(kPrefixNotice);
  if (text != nullptr) notice += text;
  std::lock_guard<std::mutex> lock(mu_);
  notice_text_ = CutUtf8(notice, kHostTextBytes);
}

void DizedirPlugin::SetItemProgress(const char* text, int32_t done,
                                    int32_t total, bool update_fraction) {
  std::lock_guard<std::mutex> lock(mu_);
  // A thread of the task may still report a step after another one ended
  // it (the apply thread after the update thread's failure).
  if (done_ || failed_) return;
  if (update_fraction) item_progress_ = Fraction(done, total);
  item_text_ = HostText(text);
}

void DizedirPlugin::SetTotalProgress(const char* text, int32_t done,
                                     int32_t total, bool update_fraction) {
  std::lock_guard<std::mutex> lock(mu_);
  if (done_ || failed_) return;
  if (update_fraction) total_progress_ = Fraction(done, total);
  total_text_ = HostText(text);
}

void DizedirPlugin::Finish(const char* text) {
  std::lock_guard<std::mutex> lock(mu_);
  total_progress_ = 1.0f;
  status_text_ = HostText(text);
  EndTaskLocked(false);
}

bool DizedirPlugin::ReservedCheck() { return true; }

void DizedirPlugin::Fail(const char* text) {
  int32_t prefix;
  {
    std::lock_guard<std::mutex> lock(mu_);
    prefix = failure_prefix_;
  }
  std::string status = Text(prefix);
  if (text != nullptr) status += text;
  std::lock_guard<std::mutex> lock(mu_);
  status_text_ = CutUtf8(status, kHostTextBytes);
  EndTaskLocked(true);
}

}  // namespace dizedir
