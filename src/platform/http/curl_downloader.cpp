#include "platform/http/curl_downloader.h"

#include <chrono>
#include <string_view>

#include "platform/http/header_values.h"
#include "platform/http/url.h"

namespace dizedir::http {

namespace {

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

bool IsSuccess(int status) { return status >= 200 && status < 300; }

std::string UrlOf(const QueuedDownloader::Target& target) {
  return std::string(target.secure ? "https://" : "http://") +
         UrlHost(target.host) + ":" + std::to_string(target.port) +
         target.path;
}

}  // namespace

struct CurlDownloader::Transfer {
  CurlDownloader* owner = nullptr;
  CURL* easy = nullptr;
  Target target;

  // Request.
  FileSink* sink = nullptr;  // null for a size query, whose body is unwanted
  Watch* watch = nullptr;

  // Response, started again at every status line (redirects bring several).
  ResponseHead head;
  uint64_t header_bytes = 0;
  bool head_complete = false;  // the blank line after a final answer's head
  bool begun = false;          // the head went to sink->Begin
  FileSink::Plan plan = FileSink::Plan::kWrite;
  uint64_t probe_body = 0;  // body bytes of a size query or a redirect

  // Why the transfer was cut short by us, if it was.
  HttpFailure aborted = kHttpFailureNone;  // the watch's verdict
  HttpFailure refused = kHttpFailureNone;  // an answer we would not take

  bool IsFinal() const {
    return head.status >= 200 && (head.status < 300 || head.status >= 400);
  }

  void StartResponse(int status) {
    head = ResponseHead{};
    head.status = status;
    header_bytes = 0;
    head_complete = false;
  }

  // Reads one header line of the current answer; false ends the transfer.
  bool OnHeaderLine(std::string_view line) {
    header_bytes += line.size();
    if (header_bytes > kMaxHeaderBytes) {
      refused = kHttpFailureBadResponse;
      return false;
    }
    if (StartsWithNoCase(line, "HTTP/")) {
      const std::optional<int> status = ParseStatusLine(line);
      if (!status) {
        refused = kHttpFailureBadResponse;
        return false;
      }
      StartResponse(*status);
      header_bytes = line.size();
      return true;
    }
    if (line == "\r\n" || line == "\n") {
      head_complete = true;
      if (sink != nullptr && IsFinal() && !begun) return BeginBody();
      return true;
    }
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos) return true;  // a folded line
    const std::string_view name = line.substr(0, colon + 1);
    const std::string_view value = line.substr(colon + 1);
    const auto is = [&name](std::string_view wanted) {
      return name.size() == wanted.size() && StartsWithNoCase(name, wanted);
    };
    if (is("content-length:")) {
      const std::optional<uint64_t> length = ParseContentLength(value);
      if (!length ||
          (head.content_length && *head.content_length != *length)) {
        head.malformed = true;
      }
      head.content_length = length;
    } else if (is("content-range:")) {
      if (head.content_range) head.malformed = true;
      head.content_range = ParseContentRange(value);
    } else if (is("content-encoding:")) {
      const ContentCoding coding = ParseContentCoding(value);
      // Several codings, in one header or in more, are more than is undone.
      head.coding = head.coding == ContentCoding::kIdentity
                        ? coding
                        : ContentCoding::kUnsupported;
    } else if (is("transfer-encoding:")) {
      // libcurl undoes chunked itself and nothing else.
      std::string_view coding = value;
      while (!coding.empty() &&
             (coding.front() == ' ' || coding.front() == '\t')) {
        coding.remove_prefix(1);
      }
      if (!StartsWithNoCase(coding, "chunked")) head.malformed = true;
    } else if (is("location:") && head.status >= 300 && head.status < 400) {
      const HttpFailure refusal = owner->RedirectRefusal(target, value);
      if (refusal != kHttpFailureNone) {
        refused = refusal;
        return false;
      }
    }
    return true;
  }

  // Hands the final answer's head to the sink; false when the answer is no
  // use and the transfer should end here.
  bool BeginBody() {
    begun = true;
    plan = sink->Begin(head);
    return plan == FileSink::Plan::kWrite || plan == FileSink::Plan::kDiscard;
  }

  // True when the transfer must end now, for a reason of the watch's.
  bool ShouldAbort() {
    const HttpFailure verdict = watch->Check();
    if (verdict == kHttpFailureNone) return false;
    aborted = verdict;
    return true;
  }

};

