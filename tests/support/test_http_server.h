// TestHttpServer: an HTTP server for tests, running in the test's own
// process on an ephemeral loopback port, that serves files from memory or a
// directory and breaks on request the ways real servers and links break: an
// error status, a connection dropped part-way, a stall, a slow link, Range
// ignored, a body shorter than its Content-Length, HEAD refused. It also
// plays the hostile server: a body that runs past the announced size or
// never ends, a HEAD that lies about the size, an encoded (or bomb) body, a
// Content-Range that lies, a redirect elsewhere, headers of any size and
// form. It records every request so a test can check what the client asked
// for.
//
//   TestHttpServer server;
//   server.AddFile("/verlist.bin", bytes);
//   server.SetFault("/a.zip", TestHttpServer::Fault::DropAfter(1000, 1));
//   downloader->Connect(server.host_port().c_str(), 80);
//
// Thread-safety: every method may be called from any thread, also while
// requests are being served.

#ifndef DIZEDIR_TESTS_SUPPORT_TEST_HTTP_SERVER_H_
#define DIZEDIR_TESTS_SUPPORT_TEST_HTTP_SERVER_H_

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace dizedir {

class TestHttpServer {
 public:
  // How a path misbehaves. The named constructors give one fault each; the
  // fields may be combined (a slow link that also drops, say).
  struct Fault {
    // Every request gets this status and a short text body.
    int status = 0;
    // The connection closes after this many body bytes, for the first
    // `drop_times` GET answers (negative: all of them).
    std::optional<size_t> drop_after;
    int drop_times = -1;
    // After this many body bytes nothing more is sent until the server is
    // destroyed, for the first `stall_times` GET answers (negative: all).
    std::optional<size_t> stall_after;
    int stall_times = -1;
    // Body bytes per second; 0 is as fast as the link goes.
    size_t bytes_per_second = 0;
    // Answers a Range request with 200 and the whole body.
    bool ignore_range = false;
    // The file is announced this many bytes longer than it is; the
    // connection closes where the real bytes end.
    size_t missing_bytes = 0;
    // HEAD gets 405 Method Not Allowed.
    bool refuse_head = false;
    // Every answer waits this long before its head is sent.
    int64_t delay_millis = 0;

    // After the file's real bytes a GET body goes on with this many bytes
    // of filler; kEndless never stops. Content-Length (when sent) and the
    // totals of ranges count them, HEAD does not.
    size_t extra_bytes = 0;
    // GET bodies are sent chunked, without a Content-Length.
    bool chunked = false;
    // HEAD announces this size instead of the one a GET would send.
    std::optional<uint64_t> head_size;
    // Sent as Content-Encoding. "gzip" and "deflate" (zlib-wrapped) also
    // compress the file first: Content-Length, ranges and the faults above
    // then count compressed bytes. Any other value is only a label.
    std::string content_encoding;
    // Sent instead of the true Content-Range of a 206 answer.
    std::optional<std::string> content_range;
    // Every request is answered 302 with this Location.
    std::string redirect_to;
    // Added to every answer as they are, beside the server's own: malformed,
    // duplicated or huge ones.
    std::vector<std::pair<std::string, std::string>> headers;

    static constexpr size_t kEndless = SIZE_MAX;

    static Fault Status(int code);
    static Fault DropAfter(size_t bytes, int times = 1);
    static Fault Stall(size_t after_bytes, int times = 1);
    static Fault SlowRate(size_t bytes_per_second);
    static Fault IgnoreRange();
    static Fault ShortBody(size_t missing_bytes);
    static Fault RefuseHead();
    // A chunked body that never ends.
    static Fault EndlessBody();
    // The GET body, Content-Length included, is `extra` bytes longer than
    // HEAD says.
    static Fault LongerThanAnnounced(size_t extra);
    // HEAD announces `size`; GETs send the file as it is.
    static Fault HeadSays(uint64_t size);
    static Fault Delay(int64_t millis);
    static Fault Encoded(std::string coding);
    static Fault LyingRange(std::string content_range);
    static Fault RedirectTo(std::string location);
    static Fault ExtraHeader(std::string name, std::string value);
  };

  struct Request {
    std::string method;  // "GET", "HEAD"
    std::string path;    // decoded, as the server looks files up
    std::string target;  // the request target as sent, still encoded
    std::string range;   // the Range header, empty when absent
    std::string accept_encoding;  // the Accept-Encoding header, likewise
    int remote_port = 0;  // tells connections apart
  };

  // Starts listening on 127.0.0.1; check started().
  TestHttpServer();
  TestHttpServer(const TestHttpServer&) = delete;
  TestHttpServer& operator=(const TestHttpServer&) = delete;
  // Releases stalled answers and stops; returns when every server thread
  // has ended.
  ~TestHttpServer();

  bool started() const { return port_ > 0; }
  int port() const { return port_; }
  std::string host() const { return "127.0.0.1"; }
  std::string host_port() const;                  // "127.0.0.1:PORT"
  std::string url(const std::string& path) const;  // "http://127.0.0.1:PORT/x"

  // `path` is the decoded URL path, starting with "/".
  void AddFile(const std::string& path, std::string bytes);
  void RemoveFile(const std::string& path);
  // Paths not added with AddFile are looked up under `dir` (no ".." allowed).
  void ServeDirectory(const std::string& dir);

  void SetFault(const std::string& path, const Fault& fault);
  void ClearFault(const std::string& path);

  std::vector<Request> requests() const;
  // The most requests that were ever being answered at once.
  int max_concurrent() const;
  std::vector<Request> RequestsFor(const std::string& path) const;
  // Clears the requests and the body byte counts.
  void ClearRequests();
  // Bytes of the bodies sent for paths starting with `prefix`, as written
  // to the connections (what a client paid for, ranges and retries alike).
  uint64_t BodyBytesUnder(const std::string& prefix) const;

 private:
  struct PathState {
    Fault fault;
    int gets_seen = 0;  // GET answers that carried a body
  };

  void Serve(const httplib::Request& req, httplib::Response& res);
  std::shared_ptr<const std::string> FindContent(const std::string& path);
  // Waits up to `millis`; false when the server is stopping.
  bool Sleep(int64_t millis);

  std::unique_ptr<httplib::Server> server_;
  std::thread listener_;
  int port_ = -1;

  mutable std::mutex mutex_;
  std::condition_variable stopping_cv_;
  bool stopping_ = false;
  std::map<std::string, std::shared_ptr<const std::string>> files_;
  std::string directory_;
  // Files of the served directory as last read, with the size and time
  // they had: a client fetching one file in many ranges at once would
  // otherwise have it read whole for every range.
  struct DirectoryFile {
    uintmax_t size = 0;
    std::filesystem::file_time_type time;
    std::shared_ptr<const std::string> bytes;
  };
  std::map<std::string, DirectoryFile> directory_files_;
  std::map<std::string, PathState> paths_;
  std::vector<Request> requests_;
  std::map<std::string, uint64_t> body_bytes_;  // by path
  int in_flight_ = 0;
  int max_in_flight_ = 0;
};

}  // namespace dizedir

#endif  // DIZEDIR_TESTS_SUPPORT_TEST_HTTP_SERVER_H_
