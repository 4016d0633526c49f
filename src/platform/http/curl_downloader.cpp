#include "platform/http/curl_downloader.h"

#include <algorithm>
#include <chrono>
#include <limits>
#include <memory>
#include <string_view>

#include "platform/http/url.h"

namespace dizedir::http {

namespace {

using Clock = std::chrono::steady_clock;

// Upper bound on how long the transfer loop waits for socket activity, and
// so on how late it notices EndTransfers or a stall.
constexpr int kPollMillis = 50;
// Longest wait between two attempts, however often they failed.
constexpr uint32_t kMaxBackoffMillis = 60000;
constexpr long kMaxRedirects = 5;

void EnsureCurlInitialized() {
  // curl_global_init is not thread-safe and must run once per process before
  // the first handle. It is never undone: another user of libcurl in the
  // host's process may still need it.
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

bool IsSuccess(long status) { return status >= 200 && status < 300; }

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() &&
         SameHost(text.substr(0, prefix.size()), prefix);
}

std::optional<uint64_t> ParseDecimal(std::string_view digits) {
  if (digits.empty() || digits.size() > 19) return std::nullopt;
  uint64_t value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  return value;
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
    text.remove_prefix(1);
  }
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' ||
                           text.back() == '\r' || text.back() == '\n')) {
    text.remove_suffix(1);
  }
  return text;
}

std::string ParentDirectory(const std::string& path) {
  const size_t sep = path.find_last_of("/\\");
  if (sep == std::string::npos || sep == 0) return std::string();
  return path.substr(0, sep);
}

}  // namespace

// The temporary file a download is written to before it is renamed into
// place.
struct CurlDownloader::FileSink {
  Env* env = nullptr;
  std::string temp_path;
  std::unique_ptr<WritableFile> file;
  uint64_t stored = 0;  // bytes in the file so far
  Status status;        // first write failure; ends the download

  Status Restart() {
    file.reset();
    stored = 0;
    status = env->NewWritableFile(temp_path, &file);
    return status;
  }
};

struct CurlDownloader::Transfer {
  CurlDownloader* owner = nullptr;
  CURL* easy = nullptr;

  // Request.
  FileSink* sink = nullptr;  // null for a size probe, whose body is unwanted
  uint64_t resume_from = 0;  // a Range request from here when nonzero
  bool publish_progress = false;

  // Response, reset at every status line (redirects bring several).
  std::optional<uint64_t> range_start;
  std::optional<uint64_t> range_total;
  bool body_started = false;
  bool discarding = false;      // the body is not the file's content
  bool restart_needed = false;  // the next attempt must start from zero
  std::optional<uint64_t> expected_total;

  // Watchdog.
  Clock::time_point last_activity;
  curl_off_t last_dlnow = 0;
  bool stalled = false;
  bool ended = false;

  void ResetResponse() {
    range_start.reset();
    range_total.reset();
    body_started = false;
    discarding = false;
    expected_total.reset();
  }

  long ResponseCode() const {
    long status = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    return status;
  }