namespace {

size_t OnHeader(char* data, size_t size, size_t count, void* user) {
  auto* transfer = static_cast<CurlDownloader::Transfer*>(user);
  const size_t bytes = size * count;
  transfer->watch->Arrived(0);
  return transfer->OnHeaderLine(std::string_view(data, bytes)) ? bytes : 0;
}

size_t OnBody(char* data, size_t size, size_t count, void* user) {
  auto* transfer = static_cast<CurlDownloader::Transfer*>(user);
  const size_t bytes = size * count;
  QueuedDownloader::FileSink* sink = transfer->sink;
  if (sink == nullptr) {
    // A size query needs the headers alone; a one-byte range body may come
    // along, anything more is cut off.
    transfer->watch->Arrived(0);
    transfer->probe_body += bytes;
    return transfer->head.status == 206 &&
                   transfer->probe_body <= QueuedDownloader::kMaxDiscardBytes
               ? bytes
               : 0;
  }
  if (!transfer->begun) {
    if (!transfer->IsFinal()) {
      // The body of a redirect on the way: not the file, and bounded.
      transfer->watch->Arrived(0);
      transfer->probe_body += bytes;
      return transfer->probe_body <= QueuedDownloader::kMaxDiscardBytes ? bytes
                                                                        : 0;
    }
    if (!transfer->BeginBody()) return 0;
  }
  if (!sink->Append(std::string_view(data, bytes)).ok()) return 0;
  // The rest of the answer is another piece's: ending here closes this
  // connection, which the next request opens again.
  if (sink->satisfied()) return 0;
  return bytes;
}

// Called by curl at every turn of the transfer loop, data or not, which the
// loop's short poll makes frequent.
int OnProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  auto* transfer = static_cast<CurlDownloader::Transfer*>(user);
  return transfer->ShouldAbort() ? 1 : 0;
}

// OpenSSL's verdicts on a chain (X509_V_ERR_*), as libcurl reports them
// through CURLINFO_SSL_VERIFYRESULT; Debian's libcurl uses OpenSSL.
constexpr long kVerifyOk = 0;
// What libcurl records when the chain was fine but its own check of the
// host name failed.
constexpr long kVerifyUnspecified = 1;
constexpr long kVerifyNotYetValid = 9;
constexpr long kVerifyExpired = 10;
constexpr long kVerifyHostMismatch = 62;

// What a failed certificate check means. libcurl reports a chain that
// OpenSSL refused with OpenSSL's reason; a chain OpenSSL accepted but whose
// names do not include the host fails libcurl's own check afterwards, with
// no reason of OpenSSL's ("ok" or "unspecified", by libcurl's version).
HttpFailure CertificateFailure(CURL* easy) {
  long verdict = kVerifyOk;
  if (curl_easy_getinfo(easy, CURLINFO_SSL_VERIFYRESULT, &verdict) !=
      CURLE_OK) {
    return kHttpFailureTlsUntrusted;
  }
  switch (verdict) {
    case kVerifyOk:
    case kVerifyUnspecified:
    case kVerifyHostMismatch:
      return kHttpFailureTlsWrongName;
    case kVerifyNotYetValid:
    case kVerifyExpired:
      return kHttpFailureTlsExpired;
    default:
      return kHttpFailureTlsUntrusted;
  }
}

// Transport errors another attempt cannot cure, and what they mean.
std::optional<HttpFailure> PermanentError(CURL* easy, CURLcode result) {
  switch (result) {
    case CURLE_PEER_FAILED_VERIFICATION:
      return CertificateFailure(easy);
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
      return kHttpFailureTlsUntrusted;
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_SHUTDOWN_FAILED:
      return kHttpFailureTls;
    case CURLE_URL_MALFORMAT:
      return kHttpFailureBadRequest;
    case CURLE_TOO_MANY_REDIRECTS:
      return kHttpFailureRedirect;
    case CURLE_UNSUPPORTED_PROTOCOL:  // HTTP/0.9, a redirect to ftp:
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_BAD_CONTENT_ENCODING:
    case CURLE_FILESIZE_EXCEEDED:
      return kHttpFailureBadResponse;
    default:
      return std::nullopt;
  }
}

// A handshake that failed without a verdict on the certificate: a server
// that does not speak TLS there, or a link that dropped mid-handshake.
// Retried like a dropped connection, under its own reason.
bool TransientTlsError(CURLcode result) {
  return result == CURLE_SSL_CONNECT_ERROR;
}

}  // namespace

CurlDownloader::CurlDownloader(Env* env) : QueuedDownloader(env) {
  EnsureCurlInitialized();
  request_headers_ =
      curl_slist_append(nullptr, "Accept-Encoding: identity");
  PrepareConnections(1);
}

CurlDownloader::~CurlDownloader() {
  DestroyHandles();
  curl_slist_free_all(request_headers_);
}

