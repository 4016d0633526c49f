#include "platform/http/winhttp_downloader.h"

// winsock2.h must come before windows.h, which would otherwise pull in the
// old winsock.h.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>
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

// What a failed call means: errors that another attempt cannot cure have
// reasons of their own; every other transport error (refused, reset, timed
// out, unresolved) may pass.
HttpFailure FailureOf(DWORD error) {
  switch (error) {
    case ERROR_WINHTTP_INVALID_URL:
    case ERROR_WINHTTP_UNRECOGNIZED_SCHEME:
      return kHttpFailureBadRequest;
    case ERROR_WINHTTP_REDIRECT_FAILED:
      return kHttpFailureRedirect;
    case ERROR_WINHTTP_HEADER_SIZE_OVERFLOW:
    case ERROR_WINHTTP_HEADER_COUNT_EXCEEDED:
    case ERROR_WINHTTP_INVALID_SERVER_RESPONSE:
      return kHttpFailureBadResponse;
    // WinHTTP's own timeouts are a server too slow to answer; another
    // attempt may do better, as after our own stall watch.
    case ERROR_WINHTTP_TIMEOUT:
      return kHttpFailureTooSlow;
    // A synchronous WinHTTP names the certificate's fault in the error
    // itself; the asynchronous one reports ERROR_WINHTTP_SECURE_FAILURE
    // and the fault in a callback (SecureFailureOf).
    case ERROR_WINHTTP_SECURE_INVALID_CA:
    case ERROR_WINHTTP_SECURE_INVALID_CERT:
    case ERROR_WINHTTP_SECURE_CERT_REVOKED:
    case ERROR_WINHTTP_SECURE_CERT_REV_FAILED:
    case ERROR_WINHTTP_SECURE_CERT_WRONG_USAGE:
    case ERROR_WINHTTP_SECURE_FAILURE:
      return kHttpFailureTlsUntrusted;
    case ERROR_WINHTTP_SECURE_CERT_CN_INVALID:
      return kHttpFailureTlsWrongName;
    case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID:
      return kHttpFailureTlsExpired;
    case ERROR_WINHTTP_SECURE_CHANNEL_ERROR:
      return kHttpFailureTls;
    default:
      return kHttpFailureConnection;
  }
}

// What the flags of a WINHTTP_CALLBACK_STATUS_SECURE_FAILURE say. A chain
// that leads nowhere trusted outweighs the other faults: its dates and
// names mean nothing then.
HttpFailure SecureFailureOf(DWORD flags) {
  if (flags & (WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CA |
               WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CERT |
               WINHTTP_CALLBACK_STATUS_FLAG_CERT_REVOKED |
               WINHTTP_CALLBACK_STATUS_FLAG_CERT_REV_FAILED |
               WINHTTP_CALLBACK_STATUS_FLAG_CERT_WRONG_USAGE)) {
    return kHttpFailureTlsUntrusted;
  }
  if (flags & WINHTTP_CALLBACK_STATUS_FLAG_CERT_CN_INVALID) {
    return kHttpFailureTlsWrongName;
  }
  if (flags & WINHTTP_CALLBACK_STATUS_FLAG_CERT_DATE_INVALID) {
    return kHttpFailureTlsExpired;
  }
  if (flags & WINHTTP_CALLBACK_STATUS_FLAG_SECURITY_CHANNEL_ERROR) {
    return kHttpFailureTls;
  }
  return kHttpFailureTlsUntrusted;
}

// Chain faults that say nothing against a certificate here: the root is
// judged against the CA bundle instead of the system's store, revocation
// is not checked, and nesting of validity periods is obsolete.
constexpr DWORD kIgnoredChainErrors =
    CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_REVOCATION_STATUS_UNKNOWN |
    CERT_TRUST_IS_OFFLINE_REVOCATION | CERT_TRUST_IS_NOT_TIME_NESTED;

