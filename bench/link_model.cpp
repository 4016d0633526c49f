#include "link_model.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <limits>
#include <random>
#include <vector>

namespace dizedir {

using Clock = std::chrono::steady_clock;

namespace {

// Bytes one read may take; small enough that connections sharing the
// link take turns often.
constexpr size_t kReadBytes = 64 * 1024;
// A limited direction waits until it may read at least this much, so that
// a slow connection is not woken for every few hundred bytes.
constexpr double kReadQuantum = 16 * 1024;

// Bytes per second; 0 or less means no limit. The bucket holds a few
// milliseconds of the rate, so a burst never outruns the link by more.
class TokenBucket {
 public:
  explicit TokenBucket(double rate, Clock::time_point now)
      : rate_(rate), capacity_(std::max(rate * 0.005, 2 * kReadQuantum)),
        tokens_(capacity_), filled_at_(now) {}

  bool limited() const { return rate_ > 0; }

  double Available(Clock::time_point now) {
    if (!limited()) return std::numeric_limits<double>::infinity();
    const double elapsed = std::chrono::duration<double>(now - filled_at_).count();
    tokens_ = std::min(capacity_, tokens_ + elapsed * rate_);
    filled_at_ = now;
    return tokens_;
  }

  void Take(size_t bytes) {
    if (limited()) tokens_ -= static_cast<double>(bytes);
  }

  // When at least `bytes` (at most the capacity) will be there.
  Clock::time_point WhenAvailable(double bytes, Clock::time_point now) {
    const double missing = std::min(bytes, capacity_) - Available(now);
    if (missing <= 0) return now;
    return now + std::chrono::duration_cast<Clock::duration>(
                     std::chrono::duration<double>(missing / rate_));
  }

 private:
  double rate_;
  double capacity_;
  double tokens_;
  Clock::time_point filled_at_;
};

struct Chunk {
  Clock::time_point due;
  std::string bytes;  // empty: the source closed its side
};

// One way through a connection: what was read from `from` and is still to
// be written to `to`.
struct Direction {
  Direction(double rate, Clock::time_point now) : bucket(rate, now) {}
  int from = -1, to = -1;
  std::deque<Chunk> queue;
  size_t held = 0;
  size_t written = 0;  // of the front chunk
  bool source_closed = false;
  bool sink_closed = false;
  TokenBucket bucket;
};

struct Connection {
  Connection(double rate, Clock::time_point now) : up(rate, now), down(rate, now) {}
  int client = -1, server = -1;
  Clock::time_point through_at;
  bool through = false;
  Direction up;    // client to server
  Direction down;  // server to client
  uint64_t reset_after = 0;  // 0: never reset
  uint64_t delivered = 0;    // to the client
  bool dead = false;
};

void SetNonBlocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

int ConnectLoopback(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    close(fd);
    return -1;
  }
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  SetNonBlocking(fd);
  return fd;
}

}  // namespace

size_t LinkBufferLimit(const LinkShape& shape) {
  double rate = 0;
  for (double r : {shape.connection_bytes_per_second, shape.link_bytes_per_second}) {
    if (r > 0) rate = rate > 0 ? std::min(rate, r) : r;
  }
  const double round_trip = std::chrono::duration<double>(shape.round_trip).count();
  return kLinkSlackBytes + static_cast<size_t>(rate * round_trip);
}

class LinkModel::Loop {
 public:
  Loop(int listener, int wake_read, int upstream_port, const LinkShape& shape)
      : listener_(listener), wake_read_(wake_read), upstream_port_(upstream_port),
        shape_(shape), half_trip_(shape.round_trip / 2), limit_(LinkBufferLimit(shape)),
        link_(shape.link_bytes_per_second, Clock::now()), random_(shape.seed) {}

  ~Loop() {
    for (Connection& c : connections_) Close(&c, false);
    close(listener_);
    close(wake_read_);
  }