void CurlDownloader::PrepareConnections(size_t count) {
  std::lock_guard<std::mutex> lock(handle_mutex_);
  while (connections_.size() < count) {
    auto handles = std::make_unique<Handles>();
    handles->multi = curl_multi_init();
    handles->easy = curl_easy_init();
    connections_.push_back(std::move(handles));
  }
}

void CurlDownloader::DestroyHandles() {
  std::lock_guard<std::mutex> lock(handle_mutex_);
  // The multi handle owns the connection cache: cleaning it up is what
  // closes the kept-alive connection.
  for (auto& handles : connections_) {
    if (handles->easy != nullptr) curl_easy_cleanup(handles->easy);
    if (handles->multi != nullptr) curl_multi_cleanup(handles->multi);
  }
  connections_.clear();
}

bool CurlDownloader::ProbeServer(const std::string& host, uint16_t port,
                                 uint32_t timeout_millis) {
  CURL* probe = curl_easy_init();
  if (probe == nullptr) return false;
  // Plain TCP even for a TLS server: the certificate is the first
  // transfer's to judge, with a reason the caller can report.
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
  PrepareConnections(1);
}

void CurlDownloader::AbortTransfers() {
  std::lock_guard<std::mutex> lock(handle_mutex_);
  for (auto& handles : connections_) {
    if (handles->multi != nullptr) curl_multi_wakeup(handles->multi);
  }
}

CurlDownloader::Outcome CurlDownloader::RunAttempt(size_t connection,
                                                   const Target& target,
                                                   FileSink* sink) {
  Handles* handles = connections_[connection].get();
  CURL* const easy = handles->easy;
  Transfer transfer;
  transfer.sink = sink;
  transfer.watch = &sink->watch;
  PrepareRequest(easy, target, &transfer);
  const std::string range = sink->RangeSpec();
  if (!range.empty()) {
    curl_easy_setopt(easy, CURLOPT_RANGE, range.c_str());
  }
  const CURLcode result = Perform(handles, &transfer);

  if (sink->satisfied()) return sink->End(true);
  if (!sink->status.ok()) return Outcome::kFailed;  // refused or the disk
  if (transfer.aborted != kHttpFailureNone) {
    return sink->Abandon(transfer.aborted);
  }
  if (transfer.refused != kHttpFailureNone) {
    sink->failure = transfer.refused;
    return Outcome::kFailed;
  }
  if (transfer.begun && transfer.plan == FileSink::Plan::kRetry) {
    return Outcome::kRetry;  // the sink has said why and started over
  }
  if (const std::optional<HttpFailure> permanent =
          PermanentError(easy, result)) {
    sink->failure = *permanent;
    return Outcome::kFailed;
  }
  if (TransientTlsError(result)) return sink->Abandon(kHttpFailureTls);
  if (!transfer.begun) {
    // No final answer got as far as its body: none at all, or one whose
    // body was empty or never came.
    if (transfer.head.status == 0 || !transfer.head_complete ||
        !transfer.IsFinal()) {
      if (transfer.head.status >= 300 && transfer.head.status < 400 &&
          transfer.head_complete) {
        // A redirect without a place to go.
        sink->failure = kHttpFailureHttpStatus;
        return Outcome::kFailed;
      }
      return sink->Abandon(kHttpFailureConnection);
    }
    if (!transfer.BeginBody()) {
      return transfer.plan == FileSink::Plan::kRetry ? Outcome::kRetry
                                                     : Outcome::kFailed;
    }
  }
  return sink->End(result == CURLE_OK);
}