// Checks the certificate a TLS request was answered with against a CA
// bundle, the only trust anchors: the chain must end in one of the
// bundle's certificates, byte for byte, and be sound otherwise; the SSL
// policy then checks use, dates and the host name once more, on top of
// WinHTTP's own checks, from which only the unknown-CA one was lifted.
HttpFailure CheckAgainstBundle(HINTERNET request, HCERTSTORE anchors,
                               const std::wstring& host) {
  PCCERT_CONTEXT certificate = nullptr;
  DWORD size = sizeof(certificate);
  if (!WinHttpQueryOption(request, WINHTTP_OPTION_SERVER_CERT_CONTEXT,
                          &certificate, &size) ||
      certificate == nullptr) {
    return kHttpFailureTlsUntrusted;
  }
  HttpFailure verdict = kHttpFailureNone;
  CERT_CHAIN_PARA chain_para{};
  chain_para.cbSize = sizeof(chain_para);
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  if (!CertGetCertificateChain(nullptr, certificate, nullptr, anchors,
                               &chain_para, 0, nullptr, &chain) ||
      chain == nullptr || chain->cChain == 0 ||
      chain->rgpChain[0]->cElement == 0) {
    verdict = kHttpFailureTlsUntrusted;
  } else {
    const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[0];
    const PCCERT_CONTEXT root =
        simple->rgpElement[simple->cElement - 1]->pCertContext;
    const DWORD errors = chain->TrustStatus.dwErrorStatus;
    PCCERT_CONTEXT anchor = CertFindCertificateInStore(
        anchors, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
        CERT_FIND_EXISTING, root, nullptr);
    if (anchor == nullptr) {
      verdict = kHttpFailureTlsUntrusted;
    } else if (errors & CERT_TRUST_IS_NOT_TIME_VALID) {
      verdict = kHttpFailureTlsExpired;
    } else if (errors & ~kIgnoredChainErrors) {
      verdict = kHttpFailureTlsUntrusted;
    } else {
      SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
      ssl.cbSize = sizeof(ssl);
      ssl.dwAuthType = AUTHTYPE_SERVER;
      ssl.fdwChecks = SECURITY_FLAG_IGNORE_UNKNOWN_CA;
      ssl.pwszServerName = const_cast<wchar_t*>(host.c_str());
      CERT_CHAIN_POLICY_PARA policy_para{};
      policy_para.cbSize = sizeof(policy_para);
      policy_para.pvExtraPolicyPara = &ssl;
      CERT_CHAIN_POLICY_STATUS status{};
      status.cbSize = sizeof(status);
      if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain,
                                            &policy_para, &status)) {
        verdict = kHttpFailureTlsUntrusted;
      } else {
        switch (static_cast<HRESULT>(status.dwError)) {
          case S_OK:
          // The root was judged against the bundle above; a policy that
          // does not lift the unknown-CA check still says this.
          case CERT_E_UNTRUSTEDROOT:
            break;
          case CERT_E_CN_NO_MATCH:
            verdict = kHttpFailureTlsWrongName;
            break;
          case CERT_E_EXPIRED:
            verdict = kHttpFailureTlsExpired;
            break;
          default:
            verdict = kHttpFailureTlsUntrusted;
            break;
        }
      }
    }
    if (anchor != nullptr) CertFreeCertificateContext(anchor);
  }
  if (chain != nullptr) CertFreeCertificateChain(chain);
  CertFreeCertificateContext(certificate);
  return verdict;
}

// The certificates of a PEM text, in a new memory store; null when it
// holds none.
HCERTSTORE LoadPemCertificates(const std::string& pem) {
  HCERTSTORE store =
      CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
  if (store == nullptr) return nullptr;
  constexpr std::string_view kBegin = "-----BEGIN CERTIFICATE-----";
  constexpr std::string_view kEnd = "-----END CERTIFICATE-----";
  int added = 0;
  size_t at = 0;
  while ((at = pem.find(kBegin, at)) != std::string::npos) {
    const size_t end = pem.find(kEnd, at);
    if (end == std::string::npos) break;
    const size_t block_end = end + kEnd.size();
    const DWORD block_size = static_cast<DWORD>(block_end - at);
    DWORD der_size = 0;
    if (CryptStringToBinaryA(pem.data() + at, block_size,
                             CRYPT_STRING_BASE64HEADER, nullptr, &der_size,
                             nullptr, nullptr) &&
        der_size > 0) {
      std::vector<BYTE> der(der_size);
      if (CryptStringToBinaryA(pem.data() + at, block_size,
                               CRYPT_STRING_BASE64HEADER, der.data(),
                               &der_size, nullptr, nullptr) &&
          CertAddEncodedCertificateToStore(
              store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, der.data(),
              der_size, CERT_STORE_ADD_USE_EXISTING, nullptr)) {
        ++added;
      }
    }
    at = block_end;
  }
  if (added == 0) {
    CertCloseStore(store, 0);
    return nullptr;
  }
  return store;
}

