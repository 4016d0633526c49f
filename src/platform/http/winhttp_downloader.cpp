#include "platform/http/winhttp_downloader.h"

// winsock2.h must come before windows.h, which would otherwise pull in the
// old winsock.h.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <limits>
#include <string_view>
#include <utility>

#include "platform/http/header_values.h"
#include "platform/http/url.h"

namespace dizedir::http {

namespace {

constexpr DWORD kMaxRedirects = 5;
constexpr size_t kReadBufferBytes = 512 * 1024;
// How long an aborted request may take to report its handle closed before
// the driving thread goes on without it; its context stays alive until the
// report comes.
constexpr DWORD kCloseWaitMillis = 500;
// How long destruction waits for WinHTTP to release the last contexts.
constexpr int kDrainWaitMillis = 5000;

bool IsSuccess(DWORD status) { return status >= 200 && status < 300; }

// Host names and encoded URL paths are ASCII; UTF-8 covers anything else a
// caller might pass without mangling it.
std::wstring Widen(std::string_view text) {
  if (text.empty()) return std::wstring();
  const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(),
                                       static_cast<int>(text.size()),
                                       nullptr, 0);
  if (size <= 0) return std::wstring();
  std::wstring wide(static_cast<size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                      wide.data(), size);
  return wide;
}

// Header values are ASCII; anything else cannot be a number or a range.
std::string Narrow(std::wstring_view text) {
  std::string narrow;
  narrow.reserve(text.size());
  for (wchar_t c : text) {
    narrow.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  }
  return narrow;
}

// Errors that another attempt cannot cure; every other transport error
// (refused, reset, timed out, unresolved) may pass.
bool IsPermanentError(DWORD error) {
  return error == ERROR_WINHTTP_INVALID_URL ||
         error == ERROR_WINHTTP_UNRECOGNIZED_SCHEME ||
         error == ERROR_WINHTTP_REDIRECT_FAILED;
}

// A TCP connection to the server, opened and closed at once: reachability
// without sending a request the server would log.
bool ProbeTcp(const std::string& host, uint16_t port, uint32_t timeout_millis) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  if (getaddrinfo(host.c_str(), service.c_str(), &hints, &found) != 0) {
    return false;
  }
  bool reached = false;
  for (addrinfo* a = found; a != nullptr && !reached; a = a->ai_next) {
    SOCKET s = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
    if (s == INVALID_SOCKET) continue;
    u_long non_blocking = 1;
    ioctlsocket(s, FIONBIO, &non_blocking);
    if (connect(s, a->ai_addr, static_cast<int>(a->ai_addrlen)) == 0) {
      reached = true;
    } else if (WSAGetLastError() == WSAEWOULDBLOCK) {
      fd_set writable;
      fd_set failed;
      FD_ZERO(&writable);
      FD_ZERO(&failed);
      FD_SET(s, &writable);
      FD_SET(s, &failed);
      timeval limit{};
      limit.tv_sec = static_cast<long>(timeout_millis / 1000);
      limit.tv_usec = static_cast<long>((timeout_millis % 1000) * 1000);
      if (select(0, nullptr, &writable, &failed, &limit) > 0 &&
          FD_ISSET(s, &writable)) {
        int error = 0;
        int length = sizeof(error);
        reached = getsockopt(s, SOL_SOCKET, SO_ERROR,
                             reinterpret_cast<char*>(&error),
                             &length) == 0 &&
                  error == 0;
      }
    }
    closesocket(s);
  }
  freeaddrinfo(found);
  return reached;
}

}  // namespace

// One WinHTTP request handle with the context its callbacks report to.
//
// Every asynchronous call is issued by the driving thread, which then waits
// in Await for the one callback that completes it. The callback thread only
// stores the result and signals; the event orders those stores before the
// driving thread's reads. The context is shared by the driving thread and
// WinHTTP, which drops its reference at the handle-closing callback, the
// last one it makes; so an aborted request may finish closing after the
// driving thread has moved on.
class WinHttpDownloader::Request {
 public:
  enum class Wait { kDone, kError, kEnded, kStalled };

