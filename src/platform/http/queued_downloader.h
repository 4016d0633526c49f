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
// Every server is taken for hostile, and the rules that bound what one can
// do live here, so each backend inherits them: a file never grows past its
// announced size (queue items) or the byte limit (single files), an answer
// whose sizes disagree with that is refused before anything is written,
// content encodings are undone within the same bound or refused, single
// files have a deadline and queue items a floor rate, and every failure
// keeps its reason for GetLastFailure.
//
// A backend supplies only what talks to its library: one transfer attempt,
// the size query, the connect probe, and the hooks that abort a running
// transfer when EndTransfers comes and re-arm after Connect. It reads the
// headers into a ResponseHead and leaves every judgement to the FileSink.
//
// Thread-safety: one thread drives the object. While DownloadQueue or
// DownloadFile runs, any other thread may call GetReceivedBytes,
// GetCurrentIndex and EndTransfers; EndTransfers calls the backend's
// AbortTransfers on that other thread.

#ifndef DIZEDIR_PLATFORM_HTTP_QUEUED_DOWNLOADER_H_
#define DIZEDIR_PLATFORM_HTTP_QUEUED_DOWNLOADER_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "dizedir/http_interface.h"
#include "platform/env.h"
#include "platform/http/body_decoder.h"
#include "platform/http/header_values.h"

namespace dizedir::http {

class QueuedDownloader : public HttpInterface {
 public:
  using Clock = std::chrono::steady_clock;

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
  void SetFileLimits(uint32_t max_bytes, uint32_t deadline_millis) final;
  int GetLastFailure() final;
  void SetRateFloor(uint32_t min_bytes, uint32_t window_millis) final;
  int SetCaBundle(const char* path) final;

  // What one attempt of a transfer comes to.
  enum class Outcome { kComplete, kRetry, kFailed };

  // Where a request goes.
  struct Target {
    std::string host;  // without brackets for an IPv6 literal
    uint16_t port = 80;
    std::string path;  // starts with "/", already encoded
    bool secure = false;
  };

  // What the headers of an answer say about its body, as a backend read
  // them. Every value is the server's claim, checked before it is used.
  struct ResponseHead {
    int status = 0;
    std::optional<uint64_t> content_length;
    std::optional<ContentRange> content_range;  // absent without the header
    ContentCoding coding = ContentCoding::kIdentity;
    // A header the backend could not read: a Content-Length that is no
    // number or comes twice with different values, a transfer coding other
    // than chunked.
    bool malformed = false;
  };

  // Decides, whenever a transfer wakes up, whether it must end now: for
  // EndTransfers, a passed deadline, nothing arriving for the stall
  // timeout, or fewer body bytes than the floor in a window. Windows run on
  // across the attempts of one file, so a server that drops the connection
  // now and then cannot reset them; a window that meets the floor clears
  // the count of slow ones.
  class Watch {
   public:
    explicit Watch(const QueuedDownloader* owner);

    void SetDeadline(Clock::time_point deadline) { deadline_ = deadline; }
    // Zero bytes: no floor.
    void SetFloor(uint64_t min_bytes, uint32_t window_millis);
    // A new attempt: the stall clock starts again.
    void StartAttempt();
    // Something arrived, `body_bytes` of it body (zero for headers).
    void Arrived(uint64_t body_bytes);
    // kHttpFailureNone while the transfer may go on; else kHttpFailureStopped,
    // kHttpFailureDeadline or kHttpFailureTooSlow.
    HttpFailure Check();

    const std::optional<Clock::time_point>& deadline() const {
      return deadline_;
    }
    // Windows in a row that stayed below the floor.
    uint32_t slow_windows() const { return slow_windows_; }

   private:
    const QueuedDownloader* const owner_;
    std::optional<Clock::time_point> deadline_;
    Clock::time_point last_arrival_;
    uint64_t floor_bytes_ = 0;
    Clock::duration window_{};
    Clock::time_point window_start_;
    uint64_t window_bytes_ = 0;  // body bytes since window_start_
    uint32_t slow_windows_ = 0;
  };