// Files are stored as sent and lists are small: no content coding is asked
// for. One that comes anyway is the sink's to undo or refuse; WinHTTP
// leaves it alone unless told to decompress.
constexpr wchar_t kIdentityHeader[] = L"Accept-Encoding: identity";

// Waits shorter than this let the watch judge a silent transfer promptly.
constexpr DWORD kPollMillis = 50;

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
  // How a wait ended: the call completed, failed, EndTransfers came, or
  // the watch ended the transfer (verdict() says why).
  enum class Wait { kDone, kError, kEnded, kWatched };

  static Request* Open(WinHttpDownloader* owner, HINTERNET connection,
                       const wchar_t* verb, const Target& target,
                       Watch* watch) {
    auto* request = new Request(owner, watch);
    request->host_ = Widen(target.host);
    request->anchors_ = target.secure ? owner->trust_store_ : nullptr;
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
    // Redirects are followed by hand (SendFollowing), so that one to
    // another host is refused before it is ever contacted.
    DWORD policy = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
    DWORD header_bytes = static_cast<DWORD>(kMaxHeaderBytes);
    const int timeout = static_cast<int>(std::min<uint32_t>(
        owner->stall_timeout_millis(),
        static_cast<uint32_t>(std::numeric_limits<int>::max())));
    // With a CA bundle only the unknown-CA check is lifted, and the chain
    // is then checked against the bundle before anything of the answer is
    // read (CheckAgainstBundle); names and dates stay WinHTTP's to check.
    DWORD security = SECURITY_FLAG_IGNORE_UNKNOWN_CA;
    const bool ready =
        WinHttpSetOption(request->handle_, WINHTTP_OPTION_CONTEXT_VALUE,
                         &context, sizeof(context)) &&
        (request->anchors_ == nullptr ||
         WinHttpSetOption(request->handle_, WINHTTP_OPTION_SECURITY_FLAGS,
                          &security, sizeof(security))) &&
        WinHttpSetStatusCallback(
            request->handle_, &Request::OnStatus,
            WINHTTP_CALLBACK_FLAG_ALL_COMPLETIONS |
                WINHTTP_CALLBACK_FLAG_HANDLES |
                WINHTTP_CALLBACK_FLAG_SECURE_FAILURE |
                WINHTTP_CALLBACK_FLAG_RECEIVE_RESPONSE,
            0) != WINHTTP_INVALID_STATUS_CALLBACK;
    if (!ready) {
      request->Close();
      return nullptr;
    }
    // From here WinHTTP will report the handle's closing, and holds a
    // reference until then.
    request->refs_.fetch_add(1);
    request->winhttp_holds_ = true;
    WinHttpSetOption(request->handle_, WINHTTP_OPTION_REDIRECT_POLICY,
                     &policy, sizeof(policy));
    WinHttpSetOption(request->handle_,
                     WINHTTP_OPTION_MAX_RESPONSE_HEADER_SIZE, &header_bytes,
                     sizeof(header_bytes));
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
    if (anchors_ != nullptr) {
      refusal_ = CheckAgainstBundle(handle_, anchors_, host_);
      if (refusal_ != kHttpFailureNone) return Wait::kError;
    }
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
  // request; a body larger than kMaxDiscardBytes is left to the closing.
  Wait Drain(char* buffer, size_t capacity) {
    uint64_t drained = 0;
    while (drained <= kMaxDiscardBytes) {
      DWORD got = 0;
      const Wait wait = Read(buffer, capacity, &got);
      if (wait != Wait::kDone || got == 0) return wait;
      drained += got;
    }
    return Wait::kError;
  }

  // Why a wait that did not complete ended the transfer.
  HttpFailure Reason(Wait wait) const {
    switch (wait) {
      case Wait::kEnded:
        return kHttpFailureStopped;
      case Wait::kWatched:
        return verdict_;
      default:
        if (refusal_ != kHttpFailureNone) return refusal_;
        if (error_ == ERROR_WINHTTP_SECURE_FAILURE) {
          return SecureFailureOf(secure_flags_.load());
        }
        // A kept-alive connection the server closed while it lay idle
        // gives no answer at all; some WinHTTPs call that an invalid
        // answer. Another connection deserves a try, as after a reset.
        if (error_ == ERROR_WINHTTP_INVALID_SERVER_RESPONSE && !answer_began_.load()) {
          return kHttpFailureConnection;
        }
        return FailureOf(error_);
    }
  }

  // What the answer's headers say about its body.
  ResponseHead Head() const {
    ResponseHead head;
    head.status = static_cast<int>(StatusCode());
    // Not every WinHTTP honours the header size limit set on the request
    // (Wine's does not): headers past it are refused here as they are by
    // the other backend.
    DWORD raw_size = 0;
    WinHttpQueryHeaders(handle_, WINHTTP_QUERY_RAW_HEADERS_CRLF, WINHTTP_HEADER_NAME_BY_INDEX,
                        WINHTTP_NO_OUTPUT_BUFFER, &raw_size, WINHTTP_NO_HEADER_INDEX);
    if (GetLastError() == ERROR_INSUFFICIENT_BUFFER &&
        raw_size > kMaxHeaderBytes * sizeof(wchar_t)) {
      head.malformed = true;
    }
    if (const auto length = Header(WINHTTP_QUERY_CONTENT_LENGTH)) {
      head.content_length = ParseContentLength(*length);
      const auto second = Header(WINHTTP_QUERY_CONTENT_LENGTH, 1);
      if (!head.content_length ||
          (second && ParseContentLength(*second) != head.content_length)) {
        head.malformed = true;
      }
    }
    if (const auto range = Header(WINHTTP_QUERY_CONTENT_RANGE)) {
      head.content_range = ParseContentRange(*range);
      if (Header(WINHTTP_QUERY_CONTENT_RANGE, 1)) head.malformed = true;
    }
    if (const auto coding = Header(WINHTTP_QUERY_CONTENT_ENCODING)) {
      head.coding = Header(WINHTTP_QUERY_CONTENT_ENCODING, 1)
                        ? ContentCoding::kUnsupported
                        : ParseContentCoding(*coding);
    }
    // WinHTTP undoes chunked itself and nothing else.
    if (const auto transfer = Header(WINHTTP_QUERY_TRANSFER_ENCODING)) {
      if (!StartsWithNoCase(*transfer, "chunked")) head.malformed = true;
    }
    return head;
  }

  // One value of a response header; `index` counts repeated headers.
  std::optional<std::string> Header(DWORD query, DWORD index = 0) const {
    DWORD size = 0;
    DWORD at = index;
    WinHttpQueryHeaders(handle_, query, WINHTTP_HEADER_NAME_BY_INDEX,
                        WINHTTP_NO_OUTPUT_BUFFER, &size, &at);
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0 ||
        size > kMaxHeaderBytes * sizeof(wchar_t)) {
      return std::nullopt;
    }
    std::wstring value(size / sizeof(wchar_t) + 1, L'\0');
    at = index;
    if (!WinHttpQueryHeaders(handle_, query, WINHTTP_HEADER_NAME_BY_INDEX,
                             value.data(), &size, &at)) {
      return std::nullopt;
    }
    value.resize(size / sizeof(wchar_t));
    return Narrow(value);
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

 private:
  Request(WinHttpDownloader* owner, Watch* watch)
      : owner_(owner),
        watch_(watch),
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
  // the watch to end the transfer (a stall, the floor rate, a deadline),
  // whichever comes first. EndTransfers wins over a completion that arrives
  // with it.
  Wait Await() {
    HANDLE handles[2] = {done_, owner_->ended_event_};
    while (true) {
      const DWORD woke =
          WaitForMultipleObjects(2, handles, FALSE, kPollMillis);
      if (owner_->ended()) return Wait::kEnded;
      if (woke == WAIT_OBJECT_0) {
        if (error_ != 0) return Wait::kError;
        watch_->Arrived(0);
        return Wait::kDone;
      }
      if (woke != WAIT_TIMEOUT) return Failed(GetLastError());
      verdict_ = watch_->Check();
      if (verdict_ != kHttpFailureNone) return Wait::kWatched;
    }
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
      case WINHTTP_CALLBACK_STATUS_RESPONSE_RECEIVED:
        if (info != nullptr && info_length >= sizeof(DWORD) &&
            *static_cast<DWORD*>(info) > 0) {
          request->answer_began_.store(true);
        }
        break;
      case WINHTTP_CALLBACK_STATUS_SECURE_FAILURE:
        // Comes before the request error that ends the call.
        if (info != nullptr && info_length >= sizeof(DWORD)) {
          request->secure_flags_.store(*static_cast<DWORD*>(info));
        }
        break;
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
  Watch* const watch_;
  HttpFailure verdict_ = kHttpFailureNone;
  std::wstring host_;
  // The CA bundle a TLS request is checked against; null for plain http
  // and for the system's store, which WinHTTP checks alone.
  HCERTSTORE anchors_ = nullptr;
  // Why the certificate was refused by our own check.
  HttpFailure refusal_ = kHttpFailureNone;
  // What WinHTTP's secure-failure callback said.
  std::atomic<DWORD> secure_flags_{0};
  // Some byte of an answer arrived.
  std::atomic<bool> answer_began_{false};
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
      open_requests_(std::make_shared<std::atomic<int>>(0)) {
  WSADATA data;
  winsock_ready_ = WSAStartup(MAKEWORD(2, 2), &data) == 0;
  PrepareConnections(1);
  OpenSession();
}

WinHttpDownloader::~WinHttpDownloader() {
  CloseSession();
  if (trust_store_ != nullptr) CertCloseStore(trust_store_, 0);
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
  for (auto& connection : connections_) {
    if (connection->handle != nullptr) WinHttpCloseHandle(connection->handle);
    connection->handle = nullptr;
    connection->host.clear();
    connection->port = 0;
  }
  if (session_ != nullptr) WinHttpCloseHandle(session_);
  session_ = nullptr;
}

void WinHttpDownloader::PrepareConnections(size_t count) {
  while (connections_.size() < count) {
    auto connection = std::make_unique<Connection>();
    connection->buffer.resize(kReadBufferBytes);
    connections_.push_back(std::move(connection));
  }
}

void* WinHttpDownloader::ConnectionFor(Connection* connection,
                                       const Target& target) {
  if (session_ == nullptr) return nullptr;
  if (connection->handle != nullptr && connection->port == target.port &&
      SameHost(connection->host, target.host)) {
    return connection->handle;
  }
  if (connection->handle != nullptr) WinHttpCloseHandle(connection->handle);
  connection->handle = WinHttpConnect(session_, Widen(target.host).c_str(),
                                      target.port, 0);
  connection->host =
      connection->handle != nullptr ? target.host : std::string();
  connection->port = connection->handle != nullptr ? target.port : 0;
  return connection->handle;
}

void WinHttpDownloader::ResumeTransfers() { ResetEvent(ended_event_); }

bool WinHttpDownloader::UseTrustAnchors(const std::string* pem) {
  // Requests take the store when they open; none is open between the
  // driving thread's calls, so the old store may go now.
  if (trust_store_ != nullptr) CertCloseStore(trust_store_, 0);
  trust_store_ = nullptr;
  if (pem == nullptr) return true;
  trust_store_ = LoadPemCertificates(*pem);
  return trust_store_ != nullptr;
}

void WinHttpDownloader::AbortTransfers() { SetEvent(ended_event_); }

bool WinHttpDownloader::ProbeServer(const std::string& host, uint16_t port,
                                    uint32_t timeout_millis) {
  return winsock_ready_ && ProbeTcp(host, port, timeout_millis);
}

void WinHttpDownloader::Shutdown() {
  CloseSession();
  OpenSession();
}

WinHttpDownloader::Request* WinHttpDownloader::SendFollowing(
    Connection* connection, const wchar_t* verb, const Target& first,
    const std::wstring& headers, Watch* watch, HttpFailure* why) {
  Target target = first;
  for (DWORD hop = 0;; ++hop) {
    HINTERNET handle = ConnectionFor(connection, target);
    Request* request = handle == nullptr
                           ? nullptr
                           : Request::Open(this, handle, verb, target, watch);
    if (request == nullptr) {
      *why = kHttpFailureConnection;
      return nullptr;
    }
    const Wait wait = request->SendAndReceive(headers);
    if (wait != Wait::kDone) {
      *why = request->Reason(wait);
      request->Close();
      return nullptr;
    }
    const DWORD status = request->StatusCode();
    const bool redirect = status == 301 || status == 302 || status == 303 ||
                          status == 307 || status == 308;
    const std::optional<std::string> location =
        redirect ? request->Header(WINHTTP_QUERY_LOCATION) : std::nullopt;
    // A redirect with nowhere to go is an error answer like any other.
    if (!location) return request;
    Target next;
    const bool allowed =
        hop < kMaxRedirects && ResolveRedirect(target, *location, &next);
    request->Close();
    if (!allowed) {
      *why = kHttpFailureRedirect;
      return nullptr;
    }
    if (const HttpFailure refused = TargetRefusal(next);
        refused != kHttpFailureNone) {
      *why = refused;
      return nullptr;
    }
    target = next;
  }
}

WinHttpDownloader::Outcome WinHttpDownloader::RunAttempt(
    size_t number, const Target& target, FileSink* sink) {
  Connection* connection = connections_[number].get();
  std::vector<char>& buffer = connection->buffer;
  std::wstring headers = kIdentityHeader;
  const std::string range = sink->RangeSpec();
  if (!range.empty()) headers += L"\r\nRange: bytes=" + Widen(range);
  HttpFailure why = kHttpFailureNone;
  Request* request =
      SendFollowing(connection, L"GET", target, headers, &sink->watch, &why);
  if (request == nullptr) return sink->Abandon(why);
  RequestCloser closer(request);

  switch (sink->Begin(request->Head())) {
    case FileSink::Plan::kFail:
      return Outcome::kFailed;
    case FileSink::Plan::kRetry:
      return Outcome::kRetry;
    case FileSink::Plan::kWrite:
    case FileSink::Plan::kDiscard:
      break;
  }
  while (true) {
    DWORD got = 0;
    const Wait read = request->Read(buffer.data(), buffer.size(), &got);
    if (read != Wait::kDone) {
      const HttpFailure reason = request->Reason(read);
      // A body cut off by the link is the sink's to judge (it may be the
      // text of an error answer); anything else ends the attempt as it says.
      return reason == kHttpFailureConnection ? sink->End(false)
                                              : sink->Abandon(reason);
    }
    if (got == 0) break;
    if (!sink->Append(std::string_view(buffer.data(), got)).ok()) {
      return Outcome::kFailed;  // the disk, or a bound the body broke
    }
    // The rest of the answer is another piece's; closing the request here
    // drops this connection, which the next request opens again.
    if (sink->satisfied()) break;
  }
  return sink->End(true);
}

std::optional<uint64_t> WinHttpDownloader::QuerySize(size_t number,
                                                     const Target& target,
                                                     Watch* watch,
                                                     HttpFailure* why) {
  Connection* connection = connections_[number].get();
  std::vector<char>& buffer = connection->buffer;
  {
    Request* head = SendFollowing(connection, L"HEAD", target,
                                  kIdentityHeader, watch, why);
    if (head == nullptr) {
      // Only a transport failure leaves hope for the second way.
      if (*why != kHttpFailureConnection) return std::nullopt;
    } else {
      RequestCloser closer(head);
      const ResponseHead answer = head->Head();
      if (IsSuccess(static_cast<DWORD>(answer.status)) && !answer.malformed &&
          answer.content_length) {
        // Seeing the answer through to its end hands the connection back
        // for the next request.
        head->Drain(buffer.data(), buffer.size());
        return answer.content_length;
      }
      // Absent is absent; asking again another way would not change that.
      if (answer.status == 404 || answer.status == 410) {
        *why = kHttpFailureHttpStatus;
        return std::nullopt;
      }
    }
  }
  const std::wstring headers =
      std::wstring(kIdentityHeader) + L"\r\nRange: bytes=0-0";
  Request* probe =
      SendFollowing(connection, L"GET", target, headers, watch, why);
  if (probe == nullptr) return std::nullopt;
  RequestCloser closer(probe);
  const ResponseHead answer = probe->Head();
  if (answer.malformed) {
    *why = kHttpFailureBadResponse;
    return std::nullopt;
  }
  if (answer.status == 206 && answer.content_range &&
      answer.content_range->well_formed && answer.content_range->total) {
    probe->Drain(buffer.data(), buffer.size());
    return answer.content_range->total;
  }
  // A whole body: the headers were all it needed, and closing the request
  // drops the rest.
  if (answer.status == 200 && answer.content_length) {
    return answer.content_length;
  }
  *why = IsSuccess(static_cast<DWORD>(answer.status))
             ? kHttpFailureBadResponse
             : kHttpFailureHttpStatus;
  return std::nullopt;
}

}  // namespace dizedir::http
