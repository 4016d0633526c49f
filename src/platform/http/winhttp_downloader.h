// WinHttpDownloader: the HttpInterface that Http.dll hands out on Windows,
// built on WinHTTP. It behaves like the libcurl downloader of the Linux
// build, so either module serves the plug-in.
//
// Every transfer runs over one WinHTTP session and one connection handle per
// server, so the files of a queue travel over one kept-alive connection.
// WinHTTP is used in its asynchronous mode: each call is issued by the
// driving thread, which then waits for its completion together with the
// "ended" event, never longer than the stall timeout. That is what lets
// EndTransfers and the stall timeout act at once even while the server sends
// nothing: the waiting thread closes the request handle, which is WinHTTP's
// documented way to abort an asynchronous request. (Closing a synchronous
// request from another thread would race with the call still using it, and
// short receive timeouts would fail the request, turning a pause into a
// reconnect.) Bodies go to a temporary file beside the target and are
// renamed into place only when complete; a dropped transfer is resumed with
// a Range request from the bytes already stored.
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

#include "dizedir/http_interface.h"
#include "platform/env.h"

namespace dizedir::http {

class WinHttpDownloader final : public HttpInterface {
 public:
  explicit WinHttpDownloader(Env* env);
  WinHttpDownloader(const WinHttpDownloader&) = delete;
  WinHttpDownloader& operator=(const WinHttpDownloader&) = delete;
  ~WinHttpDownloader();

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

  // Where a request goes, taken apart as WinHTTP wants it.
  struct Target {
    std::string host;
    uint16_t port = 80;
    std::string path;  // starts with "/", already encoded
    bool secure = false;
  };

  // One request handle and the state its completion callbacks share;
  // defined in the .cpp.
  class Request;
  struct FileSink;

 private:
  struct QueueItem {
    std::string remote_name;
    std::optional<std::string> local_path;
  };

  // Fetches `target` into `local_path` through a temporary file, resuming
  // and retrying per the retry policy. On failure neither file is left.
  bool FetchToFile(const Target& target, const std::string& local_path,
                   bool publish_progress);
  Outcome RunAttempt(const Target& target, FileSink* sink,
                     bool publish_progress);
  // Size of the resource by HEAD, or by a one-byte range GET when the
  // server will not answer HEAD.
  std::optional<uint64_t> QuerySize(const Target& target);
  // The server queued names and GetFileSize refer to, with `path` as its
  // path; false when neither SetHost nor Connect named one.
  bool ServerTarget(const std::string& path, Target* target) const;
  // The connection handle for the target's server, opened on first use and
  // kept while later requests go to the same server. Null on failure.
  void* ConnectionFor(const Target& target);
  // Sleeps, returning early (and false) when EndTransfers comes.
  bool WaitBackoff(uint32_t millis);
  void OpenSession();
  void CloseSession();

  Env* const env_;

  // HINTERNETs and a Win32 event, kept as void* so this header does not
  // pull in <windows.h>. Only the driving thread uses the WinHTTP handles;
  // EndTransfers touches nothing but ended_ and ended_event_, which live as
  // long as the object.
  void* session_ = nullptr;
  void* connection_ = nullptr;
  std::string connection_host_;
  uint16_t connection_port_ = 0;
  void* ended_event_ = nullptr;  // manual reset; set while ended_
  // Request contexts not yet released by WinHTTP; shared with them, so a
  // late release never touches a destroyed downloader. The destructor waits
  // for it to drop to zero so no callback outlives the module.
  std::shared_ptr<std::atomic<int>> open_requests_;
  std::vector<char> buffer_;

  std::string connect_host_;
  uint16_t connect_port_ = 80;
  std::string set_host_;
  std::string remote_dir_;
  std::vector<QueueItem> queue_;
  uint32_t stall_timeout_millis_ = 30000;
  uint32_t retries_ = 5;
  uint32_t first_backoff_millis_ = 500;
  bool winsock_ready_ = false;

  std::atomic<bool> ended_{false};
  std::atomic<uint32_t> received_bytes_{0};
  std::atomic<int> current_index_{0};
};

}  // namespace dizedir::http

#endif  // DIZEDIR_PLATFORM_HTTP_WINHTTP_DOWNLOADER_H_
