#include "support/test_http_server.h"

#include <httplib.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iterator>
#include <sstream>

#include "support/test_bytes.h"

namespace dizedir {

namespace {

constexpr size_t kChunkBytes = 16 * 1024;
// A slow link sends in slices this many times a second.
constexpr size_t kSlicesPerSecond = 20;

struct ByteRange {
  size_t start = 0;
  size_t end = 0;  // exclusive
};

// The first range of "bytes=a-b", "bytes=a-" or "bytes=-n" against a body of
// `size` bytes; nullopt when the header is not a byte range at all.
std::optional<ByteRange> ParseRange(const std::string& header, size_t size,
                                    bool* satisfiable) {
  *satisfiable = true;
  const std::string prefix = "bytes=";
  if (header.compare(0, prefix.size(), prefix) != 0) return std::nullopt;
  std::string range = header.substr(prefix.size());
  range = range.substr(0, range.find(','));
  const size_t dash = range.find('-');
  if (dash == std::string::npos) return std::nullopt;
  const std::string first = range.substr(0, dash);
  const std::string last = range.substr(dash + 1);
  try {
    ByteRange range;
    if (first.empty()) {
      if (last.empty()) return std::nullopt;
      const size_t suffix = std::min<size_t>(std::stoull(last), size);
      range.start = size - suffix;
      range.end = size;
    } else {
      range.start = std::stoull(first);
      range.end = last.empty() ? size
                               : std::min<size_t>(std::stoull(last) + 1, size);
    }
    if (range.start >= size || range.end <= range.start) *satisfiable = false;
    return range;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

bool FaultApplies(int times, int gets_seen) {
  return times < 0 || gets_seen <= times;
}

size_t SaturatingAdd(size_t a, size_t b) {
  return a > SIZE_MAX - b ? SIZE_MAX : a + b;
}

// The file as a "gzip" or zlib-wrapped "deflate" body.
std::string Compress(const std::string& bytes, bool gzip) {
  return DeflateStream(bytes, gzip ? 15 + 16 : 15);
}

}  // namespace

TestHttpServer::Fault TestHttpServer::Fault::Status(int code) {
  Fault fault;
  fault.status = code;
  return fault;
}

TestHttpServer::Fault TestHttpServer::Fault::DropAfter(size_t bytes,
                                                       int times) {
  Fault fault;
  fault.drop_after = bytes;
  fault.drop_times = times;
  return fault;
}

TestHttpServer::Fault TestHttpServer::Fault::Stall(size_t after_bytes,
                                                   int times) {
  Fault fault;
  fault.stall_after = after_bytes;
  fault.stall_times = times;
  return fault;
}

TestHttpServer::Fault TestHttpServer::Fault::SlowRate(
    size_t bytes_per_second) {
  Fault fault;
  fault.bytes_per_second = bytes_per_second;
  return fault;
}

TestHttpServer::Fault TestHttpServer::Fault::IgnoreRange() {
  Fault fault;
  fault.ignore_range = true;
  return fault;
}

TestHttpServer::Fault TestHttpServer::Fault::ShortBody(size_t missing_bytes) {
  Fault fault;
  fault.missing_bytes = missing_bytes;
  return fault;
}

TestHttpServer::Fault TestHttpServer::Fault::RefuseHead() {
  Fault fault;
  fault.refuse_head = true;
  return fault;
}

TestHttpServer::Fault TestHttpServer::Fault::EndlessBody() {
  Fault fault;
  fault.extra_bytes = kEndless;
  fault.chunked = true;
  return fault;
}

TestHttpServer::Fault TestHttpServer::Fault::LongerThanAnnounced(
    size_t extra) {
  Fault fault;
  fault.extra_bytes = extra;
  return fault;
}

TestHttpServer::Fault TestHttpServer::Fault::HeadSays(uint64_t size) {
  Fault fault;
  fault.head_size = size;
  return fault;
}

TestHttpServer::Fault TestHttpServer::Fault::Delay(int64_t millis) {
  Fault fault;
  fault.delay_millis = millis;
  return fault;
}

TestHttpServer::Fault TestHttpServer::Fault::Encoded(std::string coding) {
  Fault fault;
  fault.content_encoding = std::move(coding);
  return fault;
}

TestHttpServer::Fault TestHttpServer::Fault::LyingRange(
    std::string content_range) {
  Fault fault;
  fault.content_range = std::move(content_range);
  return fault;
}

TestHttpServer::Fault TestHttpServer::Fault::RedirectTo(
    std::string location) {
  Fault fault;
  fault.redirect_to = std::move(location);
  return fault;
}

TestHttpServer::Fault TestHttpServer::Fault::ExtraHeader(std::string name,
                                                         std::string value) {
  Fault fault;
  fault.headers.emplace_back(std::move(name), std::move(value));
  return fault;
}

TestHttpServer::TestHttpServer() : server_(std::make_unique<httplib::Server>()) {
  // Enough requests per connection for any queue a test runs, and a short
  // idle limit so that stopping never waits long for a kept-alive client.
  server_->set_keep_alive_max_count(100000);
  server_->set_keep_alive_timeout(1);
  // A client keeps several connections alive, and a test may run a second
  // client while the first one's idle connections still hold their
  // threads: room for many, as a real server has.
  server_->new_task_queue = [] { return new httplib::ThreadPool(16); };
  // Headers and body go out in separate writes; with Nagle's algorithm the
  // body would wait for the client's delayed ACK of the headers (40 ms on
  // Linux) on every kept-alive request, which real servers avoid.
  server_->set_tcp_nodelay(true);
  server_->Get(R"(.*)", [this](const httplib::Request& req,
                               httplib::Response& res) { Serve(req, res); });
  port_ = server_->bind_to_any_port("127.0.0.1");
  if (port_ <= 0) return;
  listener_ = std::thread([this] { server_->listen_after_bind(); });
  while (!server_->is_running()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

TestHttpServer::~TestHttpServer() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  stopping_cv_.notify_all();
  server_->stop();
  if (listener_.joinable()) listener_.join();
}

std::string TestHttpServer::host_port() const {
  return host() + ":" + std::to_string(port_);
}

std::string TestHttpServer::url(const std::string& path) const {
  return "http://" + host_port() + path;
}

void TestHttpServer::AddFile(const std::string& path, std::string bytes) {
  auto content = std::make_shared<const std::string>(std::move(bytes));
  std::lock_guard<std::mutex> lock(mutex_);
  files_[path] = std::move(content);
}

void TestHttpServer::RemoveFile(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  files_.erase(path);
}

void TestHttpServer::ServeDirectory(const std::string& dir) {
  std::lock_guard<std::mutex> lock(mutex_);
  directory_ = dir;
}

void TestHttpServer::SetFault(const std::string& path, const Fault& fault) {
  std::lock_guard<std::mutex> lock(mutex_);
  paths_[path] = PathState{fault, 0};
}

void TestHttpServer::ClearFault(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  paths_.erase(path);
}

std::vector<TestHttpServer::Request> TestHttpServer::requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

int TestHttpServer::max_concurrent() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return max_in_flight_;
}

std::vector<TestHttpServer::Request> TestHttpServer::RequestsFor(
    const std::string& path) const {
  std::vector<Request> matching;
  for (const Request& request : requests()) {
    if (request.path == path) matching.push_back(request);
  }
  return matching;
}

void TestHttpServer::ClearRequests() {
  std::lock_guard<std::mutex> lock(mutex_);
  requests_.clear();
  body_bytes_.clear();
}

uint64_t TestHttpServer::BodyBytesUnder(const std::string& prefix) const {
  std::lock_guard<std::mutex> lock(mutex_);
  uint64_t total = 0;
  for (const auto& [path, bytes] : body_bytes_) {
    if (path.compare(0, prefix.size(), prefix) == 0) total += bytes;
  }
  return total;
}

std::shared_ptr<const std::string> TestHttpServer::FindContent(
    const std::string& path) {
  std::string directory;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = files_.find(path);
    if (it != files_.end()) return it->second;
    directory = directory_;
  }
  if (directory.empty() || path.empty() || path.front() != '/' ||
      path.find("..") != std::string::npos) {
    return nullptr;
  }
  const std::filesystem::path file(directory + path);
  std::error_code error;
  const uintmax_t size = std::filesystem::file_size(file, error);
  const std::filesystem::file_time_type time =
      error ? std::filesystem::file_time_type() : std::filesystem::last_write_time(file, error);
  if (!error) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = directory_files_.find(path);
    if (it != directory_files_.end() && it->second.size == size && it->second.time == time) {
      return it->second.bytes;
    }
  }
  std::ifstream in(file, std::ios::binary);
  if (!in) return nullptr;
  std::ostringstream bytes;
  bytes << in.rdbuf();
  auto content = std::make_shared<const std::string>(bytes.str());
  if (!error && content->size() == size) {
    std::lock_guard<std::mutex> lock(mutex_);
    directory_files_[path] = DirectoryFile{size, time, content};
  }
  return content;
}

bool TestHttpServer::Sleep(int64_t millis) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (millis < 0) {
    stopping_cv_.wait(lock, [this] { return stopping_; });
    return false;
  }
  return !stopping_cv_.wait_for(lock, std::chrono::milliseconds(millis),
                                [this] { return stopping_; });
}

