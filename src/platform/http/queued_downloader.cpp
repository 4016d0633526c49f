#include "platform/http/queued_downloader.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <limits>
#include <set>

#include "platform/http/header_values.h"
#include "platform/http/url.h"

namespace dizedir::http {

namespace {

using Millis = std::chrono::milliseconds;

// Longest wait between two attempts, however often they failed.
constexpr uint32_t kMaxBackoffMillis = 60000;
// A queue item with no announced size is held to its answer's own
// Content-Length, and to this, whatever that claims.
constexpr uint64_t kMaxQueueItemBytes = uint64_t{1} << 40;
// Sizes remembered from GetFileSize; a caller asks once per queued file,
// so this is far beyond any real queue.
constexpr size_t kMaxAnnouncedSizes = 100000;
// Tries of a size query that got no answer at all: enough to get past the
// dead kept-alive connections a pool may hold, few enough that a server
// that is down is reported at once.
constexpr int kSizeQueryAttempts = 3;

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
  if (owner_->ended() || (cancelled_ != nullptr && cancelled_->load())) {
    return kHttpFailureStopped;
  }
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
  decoder_.reset();
  satisfied_ = false;
  skip_ = 0;
  if (item != nullptr) {
    // The item's other pieces share the file: only this piece starts over,
    // over bytes already there, and the file never outgrows the item.
    std::lock_guard<std::mutex> lock(item->mutex);
    item->Uncount(stored);
    stored = 0;
    if (item->hashing) {
      if (start == 0 && item->pieces == 1) {
        item->md5.Reset();
        item->hashed = 0;
      } else if (start < item->hashed) {
        // Bytes already hashed may come again unlike before.
        item->hashing = false;
      }
    }
    return status;
  }
  file.reset();
  stored = 0;
  std::unique_ptr<PositionalFile> fresh;
  status = env->NewPositionalFile(temp_path, &fresh);
  if (!status.ok()) {
    failure = WriteFailure(status);
  } else {
    file = std::move(fresh);
  }
  return status;
}

std::string QueuedDownloader::FileSink::RangeSpec() {
  // A split moves `end` under the item's lock, from another connection.
  uint64_t until = kOpenEnd;
  std::optional<uint64_t> size = announced;
  if (item != nullptr) {
    std::lock_guard<std::mutex> lock(item->mutex);
    until = end;
    if (item->size) size = item->size;
  } else {
    until = end;
  }
  const uint64_t from = start + stored;
  const bool to_the_end = until == kOpenEnd || (size && until >= *size);
  if (from == 0 && to_the_end) return std::string();
  return std::to_string(from) + "-" +
         (to_the_end ? std::string() : std::to_string(until - 1));
}

std::optional<uint64_t> QueuedDownloader::FileSink::KnownSize() {
  if (item == nullptr) return announced;
  std::lock_guard<std::mutex> lock(item->mutex);
  return item->size ? item->size : announced;
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

void QueuedDownloader::FileSink::StartAttempt() {
  std::unique_lock<std::mutex> lock;
  if (item != nullptr) lock = std::unique_lock<std::mutex>(item->mutex);
  asked_at = Clock::now();
  first_byte_at.reset();
}

Status QueuedDownloader::FileSink::Write(std::string_view piece) {
  if (piece.empty()) return Status::OK();
  const uint64_t at = start + stored;
  const Status s = file->WriteAt(at, piece);
  if (!s.ok()) return StoreFailure(s);
  if (!first_byte_at) {
    first_byte_at = Clock::now();
    stored_at_first_byte = stored;
    owner_->first_byte_nanos_.store(
        std::chrono::duration_cast<std::chrono::nanoseconds>(*first_byte_at - asked_at)
            .count());
  }
  if (item != nullptr) {
    // Bytes after the in-order run (another piece's) wait on disk for the
    // run to reach them, or for the item's end.
    if (item->hashing && item->hashed == at) {
      item->md5.Update(piece);
      item->hashed += piece.size();
    }
    item->Count(piece.size());
  }
  stored += piece.size();
  return Status::OK();
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
  if (satisfied_) return status;
  if (decoder_ != nullptr) {
    const auto write = [this](std::string_view piece) { return Write(piece); };
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
  // An answer that ignored Range brings the bytes before the piece first.
  if (skip_ > 0) {
    const size_t skipped = static_cast<size_t>(
        std::min<uint64_t>(skip_, data.size()));
    skip_ -= skipped;
    data.remove_prefix(skipped);
    if (data.empty()) return status;
  }
  bool wrote = false;
  {
    std::unique_lock<std::mutex> lock;
    if (item != nullptr) lock = std::unique_lock<std::mutex>(item->mutex);
    const uint64_t at = start + stored;
    // The file's own announced end is a tighter bound than the limit, and
    // passing it is a different lie.
    const bool by_size = expected_file_ && *expected_file_ < limit;
    const uint64_t bound = by_size ? *expected_file_ : limit;
    if (end < bound && data.size() > end - std::min(end, at)) {
      // What lies past the piece's end is another piece's: this one has
      // all it needs.
      if (Write(data.substr(0, end - std::min(end, at))).ok()) {
        satisfied_ = true;
        wrote = true;
      }
    } else if (data.size() > bound - std::min(bound, at)) {
      Fail(by_size ? kHttpFailureBodyTooLong : over_limit);
    } else {
      wrote = Write(data).ok();
    }
  }
  if (wrote && on_progress) on_progress();
  return status;
}

QueuedDownloader::FileSink::Plan QueuedDownloader::FileSink::Begin(
    const ResponseHead& head) {
  decided_ = true;
  discarding_ = false;
  satisfied_ = false;
  skip_ = 0;
  status_code_ = head.status;
  resume_from_ = start + stored;
  body_received_ = 0;
  discarded = 0;
  expected_body_.reset();
  expected_file_.reset();
  const std::optional<uint64_t> known = KnownSize();
  const auto refuse = [this](HttpFailure why) {
    Fail(why);
    return Plan::kFail;
  };
  // Once an answer told the item's size, every later answer for any of its
  // pieces is held to it.
  const auto learn_size = [this] {
    if (item == nullptr || !expected_file_) return;
    std::lock_guard<std::mutex> lock(item->mutex);
    if (!item->size) item->size = expected_file_;
    if (end == kOpenEnd) end = *item->size;
  };
  if (!status.ok()) return Plan::kFail;
  if (!IsSuccess(head.status)) {
    discarding_ = true;
    // "416, bytes */N" tells the size the server now has for the file.
    if (head.status == 416 && known && head.content_range &&
        head.content_range->total && *head.content_range->total != *known) {
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
    if (!accept_encoding || head.status == 206 || item != nullptr) {
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
    if (known &&
        ((range->total && *range->total != *known) || *range->end >= *known)) {
      return refuse(kHttpFailureSizeMismatch);
    }
    expected_file_ = range->total ? range->total : known;
    if (need_size && !expected_file_) return refuse(kHttpFailureSizeMismatch);
    if (*range->end >= limit || (expected_file_ && *expected_file_ > limit)) {
      return refuse(over_limit);
    }
    expected_body_ = length;
    learn_size();
    return Plan::kWrite;
  }

  // A whole body although a range was asked for: the server ignores Range.
  // A piece that starts the file starts over; a later one keeps what it has
  // and lets the bytes before it go by, unless its source must honour Range.
  if (resume_from_ > 0 && start > 0) {
    if (strict_ranges) return refuse(kHttpFailureBadResponse);
    skip_ = resume_from_;
  } else {
    if (stored > 0 && !Restart().ok()) return Plan::kFail;
    resume_from_ = 0;
  }
  if (head.content_length) {
    if (known && *head.content_length != *known) {
      return refuse(kHttpFailureSizeMismatch);
    }
    if (*head.content_length > limit) return refuse(over_limit);
    expected_body_ = head.content_length;
    expected_file_ = head.content_length;
  } else {
    if (need_size && !known) return refuse(kHttpFailureSizeMismatch);
    expected_file_ = known;
  }
  learn_size();
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
  if (satisfied_) {
    failure = kHttpFailureNone;
    return Outcome::kComplete;
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
  bool short_of_end = expected_file_ && start + stored < *expected_file_;
  if (item != nullptr) {
    std::lock_guard<std::mutex> lock(item->mutex);
    if (end != kOpenEnd) short_of_end = start + stored < end;
  }
  if ((expected_body_ && body_received_ < *expected_body_) || short_of_end) {
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
  mirror_dropped_.assign(mirrors_.size(), false);
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
  // A launcher fetches the server list and then connects to the update
  // server, often the same one: a probe would only cost a round trip to
  // learn what the last answer already showed.
  bool answered_recently = false;
  {
    std::lock_guard<std::mutex> lock(answered_mutex_);
    answered_recently = answered_by_ && answered_by_->secure == text.secure &&
                        answered_by_->port == *server.port &&
                        SameHost(answered_by_->host, server.host) &&
                        Clock::now() - answered_at_ < kRecentAnswer;
  }
  const bool reached =
      answered_recently ||
      ProbeServer(server.host, *server.port, stall_timeout_millis_);
  last_failure_.store(reached ? kHttpFailureNone : kHttpFailureConnection);
  return reached ? 1 : 0;
}

int QueuedDownloader::DownloadFile(const char* url, const char* local_path) {
  last_failure_.store(kHttpFailureNone);
  const HttpFailure why = FetchSmallFile(0, url, local_path, file_max_bytes_);
  last_failure_.store(why);
  return why == kHttpFailureNone ? 1 : 0;
}

int QueuedDownloader::DownloadFiles(uint32_t count, const char* const* urls,
                                    const char* const* local_paths,
                                    const uint32_t* max_bytes,
                                    int32_t* failures) {
  last_failure_.store(kHttpFailureNone);
  if (count == 0) return 1;
  std::vector<HttpFailure> why(count, kHttpFailureNone);
  if (urls == nullptr || local_paths == nullptr) {
    why.assign(count, kHttpFailureBadRequest);
  } else {
    // Two fetches into one path would share its temporary file: the later
    // entry is refused instead.
    std::set<std::string> paths;
    for (uint32_t i = 0; i < count; ++i) {
      if (local_paths[i] != nullptr &&
          !paths.insert(local_paths[i]).second) {
        why[i] = kHttpFailureBadRequest;
      }
    }
    ShareOut(std::min<size_t>(ConnectionCount(), count), count,
             [&](size_t connection, uint32_t i) {
               if (why[i] != kHttpFailureNone) return;
               const uint32_t bound = max_bytes != nullptr && max_bytes[i] != 0
                                          ? max_bytes[i]
                                          : file_max_bytes_;
               // Memory running out in one fetch fails that file; it must
               // not end the host from a worker thread.
               try {
                 why[i] = FetchSmallFile(connection, urls[i], local_paths[i], bound);
               } catch (...) {
                 why[i] = kHttpFailureBadRequest;
               }
             });
  }
  int all = 1;
  for (uint32_t i = 0; i < count; ++i) {
    if (failures != nullptr) failures[i] = why[i];
    if (why[i] != kHttpFailureNone && all == 1) {
      last_failure_.store(why[i]);
      all = 0;
    }
  }
  return all;
}

HttpFailure QueuedDownloader::FetchSmallFile(size_t connection,
                                             const char* url,
                                             const char* local_path,
                                             uint32_t max_bytes) {
  if (local_path == nullptr || *local_path == '\0') {
    return kHttpFailureBadRequest;
  }
  const std::string local(local_path);
  Url parsed;
  if (url == nullptr || !ParseUrl(url, &parsed) ||
      (parsed.scheme != "http" && parsed.scheme != "https")) {
    env_->DeleteFile(local);
    return kHttpFailureBadRequest;
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
  FetchToFile(connection, target, local, max_bytes, &why);
  return why;
}

std::optional<uint64_t> QueuedDownloader::AskSize(size_t connection,
                                                  const char* remote_name,
                                                  HttpFailure* why) {
  Target target;
  if (remote_name == nullptr ||
      !ServerTarget(JoinRemotePath("", remote_name), &target)) {
    *why = kHttpFailureBadRequest;
    return std::nullopt;
  }
  if (ended_.load()) {
    *why = kHttpFailureStopped;
    return std::nullopt;
  }
  if (const HttpFailure refused = TargetRefusal(target);
      refused != kHttpFailureNone) {
    *why = refused;
    return std::nullopt;
  }
  Watch watch(this);
  watch.SetDeadline(Clock::now() + Millis(file_deadline_millis_));
  // A kept-alive connection the server closed while it was idle is found
  // dead only by the next request on it; that request deserves another
  // connection, as a transfer's would get, before the answer counts.
  std::optional<uint64_t> size;
  for (int attempt = 1; attempt <= kSizeQueryAttempts; ++attempt) {
    *why = kHttpFailureNone;
    size = QuerySize(connection, target, &watch, why);
    if (!size && *why == kHttpFailureNone) *why = kHttpFailureConnection;
    if (size || *why != kHttpFailureConnection ||
        watch.Check() != kHttpFailureNone) {
      break;
    }
  }
  return size;
}

uint32_t QueuedDownloader::GetFileSize(const char* remote_name) {
  Target target;
  if (remote_name != nullptr &&
      ServerTarget(JoinRemotePath("", remote_name), &target)) {
    announced_sizes_.erase(SizeKey(target));
  }
  HttpFailure why = kHttpFailureNone;
  const std::optional<uint64_t> size = AskSize(0, remote_name, &why);
  if (!size) {
    last_failure_.store(why);
    return 0;
  }
  if (*size > std::numeric_limits<uint32_t>::max()) {
    last_failure_.store(kHttpFailureTooLarge);
    return 0;
  }
  last_failure_.store(kHttpFailureNone);
  if (*size > 0 && announced_sizes_.size() < kMaxAnnouncedSizes) {
    announced_sizes_[SizeKey(target)] = *size;
  }
  return static_cast<uint32_t>(*size);
}

uint64_t QueuedDownloader::GetFileSize64(const char* remote_name) {
  uint64_t size = 0;
  GetFileSizes(1, &remote_name, &size);
  return size;
}

int QueuedDownloader::GetFileSizes(uint32_t count,
                                   const char* const* remote_names,
                                   uint64_t* sizes) {
  last_failure_.store(kHttpFailureNone);
  if (count == 0) return 1;
  if (remote_names == nullptr || sizes == nullptr) {
    last_failure_.store(kHttpFailureBadRequest);
    return 0;
  }
  std::vector<std::optional<uint64_t>> found(count);
  std::vector<HttpFailure> why(count, kHttpFailureNone);
  std::vector<std::string> keys(count);
  for (uint32_t i = 0; i < count; ++i) {
    Target target;
    if (remote_names[i] != nullptr &&
        ServerTarget(JoinRemotePath("", remote_names[i]), &target)) {
      keys[i] = SizeKey(target);
      announced_sizes_.erase(keys[i]);
    }
  }
  // A size query moves no body: its cost is the round trip alone, so twice
  // the transfer's connections hide twice as many (the first ones stay
  // open for the transfer). One connection stays one.
  const size_t wanted = ConnectionCount() == 1
                            ? 1
                            : std::min<size_t>(2 * ConnectionCount(),
                                               kMaxConnections);
  ShareOut(std::min<size_t>(wanted, count), count, [&](size_t connection, uint32_t i) {
    // As with the small files: memory running out fails this size, never
    // the host from a worker thread.
    try {
      found[i] = AskSize(connection, remote_names[i], &why[i]);
    } catch (...) {
      found[i].reset();
      why[i] = kHttpFailureBadRequest;
    }
  });
  int all = 1;
  for (uint32_t i = 0; i < count; ++i) {
    sizes[i] = found[i].value_or(0);
    if (!found[i]) {
      if (all == 1) last_failure_.store(why[i]);
      all = 0;
      continue;
    }
    if (*found[i] > 0 && !keys[i].empty() &&
        announced_sizes_.size() < kMaxAnnouncedSizes) {
      announced_sizes_[keys[i]] = *found[i];
    }
  }
  return all;
}

void QueuedDownloader::ShareOut(size_t connections, uint32_t count,
                                const std::function<void(size_t, uint32_t)>& work) {
  PrepareConnections(connections);
  // Every share is taken from a common pool, so a connection whose thread
  // cannot start leaves its share to the others.
  std::atomic<uint32_t> next{0};
  RunOnThreads(env_, connections, [&](size_t connection) {
    for (uint32_t i = next.fetch_add(1); i < count; i = next.fetch_add(1)) {
      work(connection, i);
    }
  });
}

uint32_t QueuedDownloader::GetReceivedBytes() {
  // The low 32 bits, as the slot always told them.
  return static_cast<uint32_t>(GetReceivedBytes64());
}

uint64_t QueuedDownloader::GetQueueReceivedBytes64() {
  return queue_received_.load();
}

uint64_t QueuedDownloader::GetReceivedBytes64() {
  std::lock_guard<std::mutex> lock(progress_mutex_);
  return shown_bytes_;
}

int QueuedDownloader::GetCurrentIndex() {
  std::lock_guard<std::mutex> lock(progress_mutex_);
  return shown_index_;
}

void QueuedDownloader::AddRemoteFile(const char* remote_name) {
  if (queue_.empty()) {
    std::lock_guard<std::mutex> lock(progress_mutex_);
    shown_bytes_ = 0;
    shown_index_ = 0;
    queue_received_.store(0);
  }
  queue_.push_back(
      QueueItem{remote_name ? remote_name : "", std::nullopt, std::nullopt,
                std::nullopt});
}

void QueuedDownloader::AddLocalFile(const char* local_path) {
  for (auto it = queue_.rbegin(); it != queue_.rend(); ++it) {
    if (!it->local_path) {
      it->local_path = local_path ? local_path : "";
      return;
    }
  }
}

void QueuedDownloader::AddFileDigest(const char* md5_hex) {
  if (queue_.empty() || md5_hex == nullptr) return;
  std::string digest(md5_hex);
  if (digest.size() != 32) return;
  for (char& c : digest) {
    if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return;
  }
  queue_.back().digest = std::move(digest);
}

void QueuedDownloader::AddFileSize(uint64_t size) {
  if (queue_.empty() || size == 0) return;
  queue_.back().size = size;
}

void QueuedDownloader::SetConnections(uint32_t count) {
  connections_ = count == 0 ? kDefaultConnections
                            : std::min<uint32_t>(count, kMaxConnections);
}

uint32_t QueuedDownloader::ConnectionCount() const { return connections_; }

void QueuedDownloader::SetMirrors(const char* base_urls) {
  mirrors_.clear();
  std::string_view text = base_urls != nullptr ? base_urls : "";
  while (!text.empty() && mirrors_.size() < kMaxMirrors) {
    const size_t newline = text.find('\n');
    std::string_view line = text.substr(0, newline);
    text.remove_prefix(newline == std::string_view::npos ? text.size()
                                                         : newline + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty() || line.size() > kMaxMirrorLineBytes) continue;
    // Only an explicit scheme: a bare host could be anything.
    Url url;
    if ((!StartsWithNoCase(line, "http://") &&
         !StartsWithNoCase(line, "https://")) ||
        !ParseUrl(line, &url)) {
      continue;
    }
    Mirror mirror;
    mirror.secure = url.scheme == "https";
    mirror.host = url.server.host;
    mirror.port = url.server.port.value_or(DefaultPort(mirror.secure));
    mirror.base_path = url.path.substr(0, url.path.find('?'));
    while (!mirror.base_path.empty() && mirror.base_path.back() == '/') {
      mirror.base_path.pop_back();
    }
    mirrors_.push_back(std::move(mirror));
  }
  mirror_dropped_.assign(mirrors_.size(), false);
}

// ------------------------------------------------------------ Queue runs

namespace {

// The count a watcher sees while `received` bytes of an item are in: the
// last byte is held back until the file is renamed into place, so a
// watcher that sees the full size may go on to read the file at once.
uint64_t HeldBack(uint64_t received) { return received > 0 ? received - 1 : 0; }

// How long an idle connection waits before it looks again for a range to
// take over, when nothing told it of a change.
constexpr auto kIdlePoll = Millis(50);

}  // namespace

struct QueuedDownloader::Task {
  size_t item = 0;
  size_t piece = 0;
  // Taken while the run's lock is held: the list of pieces may grow while
  // the task runs, the pieces themselves stay where they are.
  FileSink* sink = nullptr;
  size_t source = 0;  // 0: the connected server; n: mirror n - 1
};

struct QueuedDownloader::QueueRun {
  struct Piece {
    std::unique_ptr<FileSink> sink;
    bool running = false;
    bool done = false;
  };
  enum class State { kUnstarted, kActive, kStoring, kStored, kStopped };
  struct Item {
    std::string remote_name;
    std::string local_path;
    std::optional<Target> target;  // none: the item cannot be asked for
    std::optional<uint64_t> announced;
    std::optional<std::string> digest;
    ItemFile file;
    std::vector<Piece> pieces;
    State state = State::kUnstarted;
    size_t running = 0;        // pieces a connection works on
    uint32_t sources = 0;      // one bit per source that sent bytes of it
    bool discarded = false;
  };

  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::unique_ptr<Item>> items;
  size_t next = 0;  // the first item never started
  std::vector<size_t> restarts;  // items to fetch again from the start
  std::vector<std::pair<size_t, size_t>> waiting;  // pieces without a source
  size_t failed = SIZE_MAX;  // the first item in queue order that failed
  HttpFailure failure = kHttpFailureNone;
  std::vector<size_t> load;  // pieces running per source
  size_t rotation = 0;
};

int QueuedDownloader::DownloadQueue() {
  last_failure_.store(kHttpFailureNone);
  // The queue is consumed whatever the outcome, so a later run starts clean.
  std::vector<QueueItem> queued;
  queued.swap(queue_);
  if (queued.empty()) return 1;
  {
    std::lock_guard<std::mutex> lock(progress_mutex_);
    shown_index_ = 0;
    shown_bytes_ = 0;
    queue_received_.store(0);
  }
  QueueRun run;
  for (QueueItem& queued_item : queued) {
    auto item = std::make_unique<QueueRun::Item>();
    item->remote_name = queued_item.remote_name;
    item->local_path = queued_item.local_path.value_or("");
    item->digest = std::move(queued_item.digest);
    item->file.queue_received = &queue_received_;
    Target target;
    if (!item->local_path.empty() &&
        ServerTarget(JoinRemotePath(remote_dir_, item->remote_name),
                     &target)) {
      // The caller's own size outranks whatever the server answered.
      const auto known = announced_sizes_.find(SizeKey(target));
      if (queued_item.size) {
        item->announced = queued_item.size;
      } else if (known != announced_sizes_.end()) {
        item->announced = known->second;
      }
      item->target = std::move(target);
    }
    run.items.push_back(std::move(item));
  }
  run.load.assign(1 + mirrors_.size(), 0);
  mirror_dropped_.resize(mirrors_.size(), false);

  const size_t connections = ConnectionCount();
  PrepareConnections(connections);
  RunOnThreads(env_, connections,
               [this, &run](size_t connection) { Work(&run, connection); });

  bool all_stored = true;
  {
    std::lock_guard<std::mutex> lock(run.mutex);
    for (size_t i = 0; i < run.items.size(); ++i) {
      const QueueRun::State state = run.items[i]->state;
      if (state == QueueRun::State::kStored) continue;
      all_stored = false;
      if (state != QueueRun::State::kUnstarted) Discard(&run, i);
    }
  }
  if (all_stored) return 1;
  HttpFailure failure = run.failure;
  if (failure == kHttpFailureNone) {
    failure = ended_.load() ? kHttpFailureStopped : kHttpFailureConnection;
  }
  last_failure_.store(failure);
  return 0;
}

void QueuedDownloader::Work(QueueRun* run, size_t connection) {
  Task task;
  while (NextTask(run, &task)) RunTask(run, connection, task);
}

bool QueuedDownloader::NextTask(QueueRun* run, Task* task) {
  std::unique_lock<std::mutex> lock(run->mutex);
  const size_t count = run->items.size();
  // The source for a new piece: the least busy of those still in use,
  // taken in turn when several are equally busy. An item whose size the
  // connected server never told comes from it alone: the first answer sets
  // the size every other is held to.
  const auto pick_source = [this, run](bool mirrors_allowed) {
    const size_t sources = mirrors_allowed ? run->load.size() : 1;
    size_t best = 0;
    bool found = false;
    for (size_t k = 0; k < sources; ++k) {
      const size_t source = (run->rotation + k) % sources;
      if (source > 0 && mirror_dropped_[source - 1]) continue;
      if (!found || run->load[source] < run->load[best]) best = source;
      found = true;
    }
    ++run->rotation;
    return best;
  };
  const auto take = [&](size_t index, size_t piece) {
    QueueRun::Item& item = *run->items[index];
    task->item = index;
    task->piece = piece;
    task->sink = item.pieces[piece].sink.get();
    task->source = pick_source(item.announced.has_value());
    item.pieces[piece].running = true;
    ++item.running;
    ++run->load[task->source];
  };
  while (true) {
    if (ended_.load()) return false;
    const size_t limit = std::min(count, run->failed);

    while (!run->waiting.empty()) {
      const auto [index, piece] = run->waiting.back();
      run->waiting.pop_back();
      if (index >= limit ||
          run->items[index]->state != QueueRun::State::kActive) {
        continue;
      }
      take(index, piece);
      return true;
    }

    // An item to start: one to fetch again, else the next in the queue.
    std::optional<size_t> start;
    while (!start && !run->restarts.empty()) {
      const size_t index = run->restarts.front();
      run->restarts.erase(run->restarts.begin());
      if (index < limit) start = index;
    }
    if (!start && run->next < limit) start = run->next++;
    if (start) {
      QueueRun::Item& item = *run->items[*start];
      if (!item.target) {
        FailItem(run, *start, kHttpFailureBadRequest);
        continue;
      }
      const std::string temp_path = item.local_path + std::string(kTempSuffix);
      const std::string parent = ParentDirectory(item.local_path);
      if (!parent.empty() && !env_->FileExists(parent)) {
        env_->CreateDirectories(parent);
      }
      std::unique_ptr<PositionalFile> file;
      const Status opened = env_->NewPositionalFile(temp_path, &file);
      item.state = QueueRun::State::kActive;
      item.discarded = false;
      if (!opened.ok()) {
        FailItem(run, *start, WriteFailure(opened));
        continue;
      }
      item.file.file = std::move(file);
      item.file.size = item.announced;
      item.file.pieces = 1;
      item.file.hashing = true;
      item.file.hashed = 0;
      item.file.md5.Reset();
      // A start over from nothing: whatever an earlier attempt counted
      // went with its discarded file.
      item.file.Uncount(item.file.received.load());
      item.file.cancelled.store(false);
      item.pieces.clear();
      auto sink = std::make_unique<FileSink>(this);
      sink->env = env_;
      sink->temp_path = temp_path;
      sink->file = item.file.file;
      sink->item = &item.file;
      sink->announced = item.announced;
      sink->end = item.announced.value_or(FileSink::kOpenEnd);
      sink->need_size = true;
      sink->limit = item.announced.value_or(kMaxQueueItemBytes);
      sink->over_limit =
          item.announced ? kHttpFailureBodyTooLong : kHttpFailureTooLarge;
      sink->watch.SetFloor(floor_bytes_, floor_window_millis_);
      sink->watch.SetCancel(&item.file.cancelled);
      const size_t index = *start;
      sink->on_progress = [this, run, index] { PublishProgress(run, index); };
      item.pieces.push_back(QueueRun::Piece{std::move(sink), false, false});
      take(index, 0);
      return true;
    }

    // Nothing new to start: take over the back half of the largest range
    // still to come, when it is worth a request of its own.
    const auto worth_splitting = [this](const FileSink& sink, uint64_t half) {
      if (half < kMinRatedSplitBytes) return false;
      const auto now = Clock::now();
      const auto flowing = sink.first_byte_at ? now - *sink.first_byte_at : Clock::duration{};
      const uint64_t flowed = sink.stored - sink.stored_at_first_byte;
      // A rate needs a little time and a few bytes behind it.
      if (flowing < std::chrono::milliseconds(50) || flowed < kMinRatedSplitBytes) {
        return half >= kMinSplitBytes;
      }
      const double seconds_for_half =
          static_cast<double>(half) * std::chrono::duration<double>(flowing).count() /
          static_cast<double>(flowed);
      const double request_seconds = static_cast<double>(first_byte_nanos_.load()) / 1e9;
      return seconds_for_half > request_seconds;
    };
    std::optional<std::pair<size_t, size_t>> largest;
    uint64_t largest_left = 0;
    // Only items started so far can be in flight.
    const size_t started = std::min(limit, run->next);
    for (size_t index = 0; index < started; ++index) {
      QueueRun::Item& item = *run->items[index];
      if (item.state != QueueRun::State::kActive) continue;
      std::lock_guard<std::mutex> item_lock(item.file.mutex);
      if (!item.file.size) continue;
      for (size_t p = 0; p < item.pieces.size(); ++p) {
        const FileSink& sink = *item.pieces[p].sink;
        if (!item.pieces[p].running || item.pieces[p].done) continue;
        const uint64_t at = sink.start + sink.stored;
        const uint64_t left = sink.end > at ? sink.end - at : 0;
        if (left > largest_left) {
          largest_left = left;
          largest = std::make_pair(index, p);
        }
      }
    }
    bool split = false;
    if (largest) {
      QueueRun::Item& item = *run->items[largest->first];
      std::lock_guard<std::mutex> item_lock(item.file.mutex);
      split = worth_splitting(*item.pieces[largest->second].sink, largest_left / 2);
    }
    if (split) {
      QueueRun::Item& item = *run->items[largest->first];
      FileSink& old = *item.pieces[largest->second].sink;
      auto sink = std::make_unique<FileSink>(this);
      {
        std::lock_guard<std::mutex> item_lock(item.file.mutex);
        // The piece wrote on since it was measured, and may even have
        // finished: split what is left now, if that is still worth it, or
        // a piece past the end of the file would be asked for.
        const uint64_t at = old.start + old.stored;
        const uint64_t half = old.end > at ? (old.end - at) / 2 : 0;
        if (half < kMinRatedSplitBytes) continue;
        sink->start = old.end - half;
        sink->end = old.end;
        old.end = sink->start;
        ++item.file.pieces;
        sink->announced = item.file.size;
      }
      sink->env = env_;
      sink->temp_path = old.temp_path;
      sink->file = item.file.file;
      sink->item = &item.file;
      sink->need_size = true;
      sink->limit = old.limit;
      sink->over_limit = old.over_limit;
      sink->watch.SetFloor(floor_bytes_, floor_window_millis_);
      sink->watch.SetCancel(&item.file.cancelled);
      const size_t index = largest->first;
      sink->on_progress = [this, run, index] { PublishProgress(run, index); };
      item.pieces.push_back(QueueRun::Piece{std::move(sink), false, false});
      take(index, item.pieces.size() - 1);
      return true;
    }

    // Done once no item is in flight and none is left to start.
    bool in_flight = false;
    for (size_t index = 0; index < run->next && !in_flight; ++index) {
      const QueueRun::Item& item = *run->items[index];
      in_flight = item.state == QueueRun::State::kActive ||
                  item.state == QueueRun::State::kStoring;
    }
    if (!in_flight && run->restarts.empty() && run->waiting.empty() &&
        run->next >= limit) {
      run->changed.notify_all();
      return false;
    }
    run->changed.wait_for(lock, kIdlePoll);
  }
}

void QueuedDownloader::RunTask(QueueRun* run, size_t connection,
                               const Task& task) {
  QueueRun::Item& item = *run->items[task.item];
  FileSink* sink = task.sink;
  Target target = *item.target;
  if (task.source > 0) {
    const Mirror& mirror = mirrors_[task.source - 1];
    target.host = mirror.host;
    target.port = mirror.port;
    target.secure = mirror.secure;
    target.path = mirror.base_path + JoinRemotePath("", item.remote_name);
  }
  sink->strict_ranges = task.source > 0;
  sink->status = Status::OK();
  const uint64_t received_before = item.file.received.load();
  HttpFailure why = TargetRefusal(target);
  bool complete = false;
  if (why == kHttpFailureNone) {
    // A mirror gets no second chance for an attempt that got nowhere: the
    // work goes on elsewhere at once.
    // Memory that runs out inside a transfer (a 32-bit host's address
    // space is small) fails this item like any other failure: an exception
    // must not end the host from a worker thread, nor leave the piece
    // marked as running for the others to wait on.
    try {
      complete = RunWithRetries(connection, target, sink,
                                task.source > 0 ? 0 : retries_, &why);
    } catch (const std::exception&) {
      complete = false;
      why = kHttpFailureBadRequest;
    }
  }

  std::unique_lock<std::mutex> lock(run->mutex);
  --run->load[task.source];
  --item.running;
  item.pieces[task.piece].running = false;
  if (item.file.received.load() != received_before || complete) {
    item.sources |= 1u << task.source;
  }
  run->changed.notify_all();
  if (item.state != QueueRun::State::kActive) {
    if (item.state == QueueRun::State::kStopped && item.running == 0) {
      Discard(run, task.item);
    }
    return;
  }
  if (!complete) {
    const bool local_fault =
        why == kHttpFailureDiskFull || why == kHttpFailureWriteFailed;
    if (task.source > 0 && !local_fault && !ended_.load() &&
        !item.file.cancelled.load()) {
      // The mirror is left out; another source takes the piece from where
      // it got to.
      mirror_dropped_[task.source - 1] = true;
      sink->status = Status::OK();
      sink->failure = kHttpFailureNone;
      run->waiting.emplace_back(task.item, task.piece);
      return;
    }
    FailItem(run, task.item, why);
    if (item.running == 0) Discard(run, task.item);
    return;
  }
  item.pieces[task.piece].done = true;
  for (const QueueRun::Piece& piece : item.pieces) {
    if (!piece.done) return;
  }
  item.state = QueueRun::State::kStoring;
  lock.unlock();
  bool retry = false;
  bool stored = false;
  try {
    stored = StoreItem(run, task.item, &why, &retry);
  } catch (const std::exception&) {
    why = kHttpFailureBadRequest;
  }
  lock.lock();
  run->changed.notify_all();
  if (stored) {
    item.state = QueueRun::State::kStored;
    PublishStored(run, task.item);
    return;
  }
  if (retry) {
    item.state = QueueRun::State::kUnstarted;
    item.sources = 0;
    item.pieces.clear();
    {
      std::lock_guard<std::mutex> progress(progress_mutex_);
      if (shown_index_ == static_cast<int>(task.item)) shown_bytes_ = 0;
    }
    run->restarts.push_back(task.item);
    return;
  }
  item.state = QueueRun::State::kActive;
  FailItem(run, task.item, why);
  Discard(run, task.item);
}

bool QueuedDownloader::StoreItem(QueueRun* run, size_t index,
                                 HttpFailure* why, bool* retry) {
  QueueRun::Item& item = *run->items[index];
  ItemFile& file = item.file;
  Status s = file.file->Close();
  file.file.reset();
  for (QueueRun::Piece& piece : item.pieces) piece.sink->file.reset();
  const std::string temp_path = item.local_path + std::string(kTempSuffix);
  if (s.ok() && item.digest) {
    std::string actual;
    const uint64_t size = file.size.value_or(file.received.load());
    // What arrived in order was hashed on the way; the rest (pieces that
    // came ahead of it) is read once from disk. A file whose hashed bytes
    // may have changed is read whole.
    Md5 fresh;
    Md5& md5 = file.hashing ? file.md5 : fresh;
    uint64_t at = file.hashing ? file.hashed : 0;
    if (at < size) {
      std::unique_ptr<ReadableFile> in;
      s = env_->NewReadableFile(temp_path, &in);
      std::vector<char> buffer(64 * 1024);
      while (s.ok() && at < size) {
        size_t got = 0;
        s = in->Read(at, static_cast<size_t>(std::min<uint64_t>(buffer.size(), size - at)),
                     buffer.data(), &got);
        if (s.ok() && got == 0) s = Status::Corruption("file ends early");
        md5.Update(buffer.data(), got);
        at += got;
      }
    }
    actual = md5.HexFinal();
    if (s.ok() && actual != *item.digest) {
      env_->DeleteFile(temp_path);
      const uint32_t mirrors_used = item.sources & ~1u;
      if (mirrors_used != 0) {
        // Whichever mirror sent wrong bytes, none that took part is
        // trusted again; the item comes again from the others.
        std::lock_guard<std::mutex> lock(run->mutex);
        for (size_t m = 0; m < mirrors_.size(); ++m) {
          if (mirrors_used & (1u << (m + 1))) mirror_dropped_[m] = true;
        }
        *retry = true;
        return false;
      }
      *why = kHttpFailureDigestMismatch;
      return false;
    }
  }
  if (s.ok()) s = env_->RenameFile(temp_path, item.local_path);
  if (s.ok()) return true;
  *why = WriteFailure(s);
  return false;
}

void QueuedDownloader::FailItem(QueueRun* run, size_t index, HttpFailure why) {
  if (index < run->failed) {
    run->failed = index;
    run->failure = why;
  }
  // Wrong bytes are this item's fault alone: the items already in transfer
  // are sound and run to their end, so the next run need not fetch them
  // again; nothing new starts. Any other failure stops them too.
  const bool only_this = why == kHttpFailureDigestMismatch;
  for (size_t i = index; i < run->items.size(); ++i) {
    if (only_this && i > index) break;
    QueueRun::Item& item = *run->items[i];
    if (item.state != QueueRun::State::kActive) continue;
    item.state = QueueRun::State::kStopped;
    item.file.cancelled.store(true);
    if (item.running == 0) Discard(run, i);
  }
  {
    std::lock_guard<std::mutex> lock(backoff_mutex_);
    backoff_cv_.notify_all();
  }
  run->changed.notify_all();
}

void QueuedDownloader::Discard(QueueRun* run, size_t index) {
  QueueRun::Item& item = *run->items[index];
  if (item.discarded) return;
  item.discarded = true;
  item.state = QueueRun::State::kStopped;
  item.file.file.reset();
  for (QueueRun::Piece& piece : item.pieces) piece.sink->file.reset();
  env_->DeleteFile(item.local_path + std::string(kTempSuffix));
  // A failed download leaves nothing at the target, not even an older copy:
  // a caller must never take a stale file for the one it asked for.
  if (env_->FileExists(item.local_path)) env_->DeleteFile(item.local_path);
}

void QueuedDownloader::PublishProgress(QueueRun* run, size_t index) {
  const uint64_t received = run->items[index]->file.received.load();
  std::lock_guard<std::mutex> lock(progress_mutex_);
  if (shown_index_ == static_cast<int>(index)) {
    shown_bytes_ = HeldBack(received);
  }
}

void QueuedDownloader::PublishStored(QueueRun* run, size_t index) {
  std::lock_guard<std::mutex> lock(progress_mutex_);
  if (shown_index_ != static_cast<int>(index)) return;
  // Items before it are all stored, or it would not be shown: the next
  // unfinished one is after it, if any is left.
  size_t next = index + 1;
  while (next < run->items.size() &&
         run->items[next]->state == QueueRun::State::kStored) {
    ++next;
  }
  if (next == run->items.size()) {
    const QueueRun::Item& last = *run->items.back();
    shown_bytes_ = last.file.size.value_or(last.file.received.load());
    shown_index_ = static_cast<int>(run->items.size() - 1);
    return;
  }
  shown_bytes_ = HeldBack(run->items[next]->file.received.load());
  shown_index_ = static_cast<int>(next);
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

bool QueuedDownloader::FetchToFile(size_t connection, const Target& target,
                                   const std::string& local_path,
                                   uint32_t max_bytes, HttpFailure* why) {
  FileSink sink(this);
  sink.env = env_;
  sink.temp_path = local_path + std::string(kTempSuffix);
  sink.limit = max_bytes;
  sink.over_limit = kHttpFailureTooLarge;
  sink.accept_encoding = true;
  sink.watch.SetDeadline(Clock::now() + Millis(file_deadline_millis_));

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
      PrepareConnections(connection + 1);
      complete = RunWithRetries(connection, target, &sink, retries_, &failure);
    }
  }
  if (complete) {
    // Single files (the version lists, the server list) reach the disk
    // before they take their name.
    Status s = sink.file->Sync();
    if (s.ok()) s = sink.file->Close();
    sink.file.reset();
    if (s.ok()) s = env_->RenameFile(sink.temp_path, local_path);
    if (s.ok()) {
      std::lock_guard<std::mutex> lock(answered_mutex_);
      answered_by_ = target;
      answered_at_ = Clock::now();
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

bool QueuedDownloader::RunWithRetries(size_t connection, const Target& target,
                                      FileSink* sink,
                                      uint32_t fruitless_limit,
                                      HttpFailure* why) {
  const std::optional<Clock::time_point> deadline = sink->watch.deadline();
  const auto past_deadline = [&deadline] {
    return deadline && Clock::now() >= *deadline;
  };
  // Attempts in a row that took the file no further than it ever was;
  // progress resets it, so a flaky link that keeps delivering still
  // finishes, while a server whose answers keep sending the download back
  // to the start does not go on for ever. Slow windows are counted apart: a
  // trickle gains bytes with every attempt and must still come to an end.
  uint32_t fruitless = 0;
  uint64_t furthest = 0;
  while (true) {
    const uint64_t before = std::max(furthest, sink->stored);
    sink->failure = kHttpFailureNone;
    sink->watch.StartAttempt();
    sink->StartAttempt();
    const Outcome outcome = RunAttempt(connection, target, sink);
    if (outcome == Outcome::kComplete) {
      if (sink->status.ok() && sink->file != nullptr) return true;
      *why = sink->failure != kHttpFailureNone ? sink->failure
                                               : kHttpFailureWriteFailed;
      return false;
    }
    *why = sink->failure != kHttpFailureNone ? sink->failure
                                             : kHttpFailureConnection;
    if (outcome == Outcome::kFailed || !sink->status.ok()) return false;
    fruitless = sink->stored > before ? 0 : fruitless + 1;
    furthest = std::max(furthest, sink->stored);
    if (fruitless > fruitless_limit || sink->watch.slow_windows() > retries_) {
      return false;
    }
    const uint32_t shift =
        std::min<uint32_t>(fruitless == 0 ? 0 : fruitless - 1, 16);
    uint64_t wait = std::min<uint64_t>(uint64_t{first_backoff_millis_} << shift,
                                       kMaxBackoffMillis);
    if (deadline) {
      const auto left =
          std::chrono::duration_cast<Millis>(*deadline - Clock::now());
      wait = std::min<uint64_t>(
          wait, static_cast<uint64_t>(std::max<int64_t>(left.count(), 0)));
    }
    if (!WaitBackoff(static_cast<uint32_t>(wait), sink->watch.cancel())) {
      *why = kHttpFailureStopped;
      return false;
    }
    if (past_deadline()) {
      *why = kHttpFailureDeadline;
      return false;
    }
    // Decoded bytes cannot be resumed by a range of encoded ones.
    if (!sink->resumable() && !sink->Restart().ok()) {
      *why = sink->failure;
      return false;
    }
  }
}

bool QueuedDownloader::WaitBackoff(uint32_t millis,
                                   const std::atomic<bool>* cancelled) {
  std::unique_lock<std::mutex> lock(backoff_mutex_);
  return !backoff_cv_.wait_for(lock, Millis(millis), [this, cancelled] {
    return ended_.load() || (cancelled != nullptr && cancelled->load());
  });
}

}  // namespace dizedir::http
