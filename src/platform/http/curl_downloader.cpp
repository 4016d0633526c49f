#include "platform/http/curl_downloader.h"

#include <chrono>
#include <string_view>

#include "platform/http/header_values.h"
#include "platform/http/url.h"

namespace dizedir::http {

namespace {

using Clock = std::chrono::steady_clock;

// Upper bound on how long the transfer loop waits for socket activity, and
// so on how late it notices EndTransfers or a stall.
constexpr int kPollMillis = 50;
constexpr long kMaxRedirects = 5;

void EnsureCurlInitialized() {
  // curl_global_init is not thread-safe and must run once per process before
  // the first handle. It is never undone: another user of libcurl in the
  // host's process may still need it.
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

bool IsSuccess(long status) { return status >= 200 && status < 300; }

std::string UrlOf(const QueuedDownloader::Target& target) {
  return std::string(target.secure ? "https://" : "http://") +
         UrlHost(target.host) + ":" + std::to_string(target.port) +
         target.path;
}

}  // namespace

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
    const ContentRange range = http::ParseContentRange(value);
    range_start = range.start;
    range_total = range.total;
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
    if (owner->ended()) {
      ended = true;
      return true;
    }
    const auto idle = std::chrono::duration_cast<std::chrono::milliseconds>(
        now - last_activity);
    if (idle.count() >= owner->stall_timeout_millis()) {
      stalled = true;
      return true;
    }
    return false;
  }

  void Publish() {
    if (publish_progress) owner->ShowProgress(sink->stored);
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
  QueuedDownloader::FileSink* sink = transfer->sink;
  if (sink == nullptr) {
    // A size probe that got a whole body: the headers were all it needed.
    return transfer->ResponseCode() == 206 ? bytes : 0;
  }
  if (!sink->Append(std::string_view(data, bytes)).ok()) return 0;
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

CurlDownloader::CurlDownloader(Env* env) : QueuedDownloader(env) {
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

bool CurlDownloader::ProbeServer(const std::string& host, uint16_t port,
                                 uint32_t timeout_millis) {
  CURL* probe = curl_easy_init();
  if (probe == nullptr) return false;
  const std::string url = UrlOf(Target{host, port, "/", false});
  curl_easy_setopt(probe, CURLOPT_URL, url.c_str());
  curl_easy_setopt(probe, CURLOPT_CONNECT_ONLY, 1L);
  curl_easy_setopt(probe, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(probe, CURLOPT_CONNECTTIMEOUT_MS,
                   static_cast<long>(timeout_millis));
  const CURLcode result = curl_easy_perform(probe);
  curl_easy_cleanup(probe);
  return result == CURLE_OK;
}

void CurlDownloader::Shutdown() {
  DestroyHandles();
  CreateHandles();
}

void CurlDownloader::AbortTransfers() {
  std::lock_guard<std::mutex> lock(handle_mutex_);
  if (multi_ != nullptr) curl_multi_wakeup(multi_);
}

CurlDownloader::Outcome CurlDownloader::RunAttempt(const Target& target,
                                                   FileSink* sink,
                                                   bool publish_progress) {
  Transfer transfer;
  transfer.sink = sink;
  transfer.resume_from = sink->stored;
  transfer.publish_progress = publish_progress;
  PrepareRequest(target, &transfer);
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

std::optional<uint64_t> CurlDownloader::QuerySize(const Target& target) {
  {
    Transfer head;
    PrepareRequest(target, &head);
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
  PrepareRequest(target, &probe);
  curl_easy_setopt(easy_, CURLOPT_RANGE, "0-0");
  Perform(&probe);
  if (probe.ended) return std::nullopt;
  const long status = probe.ResponseCode();
  if (status == 206) return probe.range_total;
  if (status == 200) return probe.ContentLength();
  return std::nullopt;
}

void CurlDownloader::PrepareRequest(const Target& target,
                                    Transfer* transfer) {
  transfer->owner = this;
  transfer->easy = easy_;
  // Reset keeps the connection cache; it only forgets the last request's
  // options (a HEAD's NOBODY, a range).
  curl_easy_reset(easy_);
  curl_easy_setopt(easy_, CURLOPT_URL, UrlOf(target).c_str());
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

}  // namespace dizedir::http