  static Request* Open(WinHttpDownloader* owner, HINTERNET connection,
                       const wchar_t* verb, const Target& target) {
    auto* request = new Request(owner);
    if (request->done_ == nullptr || request->closed_ == nullptr) {
      request->Release();
      return nullptr;
    }
    const std::wstring path = Widen(target.path);
    // The path is encoded already; WinHTTP must not encode it again.
    DWORD flags = WINHTTP_FLAG_ESCAPE_DISABLE | WINHTTP_FLAG_ESCAPE_DISABLE_QUERY;
    if (target.secure) flags |= WINHTTP_FLAG_SECURE;
    request->handle_ = WinHttpOpenRequest(connection, verb, path.c_str(),
                                          nullptr, WINHTTP_NO_REFERER,
                                          WINHTTP_DEFAULT_ACCEPT_TYPES, flags);
    if (request->handle_ == nullptr) {
      request->Release();
      return nullptr;
    }
    DWORD_PTR context = reinterpret_cast<DWORD_PTR>(request);
    DWORD redirects = kMaxRedirects;
    DWORD policy = WINHTTP_OPTION_REDIRECT_POLICY_ALWAYS;
    const int timeout = static_cast<int>(std::min<uint32_t>(
        owner->stall_timeout_millis(),
        static_cast<uint32_t>(std::numeric_limits<int>::max())));
    const bool ready =
        WinHttpSetOption(request->handle_, WINHTTP_OPTION_CONTEXT_VALUE,
                         &context, sizeof(context)) &&
        WinHttpSetStatusCallback(
            request->handle_, &Request::OnStatus,
            WINHTTP_CALLBACK_FLAG_ALL_COMPLETIONS |
                WINHTTP_CALLBACK_FLAG_HANDLES,
            0) != WINHTTP_INVALID_STATUS_CALLBACK;
    if (!ready) {
      request->Close();
      return nullptr;
    }
    // From here WinHTTP will report the handle's closing, and holds a
    // reference until then.
    request->refs_.fetch_add(1);
    request->winhttp_holds_ = true;
    WinHttpSetOption(request->handle_,
                     WINHTTP_OPTION_MAX_HTTP_AUTOMATIC_REDIRECTS, &redirects,
                     sizeof(redirects));
    WinHttpSetOption(request->handle_, WINHTTP_OPTION_REDIRECT_POLICY,
                     &policy, sizeof(policy));
    // Our own wait notices a stall first; these only bound what WinHTTP
    // would otherwise wait on its own (a minute to connect by default).
    WinHttpSetTimeouts(request->handle_, 0, timeout, timeout, timeout);
    return request;
  }

  // Aborts whatever is in progress and gives up the driving thread's
  // reference.
  void Close() {
    if (handle_ != nullptr) {
      WinHttpCloseHandle(handle_);
      handle_ = nullptr;
      if (winhttp_holds_) WaitForSingleObject(closed_, kCloseWaitMillis);
    }
    Release();
  }

  // Sends the request (with `headers`, CRLF-separated, when not empty) and
  // waits for the final response's headers; redirects are followed.
  Wait SendAndReceive(const std::wstring& headers) {
    const BOOL sent = WinHttpSendRequest(
        handle_, headers.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS
                                 : headers.c_str(),
        headers.empty() ? 0 : static_cast<DWORD>(-1), WINHTTP_NO_REQUEST_DATA,
        0, 0, reinterpret_cast<DWORD_PTR>(this));
    if (!sent) return Failed(GetLastError());
    Wait wait = Await();
    if (wait != Wait::kDone) return wait;
    if (!WinHttpReceiveResponse(handle_, nullptr)) {
      return Failed(GetLastError());
    }
    return Await();
  }

  // Reads the next piece of the body into `buffer`; *got is 0 at its end.
  Wait Read(char* buffer, size_t capacity, DWORD* got) {
    *got = 0;
    // Asking what is there first makes the read return as soon as anything
    // has arrived, however large the buffer: on a slow link progress shows
    // and the stall clock restarts with every piece.
    if (!WinHttpQueryDataAvailable(handle_, nullptr)) {
      return Failed(GetLastError());
    }
    Wait wait = Await();
    if (wait != Wait::kDone || bytes_ == 0) return wait;
    const DWORD want = static_cast<DWORD>(
        std::min<size_t>(bytes_, std::min<size_t>(capacity, 0x7fffffff)));
    if (!WinHttpReadData(handle_, buffer, want, nullptr)) {
      return Failed(GetLastError());
    }
    wait = Await();
    if (wait == Wait::kDone) *got = bytes_;
    return wait;
  }

