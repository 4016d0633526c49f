// CurlDownloader: the HttpInterface that dizhttp.so hands out, built on
// libcurl. The queue, the retries and the temporary file are the
// QueuedDownloader's; this class carries the requests.
//
// Each numbered connection is one curl multi handle with one reused easy
// handle, so the requests a connection makes travel over one kept-alive
// connection per server.
// The transfer loop wakes at least every few tens of milliseconds, which is
// what lets EndTransfers and the stall timeout act promptly even while the
// server sends nothing.
//
// Thread-safety: one thread drives the object. While DownloadQueue or
// DownloadFile runs, any other thread may call GetReceivedBytes,
// GetCurrentIndex and EndTransfers.

#ifndef DIZEDIR_PLATFORM_HTTP_CURL_DOWNLOADER_H_
#define DIZEDIR_PLATFORM_HTTP_CURL_DOWNLOADER_H_

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <curl/curl.h>

#include "platform/env.h"
#include "platform/http/queued_downloader.h"

namespace dizedir::http {

class CurlDownloader final : public QueuedDownloader {
 public:
  explicit CurlDownloader(Env* env);
  ~CurlDownloader();

  void Shutdown() override;

  // State a transfer's curl callbacks share; defined in the .cpp.
  struct Transfer;

 private:
  // The handles of one connection.
  struct Handles {
    CURLM* multi = nullptr;
    CURL* easy = nullptr;
  };

  Outcome RunAttempt(size_t connection, const Target& target,
                     FileSink* sink) override;
  // By HEAD, or by a one-byte range GET when the server will not answer
  // HEAD.
  std::optional<uint64_t> QuerySize(size_t connection, const Target& target,
                                    Watch* watch, HttpFailure* why) override;
  void PrepareConnections(size_t count) override;
  // A connect-only transfer: reachability without a request the server
  // would log.
  bool ProbeServer(const std::string& host, uint16_t port,
                   uint32_t timeout_millis) override;
  void AbortTransfers() override;
  bool UseTrustAnchors(const std::string* pem) override;

  // Runs the prepared easy handle to its end; the callbacks in `transfer`
  // abort it when its watch says so or an answer is refused.
  CURLcode Perform(Handles* handles, Transfer* transfer);
  // Resets the easy handle to the options every request shares.
  void PrepareRequest(CURL* easy, const Target& target, Transfer* transfer);
  void DestroyHandles();

  // Guards the list of connections against EndTransfers' wakeup racing
  // their creation and replacement; each connection's handles are used by
  // one worker at a time.
  std::mutex handle_mutex_;
  std::vector<std::unique_ptr<Handles>> connections_;
  // The headers every request sends.
  curl_slist* request_headers_ = nullptr;
  // The CA bundle's text while one is set; the system's store otherwise.
  std::optional<std::string> trust_anchors_;
};

}  // namespace dizedir::http

#endif  // DIZEDIR_PLATFORM_HTTP_CURL_DOWNLOADER_H_
