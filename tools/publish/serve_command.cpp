#include "tools/publish/serve_command.h"

#include <httplib.h>

#include <iostream>
#include <mutex>

namespace dizedir::publish {

int RunServe(const ServeOptions& options, std::ostream& out, std::ostream& err) {
  httplib::Server server;
  // Each client fetches over several connections and keeps them alive.
  server.new_task_queue = [] { return new httplib::ThreadPool(64); };
  // An answer goes out as headers and body in separate writes; without this
  // the body of a small file waits for the client's delayed ACK, which
  // costs a repair of thousands of small objects tens of milliseconds each.
  server.set_tcp_nodelay(true);
  // The library's default closes a connection after five requests.
  server.set_keep_alive_max_count(100000);
  std::string prefix = options.prefix.empty() ? "/" : options.prefix;
  if (prefix.front() != '/') prefix = "/" + prefix;
  if (!server.set_mount_point(prefix, options.dir)) {
    err << "dizedir-publish: " << options.dir << ": not a directory\n";
    return 1;
  }
  std::mutex log_mutex;
  server.set_logger([&](const httplib::Request& req, const httplib::Response& res) {
    const std::lock_guard<std::mutex> lock(log_mutex);
    std::cerr << req.remote_addr << " \"" << req.method << ' ' << req.path
              << "\" " << res.status << ' ' << res.body.size();
    if (req.has_header("Range")) std::cerr << " range=" << req.get_header_value("Range");
    std::cerr << '\n';
  });
  int port = options.port;
  if (port == 0) {
    port = server.bind_to_any_port(options.bind.c_str());
  } else if (!server.bind_to_port(options.bind.c_str(), port)) {
    port = -1;
  }
  if (port <= 0) {
    err << "dizedir-publish: cannot listen on " << options.bind << ":"
        << options.port << '\n';
    return 1;
  }
  out << "serving " << options.dir << " at http://" << options.bind << ":" << port
      << prefix << std::endl;
  return server.listen_after_bind() ? 0 : 1;
}

}  // namespace dizedir::publish
