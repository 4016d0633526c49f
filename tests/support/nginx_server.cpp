#include "support/nginx_server.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <iterator>
#include <thread>

#include "support/file_bytes.h"

namespace dizedir {
namespace {

namespace fs = std::filesystem;

// Loopback ports nothing listens on just now, each held until all are
// found so they differ.
std::vector<int> FreePorts(size_t count) {
  std::vector<int> sockets, ports;
  for (size_t i = 0; i < count; ++i) {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof(address);
    if (s < 0 || bind(s, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
      if (s >= 0) close(s);
      break;
    }
    sockets.push_back(s);
    ports.push_back(ntohs(address.sin_port));
  }
  for (int s : sockets) close(s);
  return ports;
}

}  // namespace

NginxServer::~NginxServer() {
  if (nginx_ != nullptr) {
    nginx_->Kill(SIGTERM);
    nginx_->Wait();
  }
}

bool NginxServer::Start(const std::string& program, const fs::path& prefix,
                        const std::vector<std::string>& servers,
                        std::string* error) {
  fs::create_directories(prefix / "logs");
  const std::string p = prefix.string();
  for (int attempt = 0; attempt < 3; ++attempt) {
    ports_ = FreePorts(servers.size());
    if (ports_.size() != servers.size()) break;
    std::string conf = "daemon off;\nmaster_process off;\npid " + p + "/nginx.pid;\nerror_log " +
                       p + "/error.log;\nevents {}\nhttp {\n  access_log " + p +
                       "/access.log;\n  client_body_temp_path " + p + ";\n  proxy_temp_path " + p +
                       ";\n  fastcgi_temp_path " + p + ";\n  uwsgi_temp_path " + p +
                       ";\n  scgi_temp_path " + p + ";\n";
    for (size_t i = 0; i < servers.size(); ++i) {
      std::string block = servers[i];
      for (size_t at; (at = block.find("$PORT")) != std::string::npos;) {
        block.replace(at, 5, std::to_string(ports_[i]));
      }
      conf += "  server {\n" + block + "\n  }\n";
    }
    conf += "}\n";
    std::ofstream(prefix / "nginx.conf", std::ios::binary) << conf;
    fs::remove(prefix / "nginx.pid");
    Subprocess::Options options;
    options.quiet = true;
    if (!Subprocess::Spawn(program, {"-p", p + "/", "-c", p + "/nginx.conf", "-e", p + "/error.log"},
                           options, &nginx_)
             .ok()) {
      break;
    }
    for (int i = 0; i < 100; ++i) {
      if (fs::exists(prefix / "nginx.pid")) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    // Most likely a port was taken in between; try others.
    nginx_->Kill();
    nginx_->Wait();
    nginx_.reset();
  }
  *error = ReadBytes(prefix / "error.log");
  return false;
}

}  // namespace dizedir
