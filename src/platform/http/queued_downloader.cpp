#include "platform/http/queued_downloader.h"

#include <algorithm>
#include <chrono>
#include <limits>

#include "platform/http/url.h"

namespace dizedir::http {

namespace {

using Millis = std::chrono::milliseconds;

// Longest wait between two attempts, however often they failed.
constexpr uint32_t kMaxBackoffMillis = 60000;
// A queue item's size travels as 32 bits (GetFileSize, GetReceivedBytes):
// no item may be larger, whatever its answer claims.
constexpr uint64_t kMaxQueueItemBytes = std::numeric_limits<uint32_t>::max();
// Sizes remembered from GetFileSize; a caller asks once per queued file,
// so this is far beyond any real queue.
constexpr size_t kMaxAnnouncedSizes = 100000;

std::string ParentDirectory(const std::string& path) {
  const size_t sep = path.find_last_of("/\\");
  if (sep == std::string::npos || sep == 0) return std::string();
  return path.substr(0, sep);
}

bool IsSuccess(int status) { return status >= 200 && status < 300; }

HttpFailure WriteFailure(const Status& s) {
  return s.IsNoSpace() ? kHttpFailureDiskFull : kHttpFailureWriteFailed;
}

}  // namespace

// ---------------------------------------------------------------- Watch

QueuedDownloader::Watch::Watch(const QueuedDownloader* owner)
    : owner_(owner),
      last_arrival_(Clock::now()),
      window_start_(last_arrival_) {}

void QueuedDownloader::Watch::SetFloor(uint64_t min_bytes,
                                       uint32_t window_millis) {
  floor_bytes_ = min_bytes;
  window_ = Millis(std::max<uint32_t>(window_millis, 1));
  window_start_ = Clock::now();
  window_bytes_ = 0;
  slow_windows_ = 0;
}

void QueuedDownloader::Watch::StartAttempt() { last_arrival_ = Clock::now(); }

void QueuedDownloader::Watch::Arrived(uint64_t body_bytes) {
  last_arrival_ = Clock::now();
  window_bytes_ += body_bytes;
}

HttpFailure QueuedDownloader::Watch::Check() {
  if (owner_->ended()) return kHttpFailureStopped;
  const Clock::time_point now = Clock::now();
  if (deadline_ && now >= *deadline_) return kHttpFailureDeadline;
  if (now - last_arrival_ >= Millis(owner_->stall_timeout_millis())) {
    return kHttpFailureTooSlow;
  }
  if (floor_bytes_ > 0 && now - window_start_ >= window_) {
    const bool slow = window_bytes_ < floor_bytes_;
    window_start_ = now;
    window_bytes_ = 0;
    if (slow) {
      ++slow_windows_;
      return kHttpFailureTooSlow;
    }
    slow_windows_ = 0;
  }
  return kHttpFailureNone;
}

// ------------------------------------------------------------- FileSink

Status QueuedDownloader::FileSink::Restart() {
  if (!status.ok()) return status;
  file.reset();
  stored = 0;
  decoder_.reset();
  status = env->NewWritableFile(temp_path, &file);
  if (!status.ok()) failure = WriteFailure(status);
  return status;
}

Status QueuedDownloader::FileSink::StoreFailure(Status s) {
  if (status.ok()) {
    status = s;
    failure = WriteFailure(s);
  }
  return status;
}

QueuedDownloader::Outcome QueuedDownloader::FileSink::Fail(HttpFailure why) {
  if (status.ok()) {
    status = Status::Aborted("transfer refused");
    failure = why;
  }
  return Outcome::kFailed;
}

Status QueuedDownloader::FileSink::Append(std::string_view data) {
  if (!status.ok()) return status;
  watch.Arrived(data.size());
  if (data.empty()) return status;
  if (discarding_) {
    // An error answer's text is not wanted; only its length is bounded.
    discarded += data.size();
    if (discarded > kMaxDiscardBytes) Fail(kHttpFailureHttpStatus);
    return status;
  }
  body_received_ += data.size();
  if (expected_body_ && body_received_ > *expected_body_) {
    Fail(kHttpFailureBodyTooLong);
    return status;
  }
  const auto write = [this](std::string_view piece) {
    const Status s = file->Append(piece);
    if (!s.ok()) return StoreFailure(s);
    stored += piece.size();
    return Status::OK();
  };
  if (decoder_ != nullptr) {
    switch (decoder_->Decode(data, limit - stored, write)) {
      case BodyDecoder::Result::kOk:
        break;
      case BodyDecoder::Result::kTooLong:
        Fail(over_limit);
        break;
      case BodyDecoder::Result::kCorrupt:
        Fail(kHttpFailureBadResponse);
        break;
      case BodyDecoder::Result::kSinkFailed:
        break;  // the write kept its own reason
    }
    return status;
  }
  // The file's own announced end is a tighter bound than the limit, and
  // passing it is a different lie.
  const bool by_size = expected_file_ && *expected_file_ < limit;
  const uint64_t bound = by_size ? *expected_file_ : limit;
  if (data.size() > bound - std::min(bound, stored)) {
    Fail(by_size ? kHttpFailureBodyTooLong : over_limit);
    return status;
  }
  return write(data);
}

QueuedDownloader::FileSink::Plan QueuedDownloader::FileSink::Begin(
    const ResponseHead& head) {
  decided_ = true;
  discarding_ = false;
  status_code_ = head.status;
  resume_from_ = stored;
  body_received_ = 0;
  discarded = 0;
  expected_body_.reset();
  expected_file_.reset();
  const auto refuse = [this](HttpFailure why) {
    Fail(why);
    return Plan::kFail;
  };
  if (!status.ok()) return Plan::kFail;
  if (!IsSuccess(head.status)) {
    discarding_ = true;
    // "416, bytes */N" tells the size the server now has for the file.
    if (head.status == 416 && announced && head.content_range &&
        head.content_range->total &&
        *head.content_range->total != *announced) {
      return refuse(kHttpFailureSizeMismatch);
    }
    return Plan::kDiscard;
  }
  if (head.malformed || head.coding == ContentCoding::kUnsupported) {
    return refuse(kHttpFailureBadResponse);
  }

  if (head.coding != ContentCoding::kIdentity) {
    // Ranges of an encoded body count encoded bytes, which cannot be joined
    // to decoded ones: an encoded answer is taken whole or not at all.
    if (!accept_encoding || head.status == 206) {
      return refuse(kHttpFailureBadResponse);
    }
    if ((stored > 0 || decoder_ != nullptr) && !Restart().ok()) {
      return Plan::kFail;
    }
    resume_from_ = 0;
    decoder_ = BodyDecoder::Create(head.coding);
    expected_body_ = head.content_length;
    return Plan::kWrite;
  }
  if (decoder_ != nullptr && !Restart().ok()) return Plan::kFail;

  if (head.status == 206) {
    const std::optional<ContentRange>& range = head.content_range;
    if (!range || !range->well_formed || !range->start) {
      return refuse(kHttpFailureBadResponse);
    }
    if (*range->start != resume_from_) {
      // Not the piece asked for: unusable, and the next attempt starts
      // afresh rather than trusting this server's ranges.
      failure = kHttpFailureBadResponse;
      if (!Restart().ok()) return Plan::kFail;
      return Plan::kRetry;
    }
    const uint64_t length = *range->end - *range->start + 1;
    if (head.content_length && *head.content_length != length) {
      return refuse(kHttpFailureBadResponse);
    }
    if (announced &&
        ((range->total && *range->total != *announced) ||
         *range->end >= *announced)) {
      return refuse(kHttpFailureSizeMismatch);
    }
    expected_file_ = range->total ? range->total : announced;
    if (need_size && !expected_file_) return refuse(kHttpFailureSizeMismatch);
    if (*range->end >= limit || (expected_file_ && *expected_file_ > limit)) {
      return refuse(over_limit);
    }
    expected_body_ = length;
    return Plan::kWrite;
  }

  // A whole body although a range was asked for: the server ignores Range,
  // so the file starts over.
  if (stored > 0 && !Restart().ok()) return Plan::kFail;
  resume_from_ = 0;
  if (head.content_length) {
    if (announced && *head.content_length != *announced) {
      return refuse(kHttpFailureSizeMismatch);
    }
    if (*head.content_length > limit) return refuse(over_limit);
    expected_body_ = head.content_length;
    expected_file_ = head.content_length;
  } else {
    if (need_size && !announced) return refuse(kHttpFailureSizeMismatch);
    expected_file_ = announced;
  }
  return Plan::kWrite;
}

QueuedDownloader::Outcome QueuedDownloader::FileSink::End(bool clean) {
  if (!status.ok()) return Outcome::kFailed;
  if (!decided_) {
    failure = kHttpFailureConnection;  // no answer at all
    return Outcome::kRetry;
  }
  if (discarding_) {
    failure = kHttpFailureHttpStatus;
    if (status_code_ == 416 && resume_from_ > 0) {
      // The file changed under us; only a fresh start can help.
      if (!Restart().ok()) return Outcome::kFailed;
      return Outcome::kRetry;
    }
    return Outcome::kFailed;
  }
  if (!clean) {
    failure = kHttpFailureConnection;
    return Outcome::kRetry;
  }
  if (decoder_ != nullptr && !decoder_->finished()) {
    return Fail(kHttpFailureBadResponse);  // the stream itself is cut
  }
  // A body can end cleanly and still not reach the end of the file: a
  // server may answer an open range with only a piece of it. The rest comes
  // with the next attempt.
  if ((expected_body_ && body_received_ < *expected_body_) ||
      (expected_file_ && stored < *expected_file_)) {
    failure = kHttpFailureConnection;
    return Outcome::kRetry;
  }
  failure = kHttpFailureNone;
  return Outcome::kComplete;
}

QueuedDownloader::Outcome QueuedDownloader::FileSink::Abandon(
    HttpFailure why) {
  if (!status.ok()) return Outcome::kFailed;
  failure = why;
  // Slowness may pass with another connection; a stop or a passed deadline
  // will not.
  return why == kHttpFailureTooSlow || why == kHttpFailureConnection ||
                 why == kHttpFailureTls
             ? Outcome::kRetry
             : Outcome::kFailed;
}

// ----------------------------------------------------- QueuedDownloader

int QueuedDownloader::Connect(const char* host, uint32_t port) {
  ResumeTransfers();
  ended_.store(false);
  announced_sizes_.clear();
  ServerText text;
  if (host == nullptr || !ParseServerText(host, &text)) {
    last_failure_.store(kHttpFailureBadRequest);
    return 0;
  }
  HostPort& server = text.server;
  if (!server.port) {
    if (text.has_scheme) {
      server.port = DefaultPort(text.secure);
    } else {
      server.port = (port >= 1 && port <= 65535) ? static_cast<uint16_t>(port)
                                                 : uint16_t{80};
    }
  }
  connect_host_ = server.host;
  connect_port_ = *server.port;
  connect_secure_ = text.secure;
  const bool reached =
      ProbeServer(server.host, *server.port, stall_timeout_millis_);
  last_failure_.store(reached ? kHttpFailureNone : kHttpFailureConnection);
  return reached ? 1 : 0;
}

int QueuedDownloader::DownloadFile(const char* url, const char* local_path) {
  last_failure_.store(kHttpFailureNone);
  if (local_path == nullptr || *local_path == '\0') {
    last_failure_.store(kHttpFailureBadRequest);
    return 0;
  }
  const std::string local(local_path);
  Url parsed;
  if (url == nullptr || !ParseUrl(url, &parsed) ||
      (parsed.scheme != "http" && parsed.scheme != "https")) {
    env_->DeleteFile(local);
    last_failure_.store(kHttpFailureBadRequest);
    return 0;
  }
  Target target;
  target.secure = parsed.scheme == "https";
  // Callers build URLs from a server address that leaves the port out; the
  // port they connected with is the one they mean, as long as the scheme
  // is the one they connected with too.
  if (!parsed.server.port && SameHost(parsed.server.host, connect_host_) &&
      target.secure == connect_secure_) {
    parsed.server.port = connect_port_;
  }
  target.host = parsed.server.host;
  target.port = parsed.server.port.value_or(DefaultPort(target.secure));
  target.path = parsed.path.empty() ? std::string("/") : parsed.path;
  HttpFailure why = kHttpFailureNone;
  const bool ok =
      FetchToFile(target, local, Kind::kSingleFile, std::nullopt, &why);
  last_failure_.store(ok ? kHttpFailureNone : why);
  return ok ? 1 : 0;
}

uint32_t QueuedDownloader::GetFileSize(const char* remote_name) {
  Target target;
  if (remote_name == nullptr ||
      !ServerTarget(JoinRemotePath("", remote_name), &target)) {
    last_failure_.store(kHttpFailureBadRequest);
    return 0;
  }
  const std::string key = SizeKey(target);
  announced_sizes_.erase(key);
  if (ended_.load()) {
    last_failure_.store(kHttpFailureStopped);
    return 0;
  }
  if (const HttpFailure refused = TargetRefusal(target);
      refused != kHttpFailureNone) {
    last_failure_.store(refused);
    return 0;
  }
  Watch watch(this);
  watch.SetDeadline(Clock::now() + Millis(file_deadline_millis_));
  HttpFailure why = kHttpFailureNone;
  const std::optional<uint64_t> size = QuerySize(target, &watch, &why);
  if (!size) {
    last_failure_.store(why != kHttpFailureNone ? why
                                                : kHttpFailureConnection);
    return 0;
  }
  if (*size > kMaxQueueItemBytes) {
    last_failure_.store(kHttpFailureTooLarge);
    return 0;
  }
  last_failure_.store(kHttpFailureNone);
  if (*size > 0 && announced_sizes_.size() < kMaxAnnouncedSizes) {
    announced_sizes_[key] = *size;
  }
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
  last_failure_.store(kHttpFailureNone);
  // The queue is consumed whatever the outcome, so a later run starts clean.
  std::vector<QueueItem> items;
  items.swap(queue_);
  for (size_t i = 0; i < items.size(); ++i) {
    const QueueItem& item = items[i];
    Target target;
    if (!item.local_path || item.local_path->empty() ||
        !ServerTarget(JoinRemotePath(remote_dir_, item.remote_name),
                      &target)) {
      last_failure_.store(kHttpFailureBadRequest);
      return 0;
    }
    std::optional<uint64_t> announced;
    const auto known = announced_sizes_.find(SizeKey(target));
    if (known != announced_sizes_.end()) announced = known->second;
    // Bytes first, index second: a watcher that sees the new index must
    // not pair it with the previous item's full count.
    received_bytes_.store(0);
    current_index_.store(static_cast<int>(i));
    HttpFailure why = kHttpFailureNone;
    if (!FetchToFile(target, *item.local_path, Kind::kQueueItem, announced,
                     &why)) {
      last_failure_.store(why);
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

void QueuedDownloader::SetFileLimits(uint32_t max_bytes,
                                     uint32_t deadline_millis) {
  // Zero restores the default rather than lifting the bound: no single
  // file may be unbounded.
  file_max_bytes_ = max_bytes != 0 ? max_bytes : kDefaultFileMaxBytes;
  file_deadline_millis_ =
      deadline_millis != 0 ? deadline_millis : kDefaultFileDeadlineMillis;
}

int QueuedDownloader::GetLastFailure() { return last_failure_.load(); }

int QueuedDownloader::SetCaBundle(const char* path) {
  if (path == nullptr || *path == '\0') {
    trust_nothing_ = !UseTrustAnchors(nullptr);
    return trust_nothing_ ? 0 : 1;
  }
  // Whatever goes wrong, nothing falls back to the system's store: the
  // caller named the authorities its servers are meant to have.
  std::string pem;
  const bool readable =
      ReadFileToString(env_, path, &pem, kMaxCaBundleBytes).ok() &&
      pem.find("-----BEGIN CERTIFICATE-----") != std::string::npos;
  trust_nothing_ = !readable || !UseTrustAnchors(&pem);
  return trust_nothing_ ? 0 : 1;
}

void QueuedDownloader::SetRateFloor(uint32_t min_bytes,
                                    uint32_t window_millis) {
  floor_bytes_ = min_bytes;
  floor_window_millis_ =
      window_millis != 0 ? window_millis : kDefaultFloorWindowMillis;
}

void QueuedDownloader::ShowProgress(uint64_t stored) {
  // The last byte is held back until the file is renamed into place: a
  // watcher that sees the full size may go on to read the file at once.
  const uint64_t shown = stored > 0 ? stored - 1 : 0;
  received_bytes_.store(static_cast<uint32_t>(
      std::min<uint64_t>(shown, std::numeric_limits<uint32_t>::max())));
}

bool QueuedDownloader::ResolveRedirect(const Target& from,
                                       std::string_view location,
                                       Target* to) {
  while (!location.empty() && (location.front() == ' ' ||
                               location.front() == '\t')) {
    location.remove_prefix(1);
  }
  while (!location.empty() &&
         (location.back() == ' ' || location.back() == '\t' ||
          location.back() == '\r' || location.back() == '\n')) {
    location.remove_suffix(1);
  }
  location = location.substr(0, location.find('#'));
  if (location.empty()) return false;
  *to = from;
  const size_t colon = location.find(':');
  const size_t separator = location.find_first_of("/?");
  const bool network_path = location.starts_with("//");
  if (network_path ||
      (colon != std::string_view::npos &&
       (separator == std::string_view::npos || colon < separator))) {
    // "//host/path" names a host just as "http://host/path" does.
    Url url;
    if (!ParseUrl(network_path ? location.substr(2) : location, &url)) {
      return false;
    }
    if (network_path) url.scheme = from.secure ? "https" : "http";
    if ((url.scheme != "http" && url.scheme != "https") ||
        !SameHost(url.server.host, from.host) ||
        (from.secure && url.scheme != "https")) {
      return false;
    }
    to->secure = url.scheme == "https";
    to->port = url.server.port.value_or(DefaultPort(to->secure));
    to->path = url.path.empty() ? std::string("/") : url.path;
    return true;
  }
  if (location.front() == '/') {
    to->path = SanitizeUrlPath(location);
    return true;
  }
  // Relative to the directory of the current path.
  std::string_view base = from.path;
  base = base.substr(0, base.find('?'));
  base = base.substr(0, base.rfind('/') + 1);
  std::string joined(base.empty() ? std::string_view("/") : base);
  joined.append(location);
  to->path = SanitizeUrlPath(joined);
  return true;
}

HttpFailure QueuedDownloader::RedirectRefusal(const Target& from,
                                              std::string_view location) const {
  Target to;
  if (!ResolveRedirect(from, location, &to)) return kHttpFailureRedirect;
  return TargetRefusal(to);
}

HttpFailure QueuedDownloader::TargetRefusal(const Target& target) const {
  return target.secure && trust_nothing_ ? kHttpFailureTlsUntrusted
                                         : kHttpFailureNone;
}

std::string QueuedDownloader::SizeKey(const Target& target) {
  std::string key = target.host + ":" + std::to_string(target.port) +
                    (target.secure ? "s" : "") + target.path;
  for (char& c : key) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return key;
}

bool QueuedDownloader::ServerTarget(const std::string& path,
                                    Target* target) const {
  ServerText text;
  if (set_host_.empty() || !ParseServerText(set_host_, &text)) {
    text = ServerText{connect_secure_, true,
                      HostPort{connect_host_, connect_port_}};
  }
  const HostPort& server = text.server;
  if (server.host.empty()) return false;
  const bool connected_host = SameHost(server.host, connect_host_);
  // A bare host that names the connected one is the connected server.
  const bool secure = text.has_scheme ? text.secure
                                      : connected_host && connect_secure_;
  uint16_t port = DefaultPort(secure);
  if (server.port) {
    port = *server.port;
  } else if (connected_host && secure == connect_secure_) {
    port = connect_port_;
  }
  target->host = server.host;
  target->port = port;
  target->path = path;
  target->secure = secure;
  return true;
}

bool QueuedDownloader::FetchToFile(const Target& target,
                                   const std::string& local_path, Kind kind,
                                   std::optional<uint64_t> announced,
                                   HttpFailure* why) {
  const bool queue_item = kind == Kind::kQueueItem;
  FileSink sink(this);
  sink.env = env_;
  sink.temp_path = local_path + std::string(kTempSuffix);
  if (queue_item) {
    // Stored as sent and held to the size it was announced with.
    sink.announced = announced;
    sink.need_size = true;
    sink.limit = std::min(announced.value_or(kMaxQueueItemBytes),
                          kMaxQueueItemBytes);
    sink.over_limit =
        announced ? kHttpFailureBodyTooLong : kHttpFailureTooLarge;
    sink.watch.SetFloor(floor_bytes_, floor_window_millis_);
  } else {
    sink.limit = file_max_bytes_;
    sink.over_limit = kHttpFailureTooLarge;
    sink.accept_encoding = true;
    sink.watch.SetDeadline(Clock::now() + Millis(file_deadline_millis_));
  }
  const std::optional<Clock::time_point> deadline = sink.watch.deadline();
  const auto past_deadline = [&deadline] {
    return deadline && Clock::now() >= *deadline;
  };

  HttpFailure failure = kHttpFailureNone;
  bool complete = false;
  if (ended_.load()) {
    failure = kHttpFailureStopped;
  } else if (TargetRefusal(target) != kHttpFailureNone) {
    failure = TargetRefusal(target);
  } else {
    const std::string parent = ParentDirectory(local_path);
    if (!parent.empty() && !env_->FileExists(parent)) {
      env_->CreateDirectories(parent);
    }
    if (!sink.Restart().ok()) {
      failure = sink.failure;
    } else {
      // Attempts in a row that took the file no further than it ever was;
      // progress resets it, so a flaky link that keeps delivering still
      // finishes, while a server whose answers keep sending the download
      // back to the start does not go on for ever. Slow windows are counted
      // apart: a trickle gains bytes with every attempt and must still come
      // to an end.
      uint32_t fruitless = 0;
      uint64_t furthest = 0;
      while (true) {
        const uint64_t before = std::max(furthest, sink.stored);
        sink.failure = kHttpFailureNone;
        sink.watch.StartAttempt();
        const Outcome outcome = RunAttempt(target, &sink, queue_item);
        if (outcome == Outcome::kComplete) {
          complete = sink.status.ok() && sink.file != nullptr;
          if (!complete) failure = sink.failure;
          break;
        }
        failure = sink.failure != kHttpFailureNone ? sink.failure
                                                   : kHttpFailureConnection;
        if (outcome == Outcome::kFailed || !sink.status.ok()) break;
        fruitless = sink.stored > before ? 0 : fruitless + 1;
        furthest = std::max(furthest, sink.stored);
        if (fruitless > retries_ || sink.watch.slow_windows() > retries_) {
          break;
        }
        const uint32_t shift = std::min<uint32_t>(
            fruitless == 0 ? 0 : fruitless - 1, 16);
        uint64_t wait =
            std::min<uint64_t>(uint64_t{first_backoff_millis_} << shift,
                               kMaxBackoffMillis);
        if (deadline) {
          const auto left = std::chrono::duration_cast<Millis>(
              *deadline - Clock::now());
          wait = std::min<uint64_t>(
              wait, static_cast<uint64_t>(std::max<int64_t>(left.count(), 0)));
        }
        if (!WaitBackoff(static_cast<uint32_t>(wait))) {
          failure = kHttpFailureStopped;
          break;
        }
        if (past_deadline()) {
          failure = kHttpFailureDeadline;
          break;
        }
        // Decoded bytes cannot be resumed by a range of encoded ones.
        if (!sink.resumable() && !sink.Restart().ok()) {
          failure = sink.failure;
          break;
        }
      }
    }
  }
  if (complete) {
    // Single files (the version lists, the server list) reach the disk
    // before they take their name. Queue items are patch parts, each checked
    // against its published digest before use: a part torn by a power loss
    // fails that check and is fetched again, so a sync would only cost time.
    Status s = queue_item ? Status::OK() : sink.file->Sync();
    if (s.ok()) s = sink.file->Close();
    sink.file.reset();
    if (s.ok()) s = env_->RenameFile(sink.temp_path, local_path);
    if (s.ok()) {
      if (queue_item) {
        received_bytes_.store(static_cast<uint32_t>(sink.stored));
      }
      *why = kHttpFailureNone;
      return true;
    }
    failure = WriteFailure(s);
  }
  sink.file.reset();
  env_->DeleteFile(sink.temp_path);
  // A failed download leaves nothing at the target, not even an older copy:
  // a caller must never take a stale file for the one it asked for.
  if (env_->FileExists(local_path)) env_->DeleteFile(local_path);
  *why = failure != kHttpFailureNone ? failure : kHttpFailureConnection;
  return false;
}

bool QueuedDownloader::WaitBackoff(uint32_t millis) {
  std::unique_lock<std::mutex> lock(backoff_mutex_);
  return !backoff_cv_.wait_for(lock, Millis(millis),
                               [this] { return ended_.load(); });
}

}  // namespace dizedir::http