  // The temporary file a download is written to before it is renamed into
  // place, and the rules that keep it within its bounds. A backend hands it
  // each answer's head (Begin), the body as it comes (Append) and how the
  // body ended (End); the sink decides what is written and what the attempt
  // comes to, and keeps in `failure` why it ended.
  struct FileSink {
    explicit FileSink(const QueuedDownloader* owner) : watch(owner) {}

    Env* env = nullptr;
    std::string temp_path;
    std::unique_ptr<WritableFile> file;
    uint64_t stored = 0;  // bytes in the file so far
    Status status;        // first write failure; ends the download

    // Bounds, set before the first attempt.
    uint64_t limit = 0;   // the file never holds more
    HttpFailure over_limit = kHttpFailureTooLarge;  // what passing it means
    std::optional<uint64_t> announced;  // the size the file must have
    bool need_size = false;      // refuse an answer that tells no size
    bool accept_encoding = false;  // decode gzip/deflate instead of refusing
    Watch watch;

    // Why the latest attempt ended, when it did not complete.
    HttpFailure failure = kHttpFailureNone;

    // What to do with the body of an answer.
    enum class Plan {
      kWrite,    // it is (the rest of) the file
      kDiscard,  // an error answer; End tells what the attempt comes to
      kRetry,    // useless, but another attempt may do better: end now
      kFail,     // the file cannot be had from this server: end now
    };

    // Empties the file: the next attempt starts from its first byte.
    Status Restart();
    // Appends a piece of the body, keeping the first failure in `status`.
    // Before Begin, or after it planned kWrite, the piece is the file's
    // content (decoded first when the answer was encoded). Not OK when the
    // download must end: `failure` says why; nothing past the file's bound
    // is ever written.
    Status Append(std::string_view data);
    // Judges an answer's head; call it once per final answer, before its
    // body.
    Plan Begin(const ResponseHead& head);
    // The attempt's outcome once the body of the answer Begin judged has
    // ended, cleanly (`clean`: as long as announced, or the stream's end
    // marker seen) or not.
    Outcome End(bool clean);
    // The attempt's outcome when the transfer was abandoned for a reason of
    // the Watch's or the backend's own.
    Outcome Abandon(HttpFailure why);

    // Whether the stored bytes can be resumed with a Range request:
    // decoded bytes cannot, since ranges count the encoded ones.
    bool resumable() const { return decoder_ == nullptr; }
    // Body bytes of an error answer, which are read and thrown away.
    uint64_t discarded = 0;

   private:
    Outcome Fail(HttpFailure why);
    Status StoreFailure(Status s);

    bool decided_ = false;
    bool discarding_ = false;
    int status_code_ = 0;
    uint64_t resume_from_ = 0;
    uint64_t body_received_ = 0;  // raw body bytes of this answer
    std::optional<uint64_t> expected_body_;  // raw body bytes announced
    std::optional<uint64_t> expected_file_;  // the file's full size
    std::unique_ptr<BodyDecoder> decoder_;
  };

  // Where a redirect from `from` to `location` (a Location header's value,
  // absolute or relative) leads; false when it is refused: another host,
  // another scheme than http or https, from https back to plain http, or
  // no usable text. A server that could send the client anywhere could make
  // it fetch from anyone, and one leaving TLS would hand the transfer to
  // whoever sits on the network.
  static bool ResolveRedirect(const Target& from, std::string_view location,
                              Target* to);
  // Why a redirect is not followed (kHttpFailureRedirect, or the refusal
  // of its target below); kHttpFailureNone when it may be.
  HttpFailure RedirectRefusal(const Target& from,
                              std::string_view location) const;
  // kHttpFailureTlsUntrusted for an https target while SetCaBundle left no
  // usable trust store, else kHttpFailureNone: such a transfer is refused
  // before it starts rather than trusting the system's store instead.
  HttpFailure TargetRefusal(const Target& target) const;

