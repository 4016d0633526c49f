// WinHttpDownloader: the HttpInterface that Http.dll hands out on Windows,
// built on WinHTTP. The queue, the retries and the temporary file are the
// QueuedDownloader's, shared with the libcurl downloader of the Linux build,
// so either module serves the plug-in; this class carries the requests.
//
// Every transfer runs over one WinHTTP session; each numbered connection
// keeps its own connection handle to the server it last spoke to, so the
// requests a connection makes travel over one kept-alive connection.
// WinHTTP is used in its asynchronous mode: each call is issued by the
// driving thread, which then waits for its completion together with the
// "ended" event in short slices, asking the transfer's Watch between them.
// That is what lets EndTransfers, the stall timeout, the floor rate and the
// deadline act at once even while the server sends nothing: the waiting
// thread closes the request handle, which is WinHTTP's documented way to
// abort an asynchronous request. Redirects are followed by hand, so one to
// another host is refused before that host is contacted. (Closing a synchronous
// request from another thread would race with the call still using it, and
// short receive timeouts would fail the request, turning a pause into a
// reconnect.)
//
// Thread-safety: one thread drives the object. While DownloadQueue or
// DownloadFile runs, any other thread may call GetReceivedBytes,
// GetCurrentIndex and EndTransfers.

#ifndef DIZEDIR_PLATFORM_HTTP_WINHTTP_DOWNLOADER_H_
#define DIZEDIR_PLATFORM_HTTP_WINHTTP_DOWNLOADER_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/env.h"
#include "platform/http/queued_downloader.h"

namespace dizedir::http {

class WinHttpDownloader final : public QueuedDownloader {
 public:
  explicit WinHttpDownloader(Env* env);
  ~WinHttpDownloader();

  void Shutdown() override;

  // One request handle and the state its completion callbacks share;
  // defined in the .cpp.
  class Request;

 private:
  // What one numbered connection keeps between requests.
  struct Connection {
    void* handle = nullptr;  // HINTERNET from WinHttpConnect
    std::string host;
    uint16_t port = 0;
    std::vector<char> buffer;
  };

  Outcome RunAttempt(size_t connection, const Target& target,
                     FileSink* sink) override;
  // By HEAD, or by a one-byte range GET when the server will not answer
  // HEAD.
  std::optional<uint64_t> QuerySize(size_t connection, const Target& target,
                                    Watch* watch, HttpFailure* why) override;
  void PrepareConnections(size_t count) override;
  // A TCP connection opened and closed at once: reachability without a
  // request the server would log.
  bool ProbeServer(const std::string& host, uint16_t port,
                   uint32_t timeout_millis) override;
  void AbortTransfers() override;
  void ResumeTransfers() override;
  bool UseTrustAnchors(const std::string* pem) override;

  // Sends a request and follows redirects on the same host (refusing any
  // other) up to the final answer, whose request the caller closes; null
  // with *why when there is none.
  Request* SendFollowing(Connection* connection, const wchar_t* verb,
                         const Target& target,
                         const std::wstring& headers, Watch* watch,
                         HttpFailure* why);
  // The connection handle for the target's server, opened on first use and
  // kept while later requests of `connection` go to the same server. Null
  // on failure.
  void* ConnectionFor(Connection* connection, const Target& target);
  void OpenSession();
  void CloseSession();

  // HINTERNETs and a Win32 event, kept as void* so this header does not
  // pull in <windows.h>. The session is shared by every connection's
  // worker; each connection's handle is used by one worker at a time, and
  // the list changes only on the driving thread while no worker runs.
  // EndTransfers touches nothing but the ended flag and ended_event_, which
  // live as long as the object.
  void* session_ = nullptr;
  std::vector<std::unique_ptr<Connection>> connections_;
  void* ended_event_ = nullptr;  // manual reset; set while ended
  // Request contexts not yet released by WinHTTP; shared with them, so a
  // late release never touches a destroyed downloader. The destructor waits
  // for it to drop to zero so no callback outlives the module.
  std::shared_ptr<std::atomic<int>> open_requests_;
  bool winsock_ready_ = false;
  // The CA bundle's certificates (an HCERTSTORE) while one is set; null
  // for the system's store.
  void* trust_store_ = nullptr;
};

}  // namespace dizedir::http

#endif  // DIZEDIR_PLATFORM_HTTP_WINHTTP_DOWNLOADER_H_