  std::optional<uint64_t> ContentLength() const {
    curl_off_t length = -1;
    curl_easy_getinfo(easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
    if (length < 0) return std::nullopt;
    return static_cast<uint64_t>(length);
  }

  // "bytes 100-199/1000" or "bytes */1000".
  void ParseContentRange(std::string_view value) {
    value = Trim(value);
    if (!StartsWithNoCase(value, "bytes")) return;
    value = Trim(value.substr(5));
    const size_t slash = value.find('/');
    if (slash == std::string_view::npos) return;
    range_total = ParseDecimal(Trim(value.substr(slash + 1)));
    const std::string_view span = value.substr(0, slash);
    const size_t dash = span.find('-');
    if (dash != std::string_view::npos) {
      range_start = ParseDecimal(Trim(span.substr(0, dash)));
    }
  }

  // Decides, at the first byte of a body, what the body is: the rest of
  // the file, the whole file again, or something to throw away.
  void StartBody() {
    body_started = true;
    const long status = ResponseCode();
    if (!IsSuccess(status)) {
      discarding = true;
      return;
    }
    if (sink == nullptr) return;
    if (status == 206) {
      if (range_start.value_or(0) != resume_from) {
        // Not the piece asked for: unusable, and the next attempt starts
        // afresh rather than trusting this server's ranges.
        discarding = true;
        restart_needed = true;
        return;
      }
      if (range_total) expected_total = range_total;
    } else {
      // A whole body although a range was asked for: the server ignores
      // Range, so the file starts over.
      if (resume_from > 0 && !sink->Restart().ok()) return;
      resume_from = 0;
      if (const auto length = ContentLength()) expected_total = length;
    }
  }

  // True when the transfer must end now: EndTransfers came, or nothing has
  // arrived for the stall timeout.
  bool ShouldAbort(curl_off_t dlnow) {
    const Clock::time_point now = Clock::now();
    if (dlnow != last_dlnow) {
      last_dlnow = dlnow;
      last_activity = now;
    }
    if (owner->ended_.load()) {
      ended = true;
      return true;
    }
    const auto idle = std::chrono::duration_cast<std::chrono::milliseconds>(
        now - last_activity);
    if (idle.count() >= owner->stall_timeout_millis_) {
      stalled = true;
      return true;
    }
    return false;
  }

  void Publish() {
    if (!publish_progress) return;
    // The last byte is held back until the file is renamed into place: a
    // watcher that sees the full size may go on to read the file at once.
    const uint64_t shown = sink->stored > 0 ? sink->stored - 1 : 0;
    owner->received_bytes_.store(static_cast<uint32_t>(shown));
  }
};

namespace {

size_t OnHeader(char* data, size_t size, size_t count, void* user) {
  auto* transfer = static_cast<CurlDownloader::Transfer*>(user);
  const size_t bytes = size * count;
  transfer->last_activity = Clock::now();
  const std::string_view line(data, bytes);
  if (StartsWithNoCase(line, "HTTP/")) {
    transfer->ResetResponse();
  } else if (StartsWithNoCase(line, "content-range:")) {
    transfer->ParseContentRange(line.substr(14));
  }
  return bytes;
}

size_t OnBody(char* data, size_t size, size_t count, void* user) {
  auto* transfer = static_cast<CurlDownloader::Transfer*>(user);
  const size_t bytes = size * count;
  transfer->last_activity = Clock::now();
  if (!transfer->body_started) transfer->StartBody();
  if (transfer->restart_needed) return 0;  // ends the attempt at once
  if (transfer->discarding) return bytes;
  CurlDownloader::FileSink* sink = transfer->sink;
  if (sink == nullptr) {
    // A size probe that got a whole body: the headers were all it needed.
    return transfer->ResponseCode() == 206 ? bytes : 0;
  }
  if (!sink->status.ok()) return 0;
  sink->status = sink->file->Append(std::string_view(data, bytes));
  if (!sink->status.ok()) return 0;
  sink->stored += bytes;
  transfer->Publish();
  return bytes;
}

// Called by curl at every turn of the transfer loop, data or not, which the
// loop's short poll makes frequent.
int OnProgress(void* user, curl_off_t, curl_off_t dlnow, curl_off_t,
               curl_off_t) {
  auto* transfer = static_cast<CurlDownloader::Transfer*>(user);
  return transfer->ShouldAbort(dlnow) ? 1 : 0;
}

}  // namespace

CurlDownloader::CurlDownloader(Env* env) : env_(env) {
  EnsureCurlInitialized();
  CreateHandles();
}

CurlDownloader::~CurlDownloader() { DestroyHandles(); }

void CurlDownloader::CreateHandles() {
  std::lock_guard<std::mutex> lock(handle_mutex_);
  multi_ = curl_multi_init();
  easy_ = curl_easy_init();
}

void CurlDownloader::DestroyHandles() {
  std::lock_guard<std::mutex> lock(handle_mutex_);
  // The multi handle owns the connection cache: cleaning it up is what
  // closes the kept-alive connection.
  if (easy_ != nullptr) curl_easy_cleanup(easy_);
  if (multi_ != nullptr) curl_multi_cleanup(multi_);
  easy_ = nullptr;
  multi_ = nullptr;
}

int CurlDownloader::Connect(const char* host, uint32_t port) {
  ended_.store(false);
  HostPort server;
  if (host == nullptr || !ParseHostPort(host, &server)) return 0;
  if (!server.port) {
    server.port = (port >= 1 && port <= 65535) ? static_cast<uint16_t>(port)
                                               : uint16_t{80};
  }
  connect_host_ = server.host;
  connect_port_ = *server.port;

  CURL* probe = curl_easy_init();
  if (probe == nullptr) return 0;
  const std::string url =
      "http://" + UrlHost(server.host) + ":" + std::to_string(*server.port) +
      "/";
  curl_easy_setopt(probe, CURLOPT_URL, url.c_str());
  curl_easy_setopt(probe, CURLOPT_CONNECT_ONLY, 1L);
  curl_easy_setopt(probe, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(probe, CURLOPT_CONNECTTIMEOUT_MS,
                   static_cast<long>(std::max<uint32_t>(
                       stall_timeout_millis_, 1)));
  const CURLcode result = curl_easy_perform(probe);
  curl_easy_cleanup(probe);
  return result == CURLE_OK ? 1 : 0;
}

void CurlDownloader::Shutdown() {
  DestroyHandles();
  CreateHandles();
}

int CurlDownloader::DownloadFile(const char* url, const char* local_path) {
  if (local_path == nullptr || *local_path == '\0') return 0;
  const std::string local(local_path);
  Url parsed;
  if (url == nullptr || !ParseUrl(url, &parsed)) {
    env_->DeleteFile(local);
    return 0;
  }
  // Callers build URLs from a server address that leaves the port out; the
  // port they connected with is the one they mean.
  if (!parsed.server.port && SameHost(parsed.server.host, connect_host_)) {
    parsed.server.port = connect_port_;
  }
  return FetchToFile(FormatUrl(parsed), local, /*publish_progress=*/false)
             ? 1
             : 0;
}

uint32_t CurlDownloader::GetFileSize(const char* remote_name) {
  const std::string base = ServerBase();
  if (base.empty() || remote_name == nullptr) return 0;
  const std::optional<uint64_t> size =
      QuerySize(base + JoinRemotePath("", remote_name));
  if (!size || *size > std::numeric_limits<uint32_t>::max()) return 0;
  return static_cast<uint32_t>(*size);
}

uint32_t CurlDownloader::GetReceivedBytes() { return received_bytes_.load(); }

int CurlDownloader::GetCurrentIndex() { return current_index_.load(); }

void CurlDownloader::AddRemoteFile(const char* remote_name) {
  if (queue_.empty()) {
    received_bytes_.store(0);
    current_index_.store(0);
  }
  queue_.push_back(QueueItem{remote_name ? remote_name : "", std::nullopt});
}

void CurlDownloader::AddLocalFile(const char* local_path) {
  for (auto it = queue_.rbegin(); it != queue_.rend(); ++it) {
    if (!it->local_path) {
      it->local_path = local_path ? local_path : "";
      return;
    }
  }
}

int CurlDownloader::DownloadQueue() {
  // The queue is consumed whatever the outcome, so a later run starts clean.
  std::vector<QueueItem> items;
  items.swap(queue_);
  const std::string base = ServerBase();
  for (size_t i = 0; i < items.size(); ++i) {
    const QueueItem& item = items[i];
    if (base.empty() || !item.local_path || item.local_path->empty()) {
      return 0;
    }
    // Bytes first, index second: a watcher that sees the new index must
    // not pair it with the previous item's full count.
    received_bytes_.store(0);
    current_index_.store(static_cast<int>(i));
    const std::string url = base + JoinRemotePath(remote_dir_,
                                                  item.remote_name);
    if (!FetchToFile(url, *item.local_path, /*publish_progress=*/true)) {
      return 0;
    }
  }
  return 1;
}

void CurlDownloader::EndTransfers() {
  ended_.store(true);
  std::lock_guard<std::mutex> lock(handle_mutex_);
  backoff_cv_.notify_all();
  if (multi_ != nullptr) curl_multi_wakeup(multi_);
}

void CurlDownloader::SetRemoteDir(const char* dir) {
  remote_dir_ = dir ? dir : "";
}

void CurlDownloader::SetHost(const char* host) { set_host_ = host ? host : ""; }

void CurlDownloader::SetStallTimeout(uint32_t millis) {
  stall_timeout_millis_ = std::max<uint32_t>(millis, 1);
}

void CurlDownloader::SetRetryPolicy(uint32_t retries,
                                    uint32_t first_backoff_millis) {
  retries_ = retries;
  first_backoff_millis_ = first_backoff_millis;
}

std::string CurlDownloader::ServerBase() const {
  HostPort server;
  if (set_host_.empty() || !ParseHostPort(set_host_, &server)) {
    server = HostPort{connect_host_, std::nullopt};
  }
  if (server.host.empty()) return std::string();
  if (!server.port) {
    server.port =
        SameHost(server.host, connect_host_) ? connect_port_ : uint16_t{80};
  }
  return "http://" + UrlHost(server.host) + ":" +
         std::to_string(*server.port);
}

bool CurlDownloader::FetchToFile(const std::string& url,
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
        const Outcome outcome = RunAttempt(url, &sink, publish_progress);
        if (outcome == Outcome::kComplete) {
          complete = true;
          break;
        }
        if (outcome == Outcome::kFailed) break;
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

CurlDownloader::Outcome CurlDownloader::RunAttempt(const std::string& url,
                                                   FileSink* sink,
                                                   bool publish_progress) {
  Transfer transfer;
  transfer.sink = sink;
  transfer.resume_from = sink->stored;
  transfer.publish_progress = publish_progress;
  PrepareRequest(url, &transfer);
  const std::string range =
      std::to_string(transfer.resume_from) + "-";
  if (transfer.resume_from > 0) {
    curl_easy_setopt(easy_, CURLOPT_RANGE, range.c_str());
  }
  const CURLcode result = Perform(&transfer);

  if (transfer.ended) return Outcome::kFailed;
  if (!sink->status.ok()) return Outcome::kFailed;  // the disk, not the net
  if (transfer.restart_needed) {
    if (!sink->Restart().ok()) return Outcome::kFailed;
    return Outcome::kRetry;
  }
  if (transfer.stalled) return Outcome::kRetry;

  const long status = transfer.ResponseCode();
  if (status == 0) return Outcome::kRetry;  // no answer at all
  if (!IsSuccess(status)) {
    if (status == 416 && transfer.resume_from > 0) {
      // The file changed under us; only a fresh start can help.
      if (!sink->Restart().ok()) return Outcome::kFailed;
      return Outcome::kRetry;
    }
    return Outcome::kFailed;
  }
  if (result == CURLE_TOO_MANY_REDIRECTS ||
      result == CURLE_UNSUPPORTED_PROTOCOL ||
      result == CURLE_URL_MALFORMAT) {
    return Outcome::kFailed;
  }
  if (result != CURLE_OK) return Outcome::kRetry;
  if (!transfer.body_started) {
    // An empty body: the resource is empty, whatever a resume assumed.
    if (transfer.resume_from > 0 && !sink->Restart().ok()) {
      return Outcome::kFailed;
    }
    return Outcome::kComplete;
  }
  if (transfer.expected_total && sink->stored != *transfer.expected_total) {
    return Outcome::kRetry;
  }
  return Outcome::kComplete;
}

std::optional<uint64_t> CurlDownloader::QuerySize(const std::string& url) {
  if (ended_.load()) return std::nullopt;
  {
    Transfer head;
    PrepareRequest(url, &head);
    curl_easy_setopt(easy_, CURLOPT_NOBODY, 1L);
    const CURLcode result = Perform(&head);
    if (head.ended) return std::nullopt;
    const long status = head.ResponseCode();
    if (result == CURLE_OK && IsSuccess(status)) {
      if (const auto length = head.ContentLength()) return length;
    }
    // Absent is absent; asking again another way would not change that.
    if (status == 404 || status == 410) return std::nullopt;
  }
  Transfer probe;
  PrepareRequest(url, &probe);
  curl_easy_setopt(easy_, CURLOPT_RANGE, "0-0");
  Perform(&probe);
  if (probe.ended) return std::nullopt;
  const long status = probe.ResponseCode();
  if (status == 206) return probe.range_total;
  if (status == 200) return probe.ContentLength();
  return std::nullopt;
}

void CurlDownloader::PrepareRequest(const std::string& url,
                                    Transfer* transfer) {
  transfer->owner = this;
  transfer->easy = easy_;
  // Reset keeps the connection cache; it only forgets the last request's
  // options (a HEAD's NOBODY, a range).
  curl_easy_reset(easy_);
  curl_easy_setopt(easy_, CURLOPT_URL, url.c_str());
  curl_easy_setopt(easy_, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy_, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(easy_, CURLOPT_MAXREDIRS, kMaxRedirects);
  curl_easy_setopt(easy_, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy_, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy_, CURLOPT_USERAGENT, "dizhttp/1.0");
  curl_easy_setopt(easy_, CURLOPT_BUFFERSIZE, 512L * 1024);
  curl_easy_setopt(easy_, CURLOPT_TCP_KEEPALIVE, 1L);
  curl_easy_setopt(easy_, CURLOPT_HEADERFUNCTION, &OnHeader);
  curl_easy_setopt(easy_, CURLOPT_HEADERDATA, transfer);
  curl_easy_setopt(easy_, CURLOPT_WRITEFUNCTION, &OnBody);
  curl_easy_setopt(easy_, CURLOPT_WRITEDATA, transfer);
  curl_easy_setopt(easy_, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(easy_, CURLOPT_XFERINFOFUNCTION, &OnProgress);
  curl_easy_setopt(easy_, CURLOPT_XFERINFODATA, transfer);
}

CURLcode CurlDownloader::Perform(Transfer* transfer) {
  transfer->last_activity = Clock::now();
  if (curl_multi_add_handle(multi_, easy_) != CURLM_OK) {
    return CURLE_FAILED_INIT;
  }
  CURLcode result = CURLE_OK;
  int running = 1;
  while (running > 0) {
    if (curl_multi_perform(multi_, &running) != CURLM_OK) {
      result = CURLE_FAILED_INIT;
      break;
    }
    if (running == 0) break;
    if (curl_multi_poll(multi_, nullptr, 0, kPollMillis, nullptr) !=
        CURLM_OK) {
      result = CURLE_FAILED_INIT;
      break;
    }
  }
  int left = 0;
  while (CURLMsg* message = curl_multi_info_read(multi_, &left)) {
    if (message->msg == CURLMSG_DONE && message->easy_handle == easy_) {
      result = message->data.result;
    }
  }
  curl_multi_remove_handle(multi_, easy_);
  return result;
}

bool CurlDownloader::WaitBackoff(uint32_t millis) {
  std::unique_lock<std::mutex> lock(handle_mutex_);
  return !backoff_cv_.wait_for(lock, std::chrono::milliseconds(millis),
                               [this] { return ended_.load(); });
}

}  // namespace dizedir::http
