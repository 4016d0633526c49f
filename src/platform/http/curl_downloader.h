// CurlDownloader: the HttpInterface that dizhttp.so hands out, built on
// libcurl.
//
// Every transfer runs through one curl multi handle with one reused easy
// handle, so the files of a queue travel over one kept-alive connection.
// The transfer loop wakes at least every few tens of milliseconds, which is
// what lets EndTransfers and the stall timeout act promptly even while the
// server sends nothing. Bodies go to a temporary file beside the target and
// are renamed into place only when complete; a dropped transfer is resumed
// with a Range request from the bytes already stored.
//
// Thread-safety: one thread drives the object. While DownloadQueue or
// DownloadFile runs, any other thread may call GetReceivedBytes,
// GetCurrentIndex and EndTransfers.

#ifndef DIZEDIR_PLATFORM_HTTP_CURL_DOWNLOADER_H_
#define DIZEDIR_PLATFORM_HTTP_CURL_DOWNLOADER_H_

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <curl/curl.h>

#include "dizedir/http_interface.h"
#include "platform/env.h"

namespace dizedir::http {

class CurlDownloader final : public HttpInterface {
 public:
  explicit CurlDownloader(Env* env);
  CurlDownloader(const CurlDownloader&) = delete;
  CurlDownloader& operator=(const CurlDownloader&) = delete;
  ~CurlDownloader();

  int Connect(const char* host, uint32_t port) override;
  void Shutdown() override;
  int DownloadFile(const char* url, const char* local_path) override;
  void Unused3() override {}
  void Unused4() override {}
  void Unused5() override {}
  void Unused6() override {}
  void Unused7() override {}
  uint32_t GetFileSize(const char* remote_name) override;
  uint32_t GetReceivedBytes() override;
  void Unused10() override {}
  void Unused11() override {}
  int GetCurrentIndex() override;
  void AddRemoteFile(const char* remote_name) override;
  void AddLocalFile(const char* local_path) override;
  int DownloadQueue() override;
  void EndTransfers() override;
  void Unused17() override {}
  void Unused18() override {}
  void Unused19() override {}
  void Unused20() override {}
  void SetRemoteDir(const char* dir) override;
  void SetHost(const char* host) override;
  void SetStallTimeout(uint32_t millis) override;
  void SetRetryPolicy(uint32_t retries,
                      uint32_t first_backoff_millis) override;

  // What one attempt of a transfer comes to.
  enum class Outcome { kComplete, kRetry, kFailed };

  // State a transfer's curl callbacks share; defined in the .cpp.
  struct Transfer;
  struct FileSink;

 private:
  struct QueueItem {
    std::string remote_name;
    std::optional<std::string> local_path;
  };

  // Fetches `url` into `local_path` through a temporary file, resuming and
  // retrying per the retry policy. On failure neither file is left.
  bool FetchToFile(const std::string& url, const std::string& local_path,
                   bool publish_progress);
  Outcome RunAttempt(const std::string& url, FileSink* sink,
                     bool publish_progress);
  // Size of the resource at `url` by HEAD, or by a one-byte range GET when
  // the server will not answer HEAD.
  std::optional<uint64_t> QuerySize(const std::string& url);
  // Runs the prepared easy handle to its end; the callbacks in `transfer`
  // abort it on EndTransfers or a stall.
  CURLcode Perform(Transfer* transfer);
  // Resets the easy handle to the options every request shares.
  void PrepareRequest(const std::string& url, Transfer* transfer);
  // "http://host:port" of the server queued names and GetFileSize refer to;
  // empty when neither SetHost nor Connect named one.
  std::string ServerBase() const;
  // Sleeps, returning early (and false) when EndTransfers comes.
  bool WaitBackoff(uint32_t millis);
  void CreateHandles();
  void DestroyHandles();

  Env* const env_;

  // Guards the handle pointers against EndTransfers' wakeup racing their
  // replacement in Shutdown; the driving thread alone uses the handles.
  std::mutex handle_mutex_;
  std::condition_variable backoff_cv_;
  CURLM* multi_ = nullptr;
  CURL* easy_ = nullptr;

  std::string connect_host_;
  uint16_t connect_port_ = 80;
  std::string set_host_;
  std::string remote_dir_;
  std::vector<QueueItem> queue_;
  uint32_t stall_timeout_millis_ = 30000;
  uint32_t retries_ = 5;
  uint32_t first_backoff_millis_ = 500;

  std::atomic<bool> ended_{false};
  std::atomic<uint32_t> received_bytes_{0};
  std::atomic<int> current_index_{0};
};

}  // namespace dizedir::http

#endif  // DIZEDIR_PLATFORM_HTTP_CURL_DOWNLOADER_H_
