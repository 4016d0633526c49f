#include "engine/patch_engine.h"

#include <utility>

#include "plugin/string_table.h"

namespace dizedir {

PatchEngine::PatchEngine(Env* env, const StringTable* strings,
                         DownloaderModule downloader_module)
    : env_(env),
      strings_(strings),
      downloader_module_(downloader_module),
      region_list_(std::make_unique<CVkRegionList>()) {
  if (downloader_module_.get != nullptr) downloader_ = downloader_module_.get();
}

PatchEngine::~PatchEngine() {
  if (apply_thread_ != nullptr) {
    RequestStop();
    StopApplyThread();
  }
  region_list_.reset();
  if (downloader_ != nullptr) {
    downloader_->Shutdown();
    if (downloader_module_.stop != nullptr) downloader_module_.stop(downloader_);
    downloader_ = nullptr;
  }
}

void PatchEngine::SetPlugin(ProgressSink* sink, DizedirInterface* control) {
  sink_ = sink;
  control_ = control;
}

bool PatchEngine::SetClientDir(std::string_view dir) {
  if (dir.size() > kMaxPathBytes) return false;
  client_dir_.assign(dir);
  return true;
}

void PatchEngine::SetServer(std::string_view address, uint32_t port) {
  server_address_.assign(address);
  server_port_ = port;
}

std::string PatchEngine::Text(uint32_t string_id) const {
  return strings_ != nullptr ? strings_->LookupNarrow(string_id) : std::string();
}

void PatchEngine::Fail(uint32_t string_id, std::string_view detail) {
  if (sink_ == nullptr) return;
  std::string text = Text(string_id);
  text += detail;
  sink_->Fail(text.c_str());
}

void PatchEngine::FailTransfer(uint32_t string_id, std::string_view detail) {
  const int why = downloader_ != nullptr ? downloader_->GetLastFailure() : kHttpFailureNone;
  uint32_t reason = 0;
  switch (why) {
    case kHttpFailureDiskFull:
      Fail(kStringDiskFull, detail);
      return;
    case kHttpFailureWriteFailed: reason = kStringDownloadWrite; break;
    case kHttpFailureBodyTooLong:
    case kHttpFailureSizeMismatch:
    case kHttpFailureTooLarge: reason = kStringSentTooMuch; break;
    case kHttpFailureDeadline:
    case kHttpFailureTooSlow: reason = kStringTooSlow; break;
    case kHttpFailureHttpStatus:
    case kHttpFailureBadResponse:
    case kHttpFailureRedirect: reason = kStringUnusableAnswer; break;
    case kHttpFailureConnection: reason = kStringConnectionLost; break;
    default: break;
  }
  std::string text(detail);
  if (reason != 0) text += " " + Text(reason);
  Fail(string_id, text);
}

bool PatchEngine::FetchSmallFile(const std::string& url, const std::string& path,
                                 uint32_t max_bytes) {
  // A server may send anything: what the file's reader would refuse is
  // never stored, and a server that trickles gives up at the deadline.
  downloader_->SetFileLimits(max_bytes, small_file_deadline_millis_);
  return downloader_->DownloadFile(url.c_str(), path.c_str()) != 0;
}

void PatchEngine::RequestStop() {
  stop_requested_.store(true);
  if (downloader_ != nullptr) downloader_->EndTransfers();
}

int PatchEngine::ConnectServer() {
  if (downloader_ == nullptr) return 0;
  const std::string host =
      server_address_.substr(0, server_address_.find('/'));
  if (host.size() > kMaxHostBytes) {
    Fail(kStringHostTooLong);
    return -1;
  }
  return downloader_->Connect(host.c_str(), server_port_) != 0 ? 1 : 0;
}


}  // namespace dizedir
