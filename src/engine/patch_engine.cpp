#include "engine/patch_engine.h"

#include <algorithm>
#include <utility>

#include "engine/server_address.h"
#include "platform/confined_path.h"
#include "platform/ini_file.h"
#include "platform/text.h"
#include "plugin/string_table.h"

namespace dizedir {

PatchEngine::PatchEngine(Env* env, const StringTable* strings,
                         DownloaderModule downloader_module)
    : env_(env),
      strings_(strings),
      downloader_module_(downloader_module),
      region_list_(std::make_unique<CVkRegionList>()) {
  if (downloader_module_.get != nullptr) downloader_ = downloader_module_.get();
  const uint32_t slots = downloader_ != nullptr && downloader_module_.slots != nullptr
                             ? downloader_module_.slots()
                             : 0;
  downloader_extended_ = slots >= kDownloaderSlots;
  downloader_queue_slots_ = slots >= kDownloaderQueueSlots;
  downloader_files_slot_ = slots >= kDownloaderFilesSlots;
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
  if (PathUnits(dir) > kMaxPathUnits) return false;
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

uint32_t PatchEngine::TransferReason() const {
  const int why = downloader_ != nullptr ? downloader_->GetLastFailure() : kHttpFailureNone;
  switch (why) {
    case kHttpFailureDiskFull: return kStringDiskFull;
    case kHttpFailureWriteFailed: return kStringDownloadWrite;
    case kHttpFailureBodyTooLong:
    case kHttpFailureSizeMismatch:
    case kHttpFailureTooLarge: return kStringSentTooMuch;
    case kHttpFailureDeadline:
    case kHttpFailureTooSlow: return kStringTooSlow;
    case kHttpFailureHttpStatus:
    case kHttpFailureBadResponse:
    case kHttpFailureRedirect: return kStringUnusableAnswer;
    case kHttpFailureConnection: return kStringConnectionLost;
    case kHttpFailureTlsUntrusted: return kStringTlsUntrusted;
    case kHttpFailureTlsWrongName: return kStringTlsWrongName;
    case kHttpFailureTlsExpired: return kStringTlsExpired;
    case kHttpFailureTls: return kStringTlsFailed;
    default: return 0;
  }
}

void PatchEngine::FailTransfer(uint32_t string_id, std::string_view detail) {
  const uint32_t reason = TransferReason();
  if (reason == kStringDiskFull) {
    Fail(kStringDiskFull, detail);
    return;
  }
  std::string text(detail);
  if (reason != 0) text += " " + Text(reason);
  Fail(string_id, text);
}

bool PatchEngine::ApplyCaBundle() {
  std::string settings_file;
  if (!ClientPath("ng.ini", &settings_file)) return false;
  IniFile settings;
  IniFile::Load(env_, settings_file, &settings);  // missing: no bundle
  // One unit more than a path may hold, so a longer name is refused
  // rather than cut to another name.
  const std::string name = Utf16ToNarrow(
      settings.GetString(u"SETTING", u"CABundle", u"", kMaxPathBytes + 2));
  if (name.empty()) {
    if (ca_bundle_set_ && downloader_ != nullptr) downloader_->SetCaBundle(nullptr);
    ca_bundle_set_ = false;
    return true;
  }
  // The settings file names a file of the client, never one elsewhere.
  std::string path;
  const Status confined = ConfinePath(client_dir_, name, NameKind::kRelativePath, &path);
  if (!confined.ok()) {
    Fail(kStringCaBundleUnusable, " " + name + " (" + confined.message() + ")");
    return false;
  }
  if (PathUnits(path) > kMaxPathUnits) {
    Fail(kStringPathTooLong, " (" + name + ")");
    return false;
  }
  if (downloader_ == nullptr) return true;
  ca_bundle_set_ = true;
  if (downloader_->SetCaBundle(path.c_str()) == 0) {
    Fail(kStringCaBundleUnusable, " " + name);
    return false;
  }
  return true;
}

void PatchEngine::ReadTransferSettings() {
  connections_ = 0;
  std::string settings_file;
  if (!ClientPath("ng.ini", &settings_file)) return;
  IniFile settings;
  IniFile::Load(env_, settings_file, &settings);  // missing: the default
  const int connections = settings.GetInt(u"SETTING", u"Connections", 0);
  // A value out of range is a typing error, not a wish for thousands of
  // connections: the nearest sensible count is used.
  if (connections > 0) connections_ = static_cast<uint32_t>(std::min(connections, kMaxConnections));
}

bool PatchEngine::FetchSmallFile(const std::string& url, const std::string& path,
                                 uint32_t max_bytes) {
  // A server may send anything: what the file's reader would refuse is
  // never stored, and a server that trickles gives up at the deadline.
  downloader_->SetFileLimits(max_bytes, small_file_deadline_millis_);
  return downloader_->DownloadFile(url.c_str(), path.c_str()) != 0;
}

void PatchEngine::FetchSmallFiles(std::vector<SmallFile>* files) {
  // One connection is what ng.ini asks for when the server or the path
  // cannot take more: the files then go one after another.
  if (!downloader_files_slot_ || connections_ == 1 || files->size() < 2) {
    for (SmallFile& file : *files) {
      file.fetched = FetchSmallFile(file.url, file.path, file.max_bytes);
      if (!file.fetched) return;
    }
    return;
  }
  std::vector<const char*> urls;
  std::vector<const char*> paths;
  std::vector<uint32_t> bounds;
  for (const SmallFile& file : *files) {
    urls.push_back(file.url.c_str());
    paths.push_back(file.path.c_str());
    bounds.push_back(file.max_bytes);
  }
  std::vector<int32_t> failures(files->size(), kHttpFailureNone);
  downloader_->SetFileLimits(0, small_file_deadline_millis_);
  downloader_->DownloadFiles(static_cast<uint32_t>(files->size()), urls.data(), paths.data(),
                             bounds.data(), failures.data());
  for (size_t i = 0; i < files->size(); ++i) {
    (*files)[i].fetched = failures[i] == kHttpFailureNone;
  }
}

void PatchEngine::RequestStop() {
  stop_requested_.store(true);
  if (downloader_ != nullptr) downloader_->EndTransfers();
}

int PatchEngine::ConnectServer() {
  if (downloader_ == nullptr) return 0;
  const ServerAddress address = SplitServerAddress(server_address_);
  if (address.host().size() > kMaxHostBytes) {
    Fail(kStringHostTooLong);
    return -1;
  }
  return downloader_->Connect(address.HostText().c_str(), server_port_) != 0 ? 1 : 0;
}


}  // namespace dizedir
