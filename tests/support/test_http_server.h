// TestHttpServer: an HTTP server for tests, running in the test's own
// process on an ephemeral loopback port, that serves files from memory or a
// directory and breaks on request the ways real servers and links break: an
// error status, a connection dropped part-way, a stall, a slow link, Range
// ignored, a body shorter than its Content-Length, HEAD refused. It records
// every request so a test can check what the client asked for.
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
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
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

    static Fault Status(int code);
    static Fault DropAfter(size_t bytes, int times = 1);
    static Fault Stall(size_t after_bytes, int times = 1);
    static Fault SlowRate(size_t bytes_per_second);
    static Fault IgnoreRange();
    static Fault ShortBody(size_t missing_bytes);
    static Fault RefuseHead();
  };

  struct Request {
    std::string method;  // "GET", "HEAD"
    std::string path;    // decoded, as the server looks files up
    std::string target;  // the request target as sent, still encoded
    std::string range;   // the Range header, empty when absent
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
  std::vector<Request> RequestsFor(const std::string& path) const;
  void ClearRequests();

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
  std::map<std::string, PathState> paths_;
  std::vector<Request> requests_;
};

}  // namespace dizedir

#endif  // DIZEDIR_TESTS_SUPPORT_TEST_HTTP_SERVER_H_
