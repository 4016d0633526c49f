// LinkModel: a TCP relay on loopback that makes the way to an upstream
// server behave like a long link. Every byte reaches the other side half a
// round trip after the relay read it, in either direction; a new
// connection is put through only one round trip after it was accepted, the
// way a handshake costs one; token buckets limit each connection's rate
// and the rate of the whole link, which all connections share; and a
// direction stops reading once it holds more than its rate times a round
// trip plus a little, so a slow reader slows the sender as it would. A
// chosen fraction of connections is reset (both sides closed abruptly)
// after a random number of bytes towards the client.
//
//   LinkShape shape;
//   shape.round_trip = std::chrono::milliseconds(80);
//   shape.link_bytes_per_second = 25e6;
//   std::unique_ptr<LinkModel> link;
//   LinkModel::Start(nginx_port, shape, &link);
//   ... http://link->host_port()/...
//
// One thread runs every connection on poll(2).
//
// Thread-safety: counts() may be called from any thread while the relay
// runs; the object is made and destroyed by one thread.

#ifndef DIZEDIR_BENCH_LINK_MODEL_H_
#define DIZEDIR_BENCH_LINK_MODEL_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "platform/status.h"

namespace dizedir {

struct LinkShape {
  std::chrono::microseconds round_trip{0};
  double connection_bytes_per_second = 0;  // 0: connections are not limited
  double link_bytes_per_second = 0;        // 0: the link is not limited
  double reset_fraction = 0;               // of connections, 0 .. 1
  // Connections chosen for a reset close after a number of bytes towards
  // the client drawn evenly from [1, reset_within_bytes].
  uint64_t reset_within_bytes = uint64_t{16} << 20;
  uint64_t seed = 1;
};

// What a direction may hold beyond its rate times a round trip.
inline constexpr size_t kLinkSlackBytes = 256 * 1024;

// The bytes a direction of a connection may hold before it stops reading:
// the tighter of the two rates times a round trip, plus the slack. An
// unlimited link holds only the slack.
size_t LinkBufferLimit(const LinkShape& shape);

class LinkModel {
 public:
  struct Counts {
    uint64_t connections = 0;
    uint64_t resets = 0;
    uint64_t bytes_to_client = 0;
    uint64_t bytes_to_server = 0;
  };

  // Listens on a free loopback port and relays each connection to
  // 127.0.0.1:upstream_port.
  static Status Start(int upstream_port, const LinkShape& shape,
                      std::unique_ptr<LinkModel>* model);

  LinkModel(const LinkModel&) = delete;
  LinkModel& operator=(const LinkModel&) = delete;
  // Stops the relay and closes every connection.
  ~LinkModel();

  int port() const { return port_; }
  std::string host_port() const { return "127.0.0.1:" + std::to_string(port_); }
  Counts counts() const;

 private:
  class Loop;
  LinkModel() = default;

  int port_ = 0;
  int wake_write_ = -1;
  std::unique_ptr<Loop> loop_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
};

}  // namespace dizedir

#endif  // DIZEDIR_BENCH_LINK_MODEL_H_