  // Reads the rest of a small body so the connection can serve the next
  // request.
  Wait Drain(char* buffer, size_t capacity) {
    while (true) {
      DWORD got = 0;
      const Wait wait = Read(buffer, capacity, &got);
      if (wait != Wait::kDone || got == 0) return wait;
    }
  }

  DWORD error() const { return error_; }

  DWORD StatusCode() const {
    DWORD status = 0;
    DWORD size = sizeof(status);
    if (!WinHttpQueryHeaders(handle_,
                             WINHTTP_QUERY_STATUS_CODE |
                                 WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &size,
                             WINHTTP_NO_HEADER_INDEX)) {
      return 0;
    }
    return status;
  }

  // The numeric form of the header is 32 bits wide; the text is not.
  std::optional<uint64_t> ContentLength() const {
    const std::optional<std::string> value = Header(WINHTTP_QUERY_CONTENT_LENGTH);
    if (!value) return std::nullopt;
    return ParseContentLength(*value);
  }

  // "bytes 100-199/1000" or "bytes */1000".
  ContentRange Range() const {
    const std::optional<std::string> header = Header(WINHTTP_QUERY_CONTENT_RANGE);
    return header ? ParseContentRange(*header) : ContentRange{};
  }

 private:
  explicit Request(WinHttpDownloader* owner)
      : owner_(owner),
        open_requests_(owner->open_requests_),
        done_(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
        closed_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    open_requests_->fetch_add(1);
  }

  ~Request() {
    if (done_ != nullptr) CloseHandle(done_);
    if (closed_ != nullptr) CloseHandle(closed_);
    open_requests_->fetch_sub(1);
  }

  void Release() {
    if (refs_.fetch_sub(1) == 1) delete this;
  }

  Wait Failed(DWORD error) {
    error_ = error;
    return Wait::kError;
  }

  // Waits for the call in progress to complete, for EndTransfers, or for
  // the stall timeout, whichever comes first. EndTransfers wins over a
  // completion that arrives with it.
  Wait Await() {
    HANDLE handles[2] = {done_, owner_->ended_event_};
    const DWORD woke = WaitForMultipleObjects(2, handles, FALSE,
                                              owner_->stall_timeout_millis());
    if (owner_->ended()) return Wait::kEnded;
    if (woke == WAIT_TIMEOUT) return Wait::kStalled;
    if (woke != WAIT_OBJECT_0) return Failed(GetLastError());
    return error_ != 0 ? Wait::kError : Wait::kDone;
  }

  std::optional<std::string> Header(DWORD query) const {
    DWORD size = 0;
    WinHttpQueryHeaders(handle_, query, WINHTTP_HEADER_NAME_BY_INDEX,
                        WINHTTP_NO_OUTPUT_BUFFER, &size,
                        WINHTTP_NO_HEADER_INDEX);
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0) {
      return std::nullopt;
    }
    std::wstring value(size / sizeof(wchar_t) + 1, L'\0');
    if (!WinHttpQueryHeaders(handle_, query, WINHTTP_HEADER_NAME_BY_INDEX,
                             value.data(), &size, WINHTTP_NO_HEADER_INDEX)) {
      return std::nullopt;
    }
    value.resize(size / sizeof(wchar_t));
    return Narrow(value);
  }

  static void CALLBACK OnStatus(HINTERNET, DWORD_PTR context, DWORD status,
                                LPVOID info, DWORD info_length) {
    auto* request = reinterpret_cast<Request*>(context);
    if (request == nullptr) return;
    switch (status) {
      case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
      case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE:
        request->Signal(0, 0);
        break;
      case WINHTTP_CALLBACK_STATUS_DATA_AVAILABLE:
        request->Signal(0, info != nullptr ? *static_cast<DWORD*>(info) : 0);
        break;
      case WINHTTP_CALLBACK_STATUS_READ_COMPLETE:
        request->Signal(0, info_length);
        break;
      case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR: {
        const auto* result = static_cast<WINHTTP_ASYNC_RESULT*>(info);
        request->Signal(result != nullptr && result->dwError != 0
                            ? result->dwError
                            : ERROR_WINHTTP_INTERNAL_ERROR,
                        0);
        break;
      }
      case WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING:
        SetEvent(request->closed_);
        request->Release();
        break;
      default:
        break;
    }
  }

  void Signal(DWORD error, DWORD bytes) {
    error_ = error;
    bytes_ = bytes;
    SetEvent(done_);
  }

  WinHttpDownloader* const owner_;
  const std::shared_ptr<std::atomic<int>> open_requests_;
  std::atomic<int> refs_{1};
  bool winhttp_holds_ = false;
  HINTERNET handle_ = nullptr;
  const HANDLE done_;    // auto reset: the call in progress completed
  const HANDLE closed_;  // manual reset: WinHTTP let go of the handle
  // Written by the callback before it signals done_.
  DWORD error_ = 0;
  DWORD bytes_ = 0;
};