  // Ceilings on what a server may send besides a file's body: the headers
  // of one answer, and the body of an error answer, which is thrown away.
  static constexpr uint64_t kMaxHeaderBytes = 64 * 1024;
  static constexpr uint64_t kMaxDiscardBytes = 64 * 1024;
  // Bounds that hold until SetFileLimits and SetRateFloor say otherwise.
  static constexpr uint32_t kDefaultFileMaxBytes = 16 * 1024 * 1024;
  static constexpr uint32_t kDefaultFileDeadlineMillis = 120000;
  static constexpr uint32_t kDefaultFloorBytes = 4096;
  static constexpr uint32_t kDefaultFloorWindowMillis = 60000;
  // A CA bundle is a handful of certificates; a file past this is refused.
  static constexpr uint64_t kMaxCaBundleBytes = 1 << 20;

 protected:
  explicit QueuedDownloader(Env* env) : env_(env) {}
  ~QueuedDownloader() = default;

  // One GET of `target` into `sink`, with a Range from sink->stored when
  // that is nonzero and no content encoding asked for. The backend passes
  // the final answer's head to sink->Begin, its body to sink->Append, and
  // returns what sink->End or sink->Abandon says; it checks sink->watch at
  // every wakeup. While `publish_progress`, it calls ShowProgress after each
  // piece.
  virtual Outcome RunAttempt(const Target& target, FileSink* sink,
                             bool publish_progress) = 0;
  // Size of the resource, by whatever the server answers; nullopt when it
  // cannot be had or `watch` ends it, with the reason in *why.
  virtual std::optional<uint64_t> QuerySize(const Target& target,
                                            Watch* watch,
                                            HttpFailure* why) = 0;
  // Whether the server answers at all, within `timeout_millis`: a TCP
  // connection, even for a server spoken to over TLS.
  virtual bool ProbeServer(const std::string& host, uint16_t port,
                           uint32_t timeout_millis) = 0;
  // The trust anchors of later TLS transfers: null for the system's store,
  // else PEM text whose certificates become the only ones trusted. False
  // when the text gives no certificate the backend can use; the core then
  // refuses every https transfer (TargetRefusal) and the backend's state
  // does not matter.
  virtual bool UseTrustAnchors(const std::string* pem) = 0;
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

  enum class Kind { kSingleFile, kQueueItem };

  // Fetches `target` into `local_path` through a temporary file, resuming
  // and retrying per the retry policy, within the bounds of `kind`. On
  // failure neither file is left, and *why says what went wrong.
  bool FetchToFile(const Target& target, const std::string& local_path,
                   Kind kind, std::optional<uint64_t> announced,
                   HttpFailure* why);
  // The server queued names and GetFileSize refer to, with `path` as its
  // path; false when neither SetHost nor Connect named one.
  bool ServerTarget(const std::string& path, Target* target) const;
  // Sleeps, returning early (and false) when EndTransfers comes.
  bool WaitBackoff(uint32_t millis);
  // The announced-size table's key for a target. Paths compare without
  // regard to ASCII case: callers ask for a size and queue the name in
  // different cases.
  static std::string SizeKey(const Target& target);

  Env* const env_;

  std::string connect_host_;
  uint16_t connect_port_ = 80;
  bool connect_secure_ = false;
  // SetCaBundle named a file that gave no usable certificate.
  bool trust_nothing_ = false;
  std::string set_host_;
  std::string remote_dir_;
  std::vector<QueueItem> queue_;
  uint32_t stall_timeout_millis_ = 30000;
  uint32_t retries_ = 5;
  uint32_t first_backoff_millis_ = 500;
  uint32_t file_max_bytes_ = kDefaultFileMaxBytes;
  uint32_t file_deadline_millis_ = kDefaultFileDeadlineMillis;
  uint32_t floor_bytes_ = kDefaultFloorBytes;
  uint32_t floor_window_millis_ = kDefaultFloorWindowMillis;
  // What GetFileSize answered, by server and path: the size a queued file
  // is held to. Cleared by Connect.
  std::map<std::string, uint64_t> announced_sizes_;

  std::mutex backoff_mutex_;
  std::condition_variable backoff_cv_;
  std::atomic<bool> ended_{false};
  std::atomic<uint32_t> received_bytes_{0};
  std::atomic<int> current_index_{0};
  std::atomic<int> last_failure_{kHttpFailureNone};
};

}  // namespace dizedir::http

#endif  // DIZEDIR_PLATFORM_HTTP_QUEUED_DOWNLOADER_H_
