// The relay against a small upstream of the test's own: times through the
// modelled link, bytes intact through cut-short writes, resets, and a
// reader that stops holding the sender back.

#include "link_model.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <future>
#include <string>
#include <thread>
#include <vector>

namespace dizedir {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

int Listen(int* port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof(address);
  bind(fd, reinterpret_cast<sockaddr*>(&address), size);
  listen(fd, 16);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  *port = ntohs(address.sin_port);
  return fd;
}

int Connect(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// The byte at `offset` of every answer, so that a byte lost, repeated or
// moved shows.
char PatternAt(uint64_t offset) { return static_cast<char>(offset * 7 % 251); }

// Answers a line "N" with N bytes of the pattern and then closes; answers "flood" by
// writing until the writes have been blocked for a while, and records how
// much got out.
class Upstream {
 public:
  Upstream() : listener_(Listen(&port_)) {
    thread_ = std::thread([this] {
      for (;;) {
        const int fd = accept(listener_, nullptr, nullptr);
        if (fd < 0) return;
        servers_.emplace_back([this, fd] { Serve(fd); });
      }
    });
  }
  ~Upstream() {
    shutdown(listener_, SHUT_RDWR);
    close(listener_);
    thread_.join();
    for (std::thread& t : servers_) t.join();
  }
  int port() const { return port_; }
  uint64_t flooded() const { return flooded_.load(); }

 private:
  void Serve(int fd) {
    std::string line;
    char c;
    while (recv(fd, &c, 1, 0) == 1 && c != '\n') line += c;
    std::string block(64 * 1024, 'x');
    if (line == "flood") {
      for (;;) {
        pollfd p{fd, POLLOUT, 0};
        if (poll(&p, 1, 500) <= 0) break;
        const ssize_t n = send(fd, block.data(), block.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n <= 0 && errno != EAGAIN) break;
        if (n > 0) flooded_ += static_cast<uint64_t>(n);
      }
    } else {
      const uint64_t total = std::stoull(line);
      for (uint64_t sent = 0; sent < total;) {
        const size_t size = static_cast<size_t>(std::min<uint64_t>(total - sent, block.size()));
        for (size_t k = 0; k < size; ++k) block[k] = PatternAt(sent + k);
        const ssize_t n = send(fd, block.data(), size, MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += static_cast<uint64_t>(n);
      }
    }
    close(fd);
  }

  int port_ = 0;
  int listener_;
  std::thread thread_;
  std::vector<std::thread> servers_;  // only the accepting thread adds
  std::atomic<uint64_t> flooded_{0};
};

struct Fetched {
  double seconds = 0;
  uint64_t received = 0;
  bool intact = true;  // every byte received was the pattern's
  bool reset = false;
};

// Connects through the link, asks for `bytes` and reads to the end. A slow
// reader takes a little at a time through a small receive buffer, so the
// relay's writes are cut short again and again.
Fetched Fetch(int port, uint64_t bytes, bool slow_reader) {
  Fetched result;
  const Clock::time_point start = Clock::now();
  const int fd = Connect(port);
  if (fd < 0) return result;
  if (slow_reader) {
    const int size = 32 * 1024;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
  }
  const std::string request = std::to_string(bytes) + "\n";
  send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  char buffer[65536];
  for (;;) {
    const ssize_t n = recv(fd, buffer, slow_reader ? 16 * 1024 : sizeof(buffer), 0);
    if (n < 0) result.reset = errno == ECONNRESET;
    if (n <= 0) break;
    for (ssize_t k = 0; k < n; ++k) {
      if (buffer[k] != PatternAt(result.received + static_cast<uint64_t>(k))) {
        result.intact = false;
      }
    }
    result.received += static_cast<uint64_t>(n);
    if (slow_reader) std::this_thread::sleep_for(milliseconds(1));
  }
  result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  close(fd);
  return result;
}

TEST(LinkModel, DelaysRatesAndResets) {
  struct Case {
    const char* name;
    LinkShape shape;
    int connections;
    uint64_t bytes;  // each connection's
    double min_seconds, max_seconds;
    bool slow_reader = false;
  };
  auto shape = [](int rtt_ms, double per_connection, double link, double reset = 0) {
    LinkShape s;
    s.round_trip = milliseconds(rtt_ms);
    s.connection_bytes_per_second = per_connection;
    s.link_bytes_per_second = link;
    s.reset_fraction = reset;
    s.reset_within_bytes = 100000;
    return s;
  };
  // The lower bounds are what a correct model cannot beat; the upper ones
  // leave a busy machine (ctest runs suites side by side) room of twice the
  // expected time and more, and are there only where a wrong model is
  // slower: each wrong model (no handshake, a shared rate taken per
  // connection or the reverse, the looser rate winning) lands outside.
  const Case cases[] = {
      // One round trip to connect, one for the request and its answer.
      {"round trips", shape(100, 0, 0), 1, 1, 0.195, 2},
      // Each connection gets its own rate, so three run side by side; a
      // shared rate would take 0.75 s.
      {"per connection", shape(20, 4e6, 0), 3, 1000000, 0.26, 0.6},
      // The link's rate is shared: two take twice as long as one would.
      {"shared link", shape(20, 0, 4e6), 2, 1000000, 0.50, 2},
      {"tighter of the two", shape(20, 8e6, 4e6), 1, 1000000, 0.26, 2},
      {"reset", shape(10, 0, 0, 1.0), 1, 1000000, 0, 1},
      // The relay holds more than the reader's socket takes, so its writes
      // are cut short and must go on where they stopped.
      {"slow reader", shape(200, 40e6, 0), 1, 8000000, 0, 10, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Upstream upstream;
    std::unique_ptr<LinkModel> link;
    ASSERT_TRUE(LinkModel::Start(upstream.port(), c.shape, &link).ok());
    std::vector<std::future<Fetched>> runs;
    for (int i = 0; i < c.connections; ++i) {
      runs.push_back(
          std::async(std::launch::async, Fetch, link->port(), c.bytes, c.slow_reader));
    }
    uint64_t total = 0;
    for (auto& run : runs) {
      const Fetched fetched = run.get();
      EXPECT_TRUE(fetched.intact);
      EXPECT_GE(fetched.seconds, c.min_seconds);
      EXPECT_LE(fetched.seconds, c.max_seconds);
      if (c.shape.reset_fraction > 0) {
        EXPECT_TRUE(fetched.reset);
        EXPECT_LE(fetched.received, c.shape.reset_within_bytes);
      } else {
        EXPECT_FALSE(fetched.reset);
        EXPECT_EQ(fetched.received, c.bytes);
      }
      total += fetched.received;
    }
    const LinkModel::Counts counts = link->counts();
    EXPECT_EQ(counts.connections, static_cast<uint64_t>(c.connections));
    EXPECT_EQ(counts.resets, c.shape.reset_fraction > 0 ? counts.connections : 0u);
    // A reset may drop what the client had not read yet.
    if (c.shape.reset_fraction == 0) {
      EXPECT_EQ(counts.bytes_to_client, total);
    }
  }
}

TEST(LinkModel, AReaderThatStopsStopsTheSender) {
  Upstream upstream;
  LinkShape shape;
  shape.round_trip = milliseconds(10);
  std::unique_ptr<LinkModel> link;
  ASSERT_TRUE(LinkModel::Start(upstream.port(), shape, &link).ok());
  const int fd = Connect(link->port());
  ASSERT_GE(fd, 0);
  send(fd, "flood\n", 6, MSG_NOSIGNAL);
  // Nothing is read; the sender gets as far as the relay's bound and the
  // sockets' own buffers let it, far less than it would given the chance.
  for (int i = 0; i < 100 && upstream.flooded() == 0; ++i) {
    std::this_thread::sleep_for(milliseconds(20));
  }
  std::this_thread::sleep_for(milliseconds(1500));
  const uint64_t flooded = upstream.flooded();
  EXPECT_GT(flooded, 0u);
  EXPECT_LT(flooded, uint64_t{24} << 20);
  EXPECT_LE(link->counts().bytes_to_client, flooded);
  close(fd);
}

}  // namespace
}  // namespace dizedir