void TestHttpServer::Serve(const httplib::Request& req,
                           httplib::Response& res) {
  // Ranges are answered here, not by the library, so that faults can bend
  // them; clearing what it parsed keeps it from slicing the body again. The
  // request object is the library's own non-const local.
  const_cast<httplib::Request&>(req).ranges.clear();
  const std::string range_header = req.get_header_value("Range");

  Fault fault;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(Request{req.method, req.path, req.target,
                                range_header,
                                req.get_header_value("Accept-Encoding"),
                                req.remote_port});
    const auto it = paths_.find(req.path);
    if (it != paths_.end()) fault = it->second.fault;
    max_in_flight_ = std::max(max_in_flight_, ++in_flight_);
  }
  // Counted while the head is being made; the body may go out later.
  struct Leaving {
    TestHttpServer* server;
    ~Leaving() {
      std::lock_guard<std::mutex> lock(server->mutex_);
      --server->in_flight_;
    }
  } leaving{this};
  if (fault.delay_millis > 0 && !Sleep(fault.delay_millis)) return;
  const bool is_head = req.method == "HEAD";

  for (const auto& [name, value] : fault.headers) res.set_header(name, value);
  if (fault.refuse_head && is_head) {
    res.status = 405;
    return;
  }
  if (!fault.redirect_to.empty()) {
    res.status = 302;
    res.set_header("Location", fault.redirect_to);
    res.set_content("moved\n", "text/plain");
    return;
  }
  if (fault.status != 0) {
    res.status = fault.status;
    res.set_content("injected status\n", "text/plain");
    return;
  }
  std::shared_ptr<const std::string> content = FindContent(req.path);
  if (!content) {
    res.status = 404;
    res.set_content("not found\n", "text/plain");
    return;
  }
  if (!fault.content_encoding.empty()) {
    res.set_header("Content-Encoding", fault.content_encoding);
    if (fault.content_encoding == "gzip" ||
        fault.content_encoding == "deflate") {
      content = std::make_shared<const std::string>(
          Compress(*content, fault.content_encoding == "gzip"));
    }
  }

  const size_t real_size = content->size();
  // Bytes a GET can send, filler included, and the size it claims.
  const size_t body_size = SaturatingAdd(real_size, fault.extra_bytes);
  const size_t declared_size = SaturatingAdd(body_size, fault.missing_bytes);
  if (is_head) {
    const uint64_t announced =
        fault.head_size.value_or(fault.extra_bytes > 0
                                     ? SaturatingAdd(real_size,
                                                     fault.missing_bytes)
                                     : declared_size);
    res.status = 200;
    if (!fault.ignore_range) res.set_header("Accept-Ranges", "bytes");
    res.set_content_provider(
        static_cast<size_t>(announced), "application/octet-stream",
        [](size_t, size_t, httplib::DataSink&) { return false; });
    return;
  }
  ByteRange span{0, declared_size};
  res.status = 200;
  if (!range_header.empty() && !fault.ignore_range) {
    bool satisfiable = true;
    if (const auto range = ParseRange(range_header, declared_size,
                                      &satisfiable)) {
      if (!satisfiable) {
        res.status = 416;
        res.set_header("Content-Range",
                       "bytes */" + std::to_string(declared_size));
        return;
      }
      span = *range;
      res.status = 206;
      res.set_header("Content-Range",
                     fault.content_range.value_or(
                         "bytes " + std::to_string(span.start) + "-" +
                         std::to_string(span.end - 1) + "/" +
                         std::to_string(declared_size)));
    }
  }
  if (!fault.ignore_range) res.set_header("Accept-Ranges", "bytes");

  bool drop = false;
  bool stall = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = paths_.find(req.path);
    if (it != paths_.end()) {
      const int seen = ++it->second.gets_seen;
      drop = fault.drop_after && FaultApplies(fault.drop_times, seen);
      stall = fault.stall_after && FaultApplies(fault.stall_times, seen);
    }
  }

  const size_t length = span.end - span.start;
  if (length == 0) {
    res.set_content("", "application/octet-stream");
    return;
  }
  const std::optional<size_t> drop_after =
      drop ? fault.drop_after : std::nullopt;
  const std::optional<size_t> stall_after =
      stall ? fault.stall_after : std::nullopt;
  const size_t rate = fault.bytes_per_second;
  const size_t start = span.start;
  // Writes the next piece from `offset` into the span; false ends the
  // answer (and, short of its length, closes the connection).
  auto produce = [this, content, start, real_size, body_size, drop_after,
                  stall_after, rate, path = req.path](size_t offset, size_t remaining,
                                     httplib::DataSink& sink) {
    static const std::string filler(kChunkBytes, 'z');
    const size_t position = SaturatingAdd(start, offset);
    // A short body closes the connection where the bytes end.
    if (position >= body_size) return false;
    size_t chunk = std::min({remaining, kChunkBytes, body_size - position});
    if (position < real_size) chunk = std::min(chunk, real_size - position);
    if (drop_after) {
      if (offset >= *drop_after) return false;
      chunk = std::min(chunk, *drop_after - offset);
    }
    if (stall_after) {
      if (offset >= *stall_after) {
        Sleep(-1);
        return false;
      }
      chunk = std::min(chunk, *stall_after - offset);
    }
    if (rate > 0) {
      chunk = std::min(chunk, std::max<size_t>(rate / kSlicesPerSecond, 1));
      if (!Sleep(static_cast<int64_t>(chunk * 1000 / rate))) return false;
    }
    const char* data = position < real_size ? content->data() + position
                                            : filler.data();
    if (!sink.write(data, chunk)) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    body_bytes_[path] += chunk;
    return true;
  };
  if (fault.chunked) {
    res.set_chunked_content_provider(
        "application/octet-stream",
        [produce, length](size_t offset, httplib::DataSink& sink) {
          if (offset >= length) {
            sink.done();
            return true;
          }
          return produce(offset, length - offset, sink);
        });
    return;
  }
  // Pages a browser test opens are shown, not downloaded.
  const bool page = req.path.size() > 5 &&
                    req.path.compare(req.path.size() - 5, 5, ".html") == 0;
  res.set_content_provider(length, page ? "text/html" : "application/octet-stream", produce);
}

}  // namespace dizedir
