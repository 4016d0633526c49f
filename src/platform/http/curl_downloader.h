// CurlDownloader: the HttpInterface that dizhttp.so hands out, built on
// libcurl. The queue, the retries and the temporary file are the
// QueuedDownloader's; this class carries the requests.
//
// Every transfer runs through one curl multi handle with one reused easy
// handle, so the files of a queue travel over one kept-alive connection.
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
#include <mutex>
#include <optional>
#include <string>

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
  Outcome RunAttempt(const Target& target, FileSink* sink,
                     bool publish_progress) override;
  // By HEAD, or by a one-byte range GET when the server will not answer
  // HEAD.
  std::optional<uint64_t> QuerySize(const Target& target, Watch* watch,
                                    HttpFailure* why) override;
  // A connect-only transfer: reachability without a request the server
  // would log.
  bool ProbeServer(const std::string& host, uint16_t port,
                   uint32_t timeout_millis) override;
  void AbortTransfers() override;
  bool UseTrustAnchors(const std::string* pem) override;

  // Runs the prepared easy handle to its end; the callbacks in `transfer`
  // abort it when its watch says so or an answer is refused.
  CURLcode Perform(Transfer* transfer);
  // Resets the easy handle to the options every request shares.
  void PrepareRequest(const Target& target, Transfer* transfer);
  void CreateHandles();
  void DestroyHandles();

  // Guards the handle pointers against EndTransfers' wakeup racing their
  // replacement in Shutdown; the driving thread alone uses the handles.
  std::mutex handle_mutex_;
  CURLM* multi_ = nullptr;
  CURL* easy_ = nullptr;
  // The headers every request sends.
  curl_slist* request_headers_ = nullptr;
  // The CA bundle's text while one is set; the system's store otherwise.
  std::optional<std::string> trust_anchors_;
};

}  // namespace dizedir::http

#endif  // DIZEDIR_PLATFORM_HTTP_CURL_DOWNLOADER_H_
