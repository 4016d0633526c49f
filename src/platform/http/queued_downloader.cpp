#include "platform/http/queued_downloader.h"

#include <algorithm>
#include <chrono>
#include <limits>

#include "platform/http/url.h"

namespace dizedir::http {

namespace {

// Longest wait between two attempts, however often they failed.
constexpr uint32_t kMaxBackoffMillis = 60000;

std::string ParentDirectory(const std::string& path) {
  const size_t sep = path.find_last_of("/\\");
  if (sep == std::string::npos || sep == 0) return std::string();
  return path.substr(0, sep);
}

}  // namespace

Status QueuedDownloader::FileSink::Restart() {
  file.reset();
  stored = 0;
  status = env->NewWritableFile(temp_path, &file);
  return status;
}

Status QueuedDownloader::FileSink::Append(std::string_view data) {
  if (!status.ok()) return status;
  status = file->Append(data);
  if (status.ok()) stored += data.size();
  return status;
}

int QueuedDownloader::Connect(const char* host, uint32_t port) {
  ResumeTransfers();
  ended_.store(false);
  HostPort server;
  if (host == nullptr || !ParseHostPort(host, &server)) return 0;
  if (!server.port) {
    server.port = (port >= 1 && port <= 65535) ? static_cast<uint16_t>(port)
                                               : uint16_t{80};
  }
  connect_host_ = server.host;
  connect_port_ = *server.port;
  return ProbeServer(server.host, *server.port, stall_timeout_millis_) ? 1 : 0;
}

int QueuedDownloader::DownloadFile(const char* url, const char* local_path) {
  if (local_path == nullptr || *local_path == '\0') return 0;
  const std::string local(local_path);
  Url parsed;
  if (url == nullptr || !ParseUrl(url, &parsed) ||
      (parsed.scheme != "http" && parsed.scheme != "https")) {
    env_->DeleteFile(local);
    return 0;
  }
  // Callers build URLs from a server address that leaves the port out; the
  // port they connected with is the one they mean.
  if (!parsed.server.port && SameHost(parsed.server.host, connect_host_)) {
    parsed.server.port = connect_port_;
  }
  Target target;
  target.secure = parsed.scheme == "https";
  target.host = parsed.server.host;
  target.port = parsed.server.port.value_or(target.secure ? 443 : 80);
  target.path = parsed.path.empty() ? std::string("/") : parsed.path;
  return FetchToFile(target, local, /*publish_progress=*/false) ? 1 : 0;
}

uint32_t QueuedDownloader::GetFileSize(const char* remote_name) {
  Target target;
  if (remote_name == nullptr ||
      !ServerTarget(JoinRemotePath("", remote_name), &target) ||
      ended_.load()) {
    return 0;
  }
  const std::optional<uint64_t> size = QuerySize(target);
  if (!size || *size > std::numeric_limits<uint32_t>::max()) return 0;
  return static_cast<uint32_t>(*size);
}

uint32_t QueuedDownloader::GetReceivedBytes() { return received_bytes_.load(); }

int QueuedDownloader::GetCurrentIndex() { return current_index_.load(); }

void QueuedDownloader::AddRemoteFile(const char* remote_name) {
  if (queue_.empty()) {
    received_bytes_.store(0);
    current_index_.store(0);
  }
  queue_.push_back(QueueItem{remote_name ? remote_name : "", std::nullopt});
}

void QueuedDownloader::AddLocalFile(const char* local_path) {
  for (auto it = queue_.rbegin(); it != queue_.rend(); ++it) {
    if (!it->local_path) {
      it->local_path = local_path ? local_path : "";
      return;
    }
  }
}

int QueuedDownloader::DownloadQueue() {
  // The queue is consumed whatever the outcome, so a later run starts clean.
  std::vector<QueueItem> items;
  items.swap(queue_);
  for (size_t i = 0; i < items.size(); ++i) {
    const QueueItem& item = items[i];
    Target target;
    if (!item.local_path || item.local_path->empty() ||
        !ServerTarget(JoinRemotePath(remote_dir_, item.remote_name),
                      &target)) {
      return 0;
    }
    // Bytes first, index second: a watcher that sees the new index must
    // not pair it with the previous item's full count.
    received_bytes_.store(0);
    current_index_.store(static_cast<int>(i));
    if (!FetchToFile(target, *item.local_path, /*publish_progress=*/true)) {
      return 0;
    }
  }
  return 1;
}

void QueuedDownloader::EndTransfers() {
  ended_.store(true);
  {
    std::lock_guard<std::mutex> lock(backoff_mutex_);
    backoff_cv_.notify_all();
  }
  AbortTransfers();
}

void QueuedDownloader::SetRemoteDir(const char* dir) {
  remote_dir_ = dir ? dir : "";
}

void QueuedDownloader::SetHost(const char* host) {
  set_host_ = host ? host : "";
}

void QueuedDownloader::SetStallTimeout(uint32_t millis) {
  // The top value stays free: a backend's own waits take it for "forever".
  stall_timeout_millis_ = std::clamp<uint32_t>(
      millis, 1, std::numeric_limits<uint32_t>::max() - 1);
}

void QueuedDownloader::SetRetryPolicy(uint32_t retries,
                                      uint32_t first_backoff_millis) {
  retries_ = retries;
  first_backoff_millis_ = first_backoff_millis;
}

void QueuedDownloader::ShowProgress(uint64_t stored) {
  // The last byte is held back until the file is renamed into place: a
  // watcher that sees the full size may go on to read the file at once.
  const uint64_t shown = stored > 0 ? stored - 1 : 0;
  received_bytes_.store(static_cast<uint32_t>(shown));
}

bool QueuedDownloader::ServerTarget(const std::string& path,
                                    Target* target) const {
  HostPort server;
  if (set_host_.empty() || !ParseHostPort(set_host_, &server)) {
    server = HostPort{connect_host_, std::nullopt};
  }
  if (server.host.empty()) return false;
  if (!server.port) {
    server.port =
        SameHost(server.host, connect_host_) ? connect_port_ : uint16_t{80};
  }
  target->host = server.host;
  target->port = *server.port;
  target->path = path;
  target->secure = false;
  return true;
}

bool QueuedDownloader::FetchToFile(const Target& target,
                                   const std::string& local_path,
                                   bool publish_progress) {
  FileSink sink;
  sink.env = env_;
  sink.temp_path = local_path + std::string(kTempSuffix);
  bool complete = false;
  if (!ended_.load()) {
    const std::string parent = ParentDirectory(local_path);
    if (!parent.empty() && !env_->FileExists(parent)) {
      env_->CreateDirectories(parent);
    }
    if (sink.Restart().ok()) {
      // Attempts in a row that added nothing to the file; progress resets
      // it, so a flaky link that keeps delivering still finishes.
      uint32_t fruitless = 0;
      while (true) {
        const uint64_t before = sink.stored;
        const Outcome outcome = RunAttempt(target, &sink, publish_progress);
        if (outcome == Outcome::kComplete) {
          complete = sink.status.ok() && sink.file != nullptr;
          break;
        }
        if (outcome == Outcome::kFailed || !sink.status.ok()) break;
        fruitless = sink.stored > before ? 0 : fruitless + 1;
        if (fruitless > retries_) break;
        const uint32_t shift = std::min<uint32_t>(
            fruitless == 0 ? 0 : fruitless - 1, 16);
        const uint64_t wait =
            std::min<uint64_t>(uint64_t{first_backoff_millis_} << shift,
                               kMaxBackoffMillis);
        if (!WaitBackoff(static_cast<uint32_t>(wait))) break;
      }
    }
  }
  if (complete) {
    // Single files (the version lists, the server list) reach the disk
    // before they take their name. Queue items are patch parts, each checked
    // against its published digest before use: a part torn by a power loss
    // fails that check and is fetched again, so a sync would only cost time.
    Status s = publish_progress ? Status::OK() : sink.file->Sync();
    if (s.ok()) s = sink.file->Close();
    sink.file.reset();
    if (s.ok()) s = env_->RenameFile(sink.temp_path, local_path);
    if (s.ok()) {
      if (publish_progress) {
        received_bytes_.store(static_cast<uint32_t>(sink.stored));
      }
      return true;
    }
  }
  sink.file.reset();
  env_->DeleteFile(sink.temp_path);
  // A failed download leaves nothing at the target, not even an older copy:
  // a caller must never take a stale file for the one it asked for.
  if (env_->FileExists(local_path)) env_->DeleteFile(local_path);
  return false;
}

bool QueuedDownloader::WaitBackoff(uint32_t millis) {
  std::unique_lock<std::mutex> lock(backoff_mutex_);
  return !backoff_cv_.wait_for(lock, std::chrono::milliseconds(millis),
                               [this] { return ended_.load(); });
}

}  // namespace dizedir::http