std::optional<uint64_t> CurlDownloader::QuerySize(size_t connection,
                                                  const Target& target,
                                                  Watch* watch,
                                                  HttpFailure* why) {
  Handles* handles = connections_[connection].get();
  CURL* const easy = handles->easy;
  // The reason a query that got no size ends with.
  const auto failed = [easy, why](const Transfer& t, CURLcode result) {
    if (t.aborted != kHttpFailureNone) {
      *why = t.aborted;
    } else if (t.refused != kHttpFailureNone) {
      *why = t.refused;
    } else if (const auto permanent = PermanentError(easy, result)) {
      *why = *permanent;
    } else if (TransientTlsError(result)) {
      *why = kHttpFailureTls;
    } else if (t.head.status == 0) {
      // No answer at all: only this is worth asking again.
      *why = kHttpFailureConnection;
    } else if (t.head.malformed) {
      *why = kHttpFailureBadResponse;
    } else if (t.head.status < 200 || t.head.status >= 300) {
      *why = kHttpFailureHttpStatus;
    } else if (result != CURLE_OK && result != CURLE_WRITE_ERROR) {
      *why = kHttpFailureConnection;  // cut off in the middle of its answer
    } else {
      *why = kHttpFailureBadResponse;  // an answer without a size
    }
    return std::nullopt;
  };
  {
    Transfer head;
    head.watch = watch;
    PrepareRequest(easy, target, &head);
    curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
    const CURLcode result = Perform(handles, &head);
    // A server whose certificate is refused answers nothing another way.
    if (head.aborted != kHttpFailureNone || head.refused != kHttpFailureNone ||
        PermanentError(easy, result) || TransientTlsError(result)) {
      return failed(head, result);
    }
    const int status = head.head.status;
    if (result == CURLE_OK && IsSuccess(status) && !head.head.malformed &&
        head.head.content_length) {
      return head.head.content_length;
    }
    // Absent is absent; asking again another way would not change that.
    if (status == 404 || status == 410) return failed(head, result);
  }
  Transfer probe;
  probe.watch = watch;
  PrepareRequest(easy, target, &probe);
  curl_easy_setopt(easy, CURLOPT_RANGE, "0-0");
  const CURLcode result = Perform(handles, &probe);
  if (probe.aborted != kHttpFailureNone || probe.refused != kHttpFailureNone ||
      probe.head.malformed) {
    return failed(probe, result);
  }
  const int status = probe.head.status;
  if (status == 206 && probe.head.content_range &&
      probe.head.content_range->well_formed &&
      probe.head.content_range->total) {
    return probe.head.content_range->total;
  }
  // A whole body: the headers were all it needed, and the body was cut off.
  if (status == 200 && probe.head.content_length) {
    return probe.head.content_length;
  }
  return failed(probe, result);
}

void CurlDownloader::PrepareRequest(CURL* easy, const Target& target,
                                    Transfer* transfer) {
  transfer->owner = this;
  transfer->easy = easy;
  transfer->target = target;
  // Reset keeps the connection cache; it only forgets the last request's
  // options (a HEAD's NOBODY, a range).
  curl_easy_reset(easy);
  curl_easy_setopt(easy, CURLOPT_URL, UrlOf(target).c_str());
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  // Files are stored as sent, and lists are small: no content coding is
  // asked for. One that comes anyway is the sink's to undo or refuse, so
  // libcurl must not undo it itself.
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, request_headers_);
  curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(easy, CURLOPT_MAXREDIRS, kMaxRedirects);
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_USERAGENT, "dizhttp/1.0");
  curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, 512L * 1024);
  curl_easy_setopt(easy, CURLOPT_TCP_KEEPALIVE, 1L);
  curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &OnHeader);
  curl_easy_setopt(easy, CURLOPT_HEADERDATA, transfer);
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &OnBody);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, transfer);
  curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &OnProgress);
  curl_easy_setopt(easy, CURLOPT_XFERINFODATA, transfer);
  // libcurl verifies by default; said here so no later change of defaults
  // can turn it off.
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
  if (trust_anchors_) {
    // The bundle replaces the system's store: neither the built-in CA file
    // nor the CA directory may add to it.
    curl_blob blob{trust_anchors_->data(), trust_anchors_->size(),
                   CURL_BLOB_COPY};
    curl_easy_setopt(easy, CURLOPT_CAINFO_BLOB, &blob);
    curl_easy_setopt(easy, CURLOPT_CAINFO, nullptr);
    curl_easy_setopt(easy, CURLOPT_CAPATH, nullptr);
  }
}

bool CurlDownloader::UseTrustAnchors(const std::string* pem) {
  if (pem == nullptr) {
    trust_anchors_.reset();
  } else {
    trust_anchors_ = *pem;
  }
  // libcurl parses the text at the first handshake; a text the core found
  // a certificate in either loads there or fails that handshake.
  return true;
}

CURLcode CurlDownloader::Perform(Handles* handles, Transfer* transfer) {
  CURLM* const multi = handles->multi;
  CURL* const easy = handles->easy;
  transfer->watch->StartAttempt();
  if (curl_multi_add_handle(multi, easy) != CURLM_OK) {
    return CURLE_FAILED_INIT;
  }
  CURLcode result = CURLE_OK;
  int running = 1;
  while (running > 0) {
    if (curl_multi_perform(multi, &running) != CURLM_OK) {
      result = CURLE_FAILED_INIT;
      break;
    }
    if (running == 0) break;
    if (curl_multi_poll(multi, nullptr, 0, kPollMillis, nullptr) !=
        CURLM_OK) {
      result = CURLE_FAILED_INIT;
      break;
    }
  }
  int left = 0;
  while (CURLMsg* message = curl_multi_info_read(multi, &left)) {
    if (message->msg == CURLMSG_DONE && message->easy_handle == easy) {
      result = message->data.result;
    }
  }
  curl_multi_remove_handle(multi, easy);
  return result;
}

}  // namespace dizedir::http
