// NginxServer: a real nginx run by a test as its child process, on
// loopback ports of its own, with the server blocks the test writes. Its
// prefix (configuration, logs, pid file, temporary files) is a directory
// the test gives, so nothing of the system's nginx is touched.
//
//   NginxServer nginx;
//   nginx.Start(program, dir, {"listen 127.0.0.1:$PORT ssl; ..."});
//   ... https://127.0.0.1:nginx.port(0)/ ...
//
// Thread-safety: one test thread.

#ifndef DIZEDIR_TESTS_SUPPORT_NGINX_SERVER_H_
#define DIZEDIR_TESTS_SUPPORT_NGINX_SERVER_H_

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "support/subprocess.h"

namespace dizedir {

class NginxServer {
 public:
  NginxServer() = default;
  NginxServer(const NginxServer&) = delete;
  NginxServer& operator=(const NginxServer&) = delete;
  // Stops nginx and waits for it.
  ~NginxServer();

  // The nginx program, empty when it is not installed.
  static std::string FindNginx() { return FindProgram("nginx"); }

  // Starts `program` under `prefix` with one server block per text in
  // `servers`, each with "$PORT" replaced by a free loopback port of its
  // own. False (with the error log in *error) when it does not come up.
  bool Start(const std::string& program, const std::filesystem::path& prefix,
             const std::vector<std::string>& servers, std::string* error);

  int port(size_t server) const { return ports_.at(server); }

 private:
  std::unique_ptr<Subprocess> nginx_;
  std::vector<int> ports_;
};

}  // namespace dizedir

#endif  // DIZEDIR_TESTS_SUPPORT_NGINX_SERVER_H_