  void Run(const std::atomic<bool>* stop) {
    std::vector<pollfd> fds;
    std::vector<char> buffer(kReadBytes);
    size_t turn = 0;
    while (!stop->load()) {
      Clock::time_point now = Clock::now();
      Clock::time_point wake = now + std::chrono::seconds(1);
      for (Connection& c : connections_) {
        if (!c.through && c.through_at <= now) PutThrough(&c);
      }
      connections_.erase(std::remove_if(connections_.begin(), connections_.end(),
                                        [](const Connection& c) { return c.dead; }),
                         connections_.end());

      fds.clear();
      fds.push_back({wake_read_, POLLIN, 0});
      fds.push_back({listener_, POLLIN, 0});
      for (Connection& c : connections_) {
        if (!c.through) {
          wake = std::min(wake, c.through_at);
          fds.push_back({-1, 0, 0});
          fds.push_back({-1, 0, 0});
          continue;
        }
        short client_events = 0, server_events = 0;
        Want(&c.up, now, &wake, &client_events, &server_events);
        Want(&c.down, now, &wake, &server_events, &client_events);
        // A descriptor with nothing to wait for is left out, or its hang-up
        // would wake the loop again and again.
        fds.push_back({client_events != 0 ? c.client : -1, client_events, 0});
        fds.push_back({server_events != 0 ? c.server : -1, server_events, 0});
      }

      const auto wait = std::max(Clock::duration::zero(), wake - now);
      const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(wait);
      const timespec timeout{static_cast<time_t>(seconds.count()),
                             static_cast<long>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                                   wait - seconds)
                                                   .count())};
      if (ppoll(fds.data(), fds.size(), &timeout, nullptr) < 0 && errno != EINTR) return;
      if (fds[0].revents != 0) {
        char drain[64];
        while (read(wake_read_, drain, sizeof(drain)) > 0) {
        }
      }
      now = Clock::now();
      const size_t count = connections_.size();
      // Connections take turns at being first to the link's tokens: the one
      // after the last that read goes first.
      const size_t first = turn;
      for (size_t k = 0; k < count; ++k) {
        const size_t i = (first + k) % count;
        Connection& c = connections_[i];
        if (!c.through || c.dead) continue;
        const short client = fds[2 + 2 * i].revents, server = fds[3 + 2 * i].revents;
        if ((client | server) & POLLERR) {
          Close(&c, false);
          continue;
        }
        bool read = Relay(&c, &c.up, client, server, now, buffer.data());
        if (!c.dead) read |= Relay(&c, &c.down, server, client, now, buffer.data());
        if (read) turn = i + 1;
        if (!c.dead && c.up.sink_closed && c.down.sink_closed) Close(&c, false);
      }
      if (fds[1].revents & POLLIN) Accept(now);
    }
  }

  uint64_t connections() const { return connections_made_.load(); }
  uint64_t resets() const { return resets_.load(); }
  uint64_t to_client() const { return to_client_.load(); }
  uint64_t to_server() const { return to_server_.load(); }

 private:
  void Accept(Clock::time_point now) {
    for (;;) {
      const int fd = accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0) return;
      const int one = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
      Connection c(shape_.connection_bytes_per_second, now);
      c.client = fd;
      c.through_at = now + shape_.round_trip;
      if (shape_.reset_fraction > 0 &&
          std::uniform_real_distribution<double>(0, 1)(random_) < shape_.reset_fraction) {
        c.reset_after = std::uniform_int_distribution<uint64_t>(
            1, std::max<uint64_t>(1, shape_.reset_within_bytes))(random_);
      }
      connections_.push_back(std::move(c));
      connections_made_.fetch_add(1);
    }
  }

  void PutThrough(Connection* c) {
    c->through = true;
    c->server = ConnectLoopback(upstream_port_);
    if (c->server < 0) {
      Close(c, false);
      return;
    }
    c->up.from = c->down.to = c->client;
    c->up.to = c->down.from = c->server;
  }

  // The events `d` waits for on its source and its sink, and how soon the
  // loop must wake for it without any.
  void Want(Direction* d, Clock::time_point now, Clock::time_point* wake, short* source_events,
            short* sink_events) {
    if (!d->source_closed && d->held < limit_) {
      const Clock::time_point ready =
          std::max(d->bucket.limited() ? d->bucket.WhenAvailable(kReadQuantum, now) : now,
                   link_.limited() ? link_.WhenAvailable(kReadQuantum, now) : now);
      if (ready <= now) {
        *source_events |= POLLIN;
      } else {
        *wake = std::min(*wake, ready);
      }
    }
    if (!d->queue.empty()) {
      if (d->queue.front().due <= now) {
        *sink_events |= POLLOUT;
      } else {
        *wake = std::min(*wake, d->queue.front().due);
      }
    }
  }

  // Whether it read anything.
  bool Relay(Connection* c, Direction* d, short source_revents, short sink_revents,
             Clock::time_point now, char* buffer) {
    const bool read = (source_revents & (POLLIN | POLLHUP)) && Read(c, d, now, buffer);
    if (!c->dead && (sink_revents & POLLOUT)) Write(c, d, now);
    return read;
  }

  bool Read(Connection* c, Direction* d, Clock::time_point now, char* buffer) {
    if (d->source_closed || d->held >= limit_) return false;
    const double allowed =
        std::min({static_cast<double>(kReadBytes), static_cast<double>(limit_ - d->held),
                  d->bucket.Available(now), link_.Available(now)});
    if (allowed < 1) return false;
    const ssize_t n = recv(d->from, buffer, static_cast<size_t>(allowed), 0);
    if (n < 0) {
      if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) Close(c, false);
      return false;
    }
    if (n == 0) {
      d->source_closed = true;
      d->queue.push_back({now + half_trip_, std::string()});
      return false;
    }
    d->bucket.Take(static_cast<size_t>(n));
    link_.Take(static_cast<size_t>(n));
    d->held += static_cast<size_t>(n);
    d->queue.push_back({now + half_trip_, std::string(buffer, static_cast<size_t>(n))});
    return true;
  }

  void Write(Connection* c, Direction* d, Clock::time_point now) {
    const bool to_client = d == &c->down;
    while (!d->queue.empty() && d->queue.front().due <= now) {
      Chunk& front = d->queue.front();
      if (front.bytes.empty()) {
        shutdown(d->to, SHUT_WR);
        d->sink_closed = true;
        d->queue.pop_front();
        return;
      }
      size_t want = front.bytes.size() - d->written;
      if (to_client && c->reset_after > 0) {
        want = static_cast<size_t>(std::min<uint64_t>(want, c->reset_after - c->delivered));
      }
      const ssize_t n = send(d->to, front.bytes.data() + d->written, want, MSG_NOSIGNAL);
      if (n < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) Close(c, false);
        return;
      }
      d->written += static_cast<size_t>(n);
      d->held -= static_cast<size_t>(n);
      (to_client ? to_client_ : to_server_).fetch_add(static_cast<uint64_t>(n));
      if (to_client) {
        c->delivered += static_cast<uint64_t>(n);
        if (c->reset_after > 0 && c->delivered >= c->reset_after) {
          resets_.fetch_add(1);
          Close(c, true);
          return;
        }
      }
      if (d->written < front.bytes.size()) return;
      d->written = 0;
      d->queue.pop_front();
    }
  }

  // With `abortive` the client gets a reset rather than an orderly end.
  void Close(Connection* c, bool abortive) {
    if (c->dead) return;
    c->dead = true;
    if (c->client >= 0) {
      if (abortive) {
        const linger now{1, 0};
        setsockopt(c->client, SOL_SOCKET, SO_LINGER, &now, sizeof(now));
      }
      close(c->client);
    }
    if (c->server >= 0) close(c->server);
    c->client = c->server = -1;
  }

  const int listener_;
  const int wake_read_;
  const int upstream_port_;
  const LinkShape shape_;
  const Clock::duration half_trip_;
  const size_t limit_;
  TokenBucket link_;
  std::mt19937_64 random_;
  std::vector<Connection> connections_;
  std::atomic<uint64_t> connections_made_{0}, resets_{0}, to_client_{0}, to_server_{0};
};

