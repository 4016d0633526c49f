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
// A queue runs over several connections at once: each connection's worker
// takes the next item not yet started, or, when none is left, the back half
// of the largest range still to come of an item in flight. The pieces of
// an item are written at their offsets into its one temporary file; the
// item takes its name once every byte is in (and its digest, when it has
// one, matches). Mirrors share the work with the connected server; one that
// fails is left out and its piece goes to another source.
//
// A backend supplies only what talks to its library: one transfer attempt
// on a numbered connection, the size query, the connect probe, and the
// hooks that abort running transfers when EndTransfers comes and re-arm
// after Connect. It reads the headers into a ResponseHead and leaves every
// judgement to the FileSink.
//
// Thread-safety: one thread drives the object. While DownloadQueue,
// DownloadFile or GetFileSizes runs, any other thread may call
// GetReceivedBytes, GetReceivedBytes64, GetCurrentIndex, GetLastFailure and
// EndTransfers; EndTransfers calls the backend's AbortTransfers on that
// other thread. The backend's RunAttempt and QuerySize run on worker threads,
// each connection number on one thread at a time.

#ifndef DIZEDIR_PLATFORM_HTTP_QUEUED_DOWNLOADER_H_
#define DIZEDIR_PLATFORM_HTTP_QUEUED_DOWNLOADER_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "codec/md5.h"
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
  void SetConnections(uint32_t count) final;
  int GetFileSizes(uint32_t count, const char* const* remote_names,
                   uint64_t* sizes) final;
  uint64_t GetFileSize64(const char* remote_name) final;
  uint64_t GetReceivedBytes64() final;
  void SetMirrors(const char* base_urls) final;
  void AddFileDigest(const char* md5_hex) final;
  void AddFileSize(uint64_t size) final;
  uint64_t GetQueueReceivedBytes64() final;
  int DownloadFiles(uint32_t count, const char* const* urls,
                    const char* const* local_paths, const uint32_t* max_bytes,
                    int32_t* failures) final;

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
    // A flag that, once set, ends the transfer as EndTransfers does: the
    // item it belongs to stopped.
    void SetCancel(const std::atomic<bool>* cancelled) {
      cancelled_ = cancelled;
    }
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
    const std::atomic<bool>* cancel() const { return cancelled_; }
    // Windows in a row that stayed below the floor.
    uint32_t slow_windows() const { return slow_windows_; }

   private:
    const QueuedDownloader* const owner_;
    const std::atomic<bool>* cancelled_ = nullptr;
    std::optional<Clock::time_point> deadline_;
    Clock::time_point last_arrival_;
    uint64_t floor_bytes_ = 0;
    Clock::duration window_{};
    Clock::time_point window_start_;
    uint64_t window_bytes_ = 0;  // body bytes since window_start_
    uint32_t slow_windows_ = 0;
  };

  // What the pieces of one queue item share: the temporary file they are
  // written into, the item's size once an answer told it, the count a
  // watcher sees, and the digest of the bytes that came in order.
  struct ItemFile {
    std::mutex mutex;  // guards what follows, and every piece's `end`
    std::shared_ptr<PositionalFile> file;
    std::optional<uint64_t> size;
    size_t pieces = 1;  // pieces the item is fetched in so far
    // The MD5 of bytes [0, hashed), while every byte so far came in order;
    // else the file is read once complete.
    bool hashing = true;
    uint64_t hashed = 0;
    Md5 md5;

    std::atomic<uint64_t> received{0};  // bytes stored over all pieces
    std::atomic<bool> cancelled{false};
    // The queue's count over all items, moved with `received`.
    std::atomic<uint64_t>* queue_received = nullptr;

    void Count(uint64_t bytes) {
      received.fetch_add(bytes);
      if (queue_received != nullptr) queue_received->fetch_add(bytes);
    }
    void Uncount(uint64_t bytes) {
      received.fetch_sub(bytes);
      if (queue_received != nullptr) queue_received->fetch_sub(bytes);
    }
  };

  // The temporary file a download is written to before it is renamed into
  // place, or one piece of it, and the rules that keep it within its
  // bounds. A backend hands it each answer's head (Begin), the body as it
  // comes (Append) and how the body ended (End); the sink decides what is
  // written and what the attempt comes to, and keeps in `failure` why it
  // ended.
  struct FileSink {
    explicit FileSink(const QueuedDownloader* owner) : watch(owner), owner_(owner) {}

    static constexpr uint64_t kOpenEnd = UINT64_MAX;

    Env* env = nullptr;
    std::string temp_path;
    std::shared_ptr<PositionalFile> file;
    uint64_t stored = 0;  // bytes of this piece in the file so far
    Status status;        // first write failure; ends the download

    // A piece of a queue item: the item's shared state, where the piece
    // starts, and where it ends (guarded by item->mutex, since another
    // connection may take over its back half). Null `item`: a file of its
    // own, written from its start.
    ItemFile* item = nullptr;
    uint64_t start = 0;
    uint64_t end = kOpenEnd;
    // A mirror's piece: an answer that ignores Range is refused unless the
    // piece starts the file, as a restart of the whole piece.
    bool strict_ranges = false;
    // Called after each piece of the body is stored.
    std::function<void()> on_progress;
    // When the current attempt asked, when its first byte was stored and
    // how much the piece held then (guarded as `end` is): what the piece's
    // rate and a request's round trip are judged by.
    Clock::time_point asked_at;
    std::optional<Clock::time_point> first_byte_at;
    uint64_t stored_at_first_byte = 0;
    // Starts the clock of a new attempt.
    void StartAttempt();

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

    // Empties the file, or the piece: the next attempt starts from its
    // first byte.
    Status Restart();
    // The Range to ask for ("a-" or "a-b"), empty when the whole file is
    // wanted.
    std::string RangeSpec();
    // The piece holds every byte up to its end: what the answer brings
    // beyond belongs to another piece, and the transfer can end here.
    bool satisfied() const { return satisfied_; }
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
    const QueuedDownloader* const owner_;
    Outcome Fail(HttpFailure why);
    Status StoreFailure(Status s);
    // Writes at the piece's current end; under item->mutex for a piece.
    Status Write(std::string_view data);
    // The size the answers are held to: the item's once known.
    std::optional<uint64_t> KnownSize();

    bool decided_ = false;
    bool satisfied_ = false;
    uint64_t skip_ = 0;  // body bytes before the piece, thrown away
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
  // Connections a queue uses unless SetConnections says otherwise, and the
  // most it may ask for.
  static constexpr uint32_t kDefaultConnections = 6;
  static constexpr uint32_t kMaxConnections = 16;
  // A server that answered a file this recently is taken as reachable by
  // Connect without a probe of its own.
  static constexpr std::chrono::milliseconds kRecentAnswer{10000};
  // An idle connection takes over the back half of a range only when that
  // half is at least this large: a new request costs a round trip.
  // A piece is split only when its back half would take longer to come
  // over its own connection than a new request takes to bring a first
  // byte; never below this, and while its rate is not known yet, only
  // from kMinSplitBytes.
  static constexpr uint64_t kMinSplitBytes = 1 << 20;
  static constexpr uint64_t kMinRatedSplitBytes = 64 << 10;
  static constexpr size_t kMaxMirrors = 16;
  static constexpr size_t kMaxMirrorLineBytes = 1024;

 protected:
  explicit QueuedDownloader(Env* env) : env_(env) {}
  ~QueuedDownloader() = default;

  // One GET of `target` into `sink` over connection number `connection`
  // (below the count PrepareConnections last made ready), with the Range
  // sink->RangeSpec() names, if any, and no content encoding asked for. The
  // backend passes the final answer's head to sink->Begin, its body to
  // sink->Append, ends the transfer once sink->satisfied(), and returns what
  // sink->End or sink->Abandon says; it checks sink->watch at every wakeup.
  virtual Outcome RunAttempt(size_t connection, const Target& target,
                             FileSink* sink) = 0;
  // Size of the resource, by whatever the server answers; nullopt when it
  // cannot be had or `watch` ends it, with the reason in *why.
  virtual std::optional<uint64_t> QuerySize(size_t connection,
                                            const Target& target,
                                            Watch* watch,
                                            HttpFailure* why) = 0;
  // Makes connections [0, count) usable, from the driving thread, before
  // workers use them side by side. Connection 0 always is.
  virtual void PrepareConnections(size_t count) = 0;
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

  bool ended() const { return ended_.load(); }
  uint32_t stall_timeout_millis() const { return stall_timeout_millis_; }


 private:
  struct QueueItem {
    std::string remote_name;
    std::optional<std::string> local_path;
    std::optional<std::string> digest;  // 32 lowercase hex digits
    std::optional<uint64_t> size;       // from AddFileSize
  };

  struct QueueRun;
  struct Task;
  // A server queue items may also come from: its base URL taken apart.
  struct Mirror {
    bool secure = false;
    std::string host;
    uint16_t port = 80;
    std::string base_path;  // without a trailing "/"
  };

  // work(connection, i) for every i below `count`, over `connections`
  // connections at once, each taking the next i from a common pool.
  void ShareOut(size_t connections, uint32_t count,
                const std::function<void(size_t connection, uint32_t i)>& work);
  // DownloadFile over `connection`, bounded by `max_bytes`: what went
  // wrong, kHttpFailureNone when the file is stored.
  HttpFailure FetchSmallFile(size_t connection, const char* url,
                             const char* local_path, uint32_t max_bytes);
  // Fetches `target` into `local_path` through a temporary file over
  // `connection`, resuming and retrying per the retry policy, within the
  // single-file deadline and `max_bytes`. On failure neither file is left,
  // and *why says what went wrong.
  bool FetchToFile(size_t connection, const Target& target,
                   const std::string& local_path, uint32_t max_bytes,
                   HttpFailure* why);
  // The attempts of one transfer into `sink` over `connection`, resumed and
  // retried per the retry policy; at most `fruitless_limit` attempts in a
  // row that get no further. True when complete; else *why says why not.
  bool RunWithRetries(size_t connection, const Target& target,
                      FileSink* sink, uint32_t fruitless_limit,
                      HttpFailure* why);
  // A connection's share of a queue run: pieces until none is left.
  void Work(QueueRun* run, size_t connection);
  // The next piece for `connection`; false once the run has nothing more.
  bool NextTask(QueueRun* run, Task* task);
  // Runs a piece, then settles what its end means for the item.
  void RunTask(QueueRun* run, size_t connection, const Task& task);
  // Closes, checks and names a complete item; false with *why when that
  // fails, *retry when wrong bytes came from a mirror.
  bool StoreItem(QueueRun* run, size_t index, HttpFailure* why, bool* retry);
  // Ends the item after a failure: stops its pieces and those of every
  // later item, and keeps the reason when it is the first in queue order.
  void FailItem(QueueRun* run, size_t index, HttpFailure why);
  // Deletes what a stopped item left once no piece of it runs any more.
  void Discard(QueueRun* run, size_t index);
  // What a watcher sees while the item goes on, and once it is stored.
  void PublishProgress(QueueRun* run, size_t index);
  void PublishStored(QueueRun* run, size_t index);
  // The size GetFileSize64 answers, recorded for the queue.
  std::optional<uint64_t> AskSize(size_t connection, const char* remote_name,
                                  HttpFailure* why);
  uint32_t ConnectionCount() const;
  // The server queued names and GetFileSize refer to, with `path` as its
  // path; false when neither SetHost nor Connect named one.
  bool ServerTarget(const std::string& path, Target* target) const;
  // Sleeps, returning early (and false) when EndTransfers comes or
  // `cancelled` is set.
  bool WaitBackoff(uint32_t millis, const std::atomic<bool>* cancelled);
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

  uint32_t connections_ = kDefaultConnections;
  std::vector<Mirror> mirrors_;
  // Mirrors left out after a failure, until SetMirrors or Connect.
  std::vector<bool> mirror_dropped_;

  // The server of the last single file that arrived whole, and when.
  std::mutex answered_mutex_;
  std::optional<Target> answered_by_;
  Clock::time_point answered_at_;

  std::mutex backoff_mutex_;
  std::condition_variable backoff_cv_;
  std::atomic<bool> ended_{false};
  // What GetCurrentIndex and GetReceivedBytes tell, changed together so a
  // watcher that reads the index, the bytes and the index again, seeing
  // the same index twice, has that item's bytes.
  mutable std::mutex progress_mutex_;
  int shown_index_ = 0;
  uint64_t shown_bytes_ = 0;
  // How long the latest request took to bring its first byte: what a new
  // request for a piece costs before it adds anything.
  mutable std::atomic<int64_t> first_byte_nanos_{0};
  // What GetQueueReceivedBytes64 answers: every item's `received` summed.
  std::atomic<uint64_t> queue_received_{0};
  std::atomic<int> last_failure_{kHttpFailureNone};
};

}  // namespace dizedir::http

#endif  // DIZEDIR_PLATFORM_HTTP_QUEUED_DOWNLOADER_H_