namespace {

// Closes a request however the function that opened it returns.
class RequestCloser {
 public:
  explicit RequestCloser(WinHttpDownloader::Request* request)
      : request_(request) {}
  RequestCloser(const RequestCloser&) = delete;
  RequestCloser& operator=(const RequestCloser&) = delete;
  ~RequestCloser() {
    if (request_ != nullptr) request_->Close();
  }

 private:
  WinHttpDownloader::Request* const request_;
};

using Wait = WinHttpDownloader::Request::Wait;

}  // namespace

WinHttpDownloader::WinHttpDownloader(Env* env)
    : QueuedDownloader(env),
      ended_event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      open_requests_(std::make_shared<std::atomic<int>>(0)),
      buffer_(kReadBufferBytes) {
  WSADATA data;
  winsock_ready_ = WSAStartup(MAKEWORD(2, 2), &data) == 0;
  OpenSession();
}

WinHttpDownloader::~WinHttpDownloader() {
  CloseSession();
  // Requests aborted just before may still be closing on WinHTTP's threads;
  // their callbacks run code of this module, which may be unloaded next.
  for (int waited = 0; open_requests_->load() > 0 && waited < kDrainWaitMillis;
       waited += 10) {
    Sleep(10);
  }
  if (ended_event_ != nullptr) CloseHandle(ended_event_);
  if (winsock_ready_) WSACleanup();
}

void WinHttpDownloader::OpenSession() {
  session_ = WinHttpOpen(L"dizhttp/1.0", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                         WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS,
                         WINHTTP_FLAG_ASYNC);
}

void WinHttpDownloader::CloseSession() {
  // The session owns the pool of kept-alive connections: closing it is what
  // closes them.
  if (connection_ != nullptr) WinHttpCloseHandle(connection_);
  if (session_ != nullptr) WinHttpCloseHandle(session_);
  connection_ = nullptr;
  session_ = nullptr;
  connection_host_.clear();
  connection_port_ = 0;
}

void* WinHttpDownloader::ConnectionFor(const Target& target) {
  if (session_ == nullptr) return nullptr;
  if (connection_ != nullptr && connection_port_ == target.port &&
      SameHost(connection_host_, target.host)) {
    return connection_;
  }
  if (connection_ != nullptr) WinHttpCloseHandle(connection_);
  connection_ = WinHttpConnect(session_, Widen(target.host).c_str(),
                               target.port, 0);
  connection_host_ = connection_ != nullptr ? target.host : std::string();
  connection_port_ = connection_ != nullptr ? target.port : 0;
  return connection_;
}

void WinHttpDownloader::ResumeTransfers() { ResetEvent(ended_event_); }

void WinHttpDownloader::AbortTransfers() { SetEvent(ended_event_); }

bool WinHttpDownloader::ProbeServer(const std::string& host, uint16_t port,
                                    uint32_t timeout_millis) {
  return winsock_ready_ && ProbeTcp(host, port, timeout_millis);
}

void WinHttpDownloader::Shutdown() {
  CloseSession();
  OpenSession();
}

