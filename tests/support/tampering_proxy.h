// TamperingProxy: a man in the middle on loopback. It forwards every GET
// and HEAD to an upstream server and passes the answer on, except for the
// paths a test has told it to tamper with: their body is rewritten (a byte
// flipped, another file swapped in), withheld (404), or replaced by one
// that never ends. Bodies are relayed whole, so it suits the small files of
// a test release; Range requests are answered from the (tampered) body.
//
//   TamperingProxy proxy(server.host_port());
//   proxy.Rewrite("/rel/verlist.bin", FlipByte(10));
//
// Thread-safety: every method may be called from any thread, also while
// requests are being served.

#ifndef DIZEDIR_TESTS_SUPPORT_TAMPERING_PROXY_H_
#define DIZEDIR_TESTS_SUPPORT_TAMPERING_PROXY_H_

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace httplib {
class Server;
}  // namespace httplib

namespace dizedir {

class TamperingProxy {
 public:
  // The new body for the honest one.
  using Edit = std::function<std::string(const std::string& honest)>;

  // Starts listening on 127.0.0.1 in front of `upstream` ("127.0.0.1:PORT").
  explicit TamperingProxy(std::string upstream);
  TamperingProxy(const TamperingProxy&) = delete;
  TamperingProxy& operator=(const TamperingProxy&) = delete;
  ~TamperingProxy();

  bool started() const { return port_ > 0; }
  std::string host_port() const { return "127.0.0.1:" + std::to_string(port_); }

  // `path` is the URL path as the client sends it ("/rel/verlist.bin").
  void Rewrite(const std::string& path, Edit edit);
  void Withhold(const std::string& path);  // answered 404
  void Endless(const std::string& path);   // a chunked body that never ends
  void Honest();                           // forgets every tampering

 private:
  enum class Kind { kRewrite, kWithhold, kEndless };
  struct Tamper {
    Kind kind = Kind::kRewrite;
    Edit edit;
  };

  std::string upstream_;
  std::unique_ptr<httplib::Server> server_;
  std::thread listener_;
  int port_ = -1;
  std::mutex mutex_;
  std::map<std::string, Tamper> tampers_;
};

// Edits for the common attacks.
TamperingProxy::Edit FlipByte(size_t offset);
TamperingProxy::Edit Replace(std::string bytes);

}  // namespace dizedir

#endif  // DIZEDIR_TESTS_SUPPORT_TAMPERING_PROXY_H_
