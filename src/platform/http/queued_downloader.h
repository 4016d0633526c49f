// QueuedDownloader: what every HttpInterface backend shares, whatever
// library carries its requests.
//
// It keeps the queue (SetRemoteDir, SetHost, AddRemoteFile, AddLocalFile,
// DownloadQueue), builds the server and URL of each transfer from the texts
// the caller gave, and runs the per-file loop: the body goes to a temporary
// file beside the target and is renamed into place only when complete; a
// dropped transfer is resumed from the bytes already stored, retried with a
// doubling wait while it keeps getting nowhere, and on failure neither file
// is left. It also owns the progress counters and the "ended" flag with the
// wait between attempts that EndTransfers cuts short.
//
// A backend supplies only what talks to its library: one transfer attempt,
// the size query, the connect probe, and the hooks that abort a running
// transfer when EndTransfers comes and re-arm after Connect.
//
// Thread-safety: one thread drives the object. While DownloadQueue or
// DownloadFile runs, any other thread may call GetReceivedBytes,
// GetCurrentIndex and EndTransfers; EndTransfers calls the backend's
// AbortTransfers on that other thread.

#ifndef DIZEDIR_PLATFORM_HTTP_QUEUED_DOWNLOADER_H_
#define DIZEDIR_PLATFORM_HTTP_QUEUED_DOWNLOADER_H_

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "dizedir/http_interface.h"
#include "platform/env.h"

namespace dizedir::http {

class QueuedDownloader : public HttpInterface {
 public:
  QueuedDownloader(const QueuedDownloader&) = delete;
  QueuedDownloader& operator=(const QueuedDownloader&) = delete;

  int Connect(const char* host, uint32_t port) final;
  int DownloadFile(const char* url, const char* local_path) final;
  void Unused3() final {}
  void Unused4() final {}
  void Unused5() final {}
  void Unused6() final {}
  void Unused7() final {}
  uint32_t GetFileSize(const char* remote_name) final;
  uint32_t GetReceivedBytes() final;
  void Unused10() final {}
  void Unused11() final {}
  int GetCurrentIndex() final;
  void AddRemoteFile(const char* remote_name) final;
  void AddLocalFile(const char* local_path) final;
  int DownloadQueue() final;
  void EndTransfers() final;
  void Unused17() final {}
  void Unused18() final {}
  void Unused19() final {}
  void Unused20() final {}
  void SetRemoteDir(const char* dir) final;
  void SetHost(const char* host) final;
  void SetStallTimeout(uint32_t millis) final;
  void SetRetryPolicy(uint32_t retries,
                      uint32_t first_backoff_millis) final;

  // What one attempt of a transfer comes to.
  enum class Outcome { kComplete, kRetry, kFailed };

  // Where a request goes.
  struct Target {
    std::string host;  // without brackets for an IPv6 literal
    uint16_t port = 80;
    std::string path;  // starts with "/", already encoded
    bool secure = false;
  };

  // The temporary file a download is written to before it is renamed into
  // place.
  struct FileSink {
    Env* env = nullptr;
    std::string temp_path;
    std::unique_ptr<WritableFile> file;
    uint64_t stored = 0;  // bytes in the file so far
    Status status;        // first write failure; ends the download

    // Empties the file: the next attempt starts from its first byte.
    Status Restart();
    // Appends a piece of the body, keeping the first failure in `status`.
    Status Append(std::string_view data);
  };

 protected:
  explicit QueuedDownloader(Env* env) : env_(env) {}
  ~QueuedDownloader() = default;

  // One GET of `target` into `sink`, with a Range from sink->stored when
  // that is nonzero. A backend restarts the sink itself when the answer
  // shows the stored bytes are no use (a whole body, a wrong range, 416).
  // While `publish_progress`, it calls ShowProgress after each piece.
  virtual Outcome RunAttempt(const Target& target, FileSink* sink,
                             bool publish_progress) = 0;
  // Size of the resource, by whatever the server answers; nullopt when it
  // cannot be had or EndTransfers came.
  virtual std::optional<uint64_t> QuerySize(const Target& target) = 0;
  // Whether the server answers at all, within `timeout_millis`.
  virtual bool ProbeServer(const std::string& host, uint16_t port,
                           uint32_t timeout_millis) = 0;
  // Called on EndTransfers' thread once ended() is true: makes a running
  // attempt or size query notice it now rather than at its next wakeup.
  virtual void AbortTransfers() = 0;
  // Called by Connect before ended() turns false again.
  virtual void ResumeTransfers() {}

  // The count a watcher sees while `stored` bytes of a queue item are in.
  void ShowProgress(uint64_t stored);
  bool ended() const { return ended_.load(); }
  uint32_t stall_timeout_millis() const { return stall_timeout_millis_; }

 private:
  struct QueueItem {
    std::string remote_name;
    std::optional<std::string> local_path;
  };

  // Fetches `target` into `local_path` through a temporary file, resuming
  // and retrying per the retry policy. On failure neither file is left.
  bool FetchToFile(const Target& target, const std::string& local_path,
                   bool publish_progress);
  // The server queued names and GetFileSize refer to, with `path` as its
  // path; false when neither SetHost nor Connect named one.
  bool ServerTarget(const std::string& path, Target* target) const;
  // Sleeps, returning early (and false) when EndTransfers comes.
  bool WaitBackoff(uint32_t millis);

  Env* const env_;

  std::string connect_host_;
  uint16_t connect_port_ = 80;
  std::string set_host_;
  std::string remote_dir_;
  std::vector<QueueItem> queue_;
  uint32_t stall_timeout_millis_ = 30000;
  uint32_t retries_ = 5;
  uint32_t first_backoff_millis_ = 500;

  std::mutex backoff_mutex_;
  std::condition_variable backoff_cv_;
  std::atomic<bool> ended_{false};
  std::atomic<uint32_t> received_bytes_{0};
  std::atomic<int> current_index_{0};
};

}  // namespace dizedir::http

#endif  // DIZEDIR_PLATFORM_HTTP_QUEUED_DOWNLOADER_H_