WinHttpDownloader::Outcome WinHttpDownloader::RunAttempt(
    const Target& target, FileSink* sink, bool publish_progress) {
  HINTERNET connection = ConnectionFor(target);
  if (connection == nullptr) return Outcome::kFailed;
  Request* request = Request::Open(this, connection, L"GET", target);
  if (request == nullptr) return Outcome::kFailed;
  RequestCloser closer(request);

  const uint64_t resume_from = sink->stored;
  std::wstring headers;
  if (resume_from > 0) {
    headers = L"Range: bytes=" + std::to_wstring(resume_from) + L"-";
  }
  // What a wait that did not complete means for the attempt.
  const auto interrupted = [&](Wait wait) {
    if (wait == Wait::kEnded) return Outcome::kFailed;
    if (wait == Wait::kStalled) return Outcome::kRetry;
    return IsPermanentError(request->error()) ? Outcome::kFailed
                                              : Outcome::kRetry;
  };
  const Wait answered = request->SendAndReceive(headers);
  if (answered != Wait::kDone) return interrupted(answered);

  const DWORD status = request->StatusCode();
  if (status == 0) return Outcome::kRetry;  // no answer at all
  if (!IsSuccess(status)) {
    if (status == 416 && resume_from > 0) {
      // The file changed under us; only a fresh start can help.
      if (!sink->Restart().ok()) return Outcome::kFailed;
      return Outcome::kRetry;
    }
    return Outcome::kFailed;
  }
  std::optional<uint64_t> expected_total;
  if (status == 206) {
    const ContentRange range = request->Range();
    if (range.start.value_or(0) != resume_from) {
      // Not the piece asked for: unusable, and the next attempt starts
      // afresh rather than trusting this server's ranges.
      if (!sink->Restart().ok()) return Outcome::kFailed;
      return Outcome::kRetry;
    }
    expected_total = range.total;
  } else {
    // A whole body although a range was asked for: the server ignores
    // Range, so the file starts over.
    if (resume_from > 0 && !sink->Restart().ok()) return Outcome::kFailed;
    expected_total = request->ContentLength();
  }

  while (true) {
    DWORD got = 0;
    const Wait read = request->Read(buffer_.data(), buffer_.size(), &got);
    if (read != Wait::kDone) return interrupted(read);
    if (got == 0) break;
    if (!sink->Append(std::string_view(buffer_.data(), got)).ok()) {
      return Outcome::kFailed;  // the disk, not the net
    }
    if (publish_progress) ShowProgress(sink->stored);
  }
  // A body can end cleanly and still not reach the end of the file: a
  // server may answer an open range with only a piece of it. The rest comes
  // with the next attempt.
  if (expected_total && sink->stored != *expected_total) {
    return Outcome::kRetry;
  }
  return Outcome::kComplete;
}

std::optional<uint64_t> WinHttpDownloader::QuerySize(const Target& target) {
  HINTERNET connection = ConnectionFor(target);
  if (connection == nullptr) return std::nullopt;
  {
    Request* head = Request::Open(this, connection, L"HEAD", target);
    if (head == nullptr) return std::nullopt;
    RequestCloser closer(head);
    const Wait wait = head->SendAndReceive(std::wstring());
    if (wait == Wait::kEnded) return std::nullopt;
    const DWORD status = wait == Wait::kDone ? head->StatusCode() : 0;
    if (IsSuccess(status)) {
      if (const auto length = head->ContentLength()) {
        // Seeing the answer through to its end hands the connection back
        // for the next request.
        head->Drain(buffer_.data(), buffer_.size());
        return length;
      }
    }
    // Absent is absent; asking again another way would not change that.
    if (status == 404 || status == 410) return std::nullopt;
  }
  Request* probe = Request::Open(this, connection, L"GET", target);
  if (probe == nullptr) return std::nullopt;
  RequestCloser closer(probe);
  if (probe->SendAndReceive(L"Range: bytes=0-0") != Wait::kDone) {
    return std::nullopt;
  }
  const DWORD status = probe->StatusCode();
  if (status == 206) {
    const std::optional<uint64_t> total = probe->Range().total;
    probe->Drain(buffer_.data(), buffer_.size());
    return total;
  }
  // A whole body: the headers were all it needed, and closing the request
  // drops the rest.
  if (status == 200) return probe->ContentLength();
  return std::nullopt;
}

}  // namespace dizedir::http