Status LinkModel::Start(int upstream_port, const LinkShape& shape,
                        std::unique_ptr<LinkModel>* model) {
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (listener < 0) return Status::IOError(std::string("socket: ") + std::strerror(errno));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof(address);
  if (bind(listener, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
      listen(listener, 128) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    const Status error = Status::IOError(std::string("listen: ") + std::strerror(errno));
    close(listener);
    return error;
  }
  int wake[2];
  if (pipe2(wake, O_NONBLOCK | O_CLOEXEC) != 0) {
    close(listener);
    return Status::IOError(std::string("pipe: ") + std::strerror(errno));
  }
  std::unique_ptr<LinkModel> made(new LinkModel());
  made->port_ = ntohs(address.sin_port);
  made->wake_write_ = wake[1];
  made->loop_ = std::make_unique<Loop>(listener, wake[0], upstream_port, shape);
  LinkModel* raw = made.get();
  made->thread_ = std::thread([raw] { raw->loop_->Run(&raw->stop_); });
  *model = std::move(made);
  return Status::OK();
}

LinkModel::~LinkModel() {
  stop_.store(true);
  if (wake_write_ >= 0) {
    const char byte = 0;
    (void)!write(wake_write_, &byte, 1);
  }
  if (thread_.joinable()) thread_.join();
  loop_.reset();
  if (wake_write_ >= 0) close(wake_write_);
}

LinkModel::Counts LinkModel::counts() const {
  Counts counts;
  counts.connections = loop_->connections();
  counts.resets = loop_->resets();
  counts.bytes_to_client = loop_->to_client();
  counts.bytes_to_server = loop_->to_server();
  return counts;
}

}  // namespace dizedir
