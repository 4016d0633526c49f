// `dizedir-publish serve`: a static HTTP server over a release directory for
// trying a release out (GET with Range, HEAD, an access log on stderr).
// Production serves the same directory with any HTTP server or CDN.
//
// Thread-safety: RunServe blocks its caller until the server stops.

#ifndef DIZEDIR_TOOLS_PUBLISH_SERVE_COMMAND_H_
#define DIZEDIR_TOOLS_PUBLISH_SERVE_COMMAND_H_

#include <ostream>
#include <string>

namespace dizedir::publish {

struct ServeOptions {
  std::string dir;
  std::string bind = "127.0.0.1";
  int port = 8080;  // 0 picks a free one
  // URL path the directory appears under ("/" or "/dir"), for update
  // servers addressed as host/dir.
  std::string prefix = "/";
};

// Exit code: 1 when the directory cannot be served or the port not bound.
// Prints "serving DIR at http://HOST:PORT/PREFIX" on `out` once listening.
int RunServe(const ServeOptions& options, std::ostream& out, std::ostream& err);

}  // namespace dizedir::publish

#endif  // DIZEDIR_TOOLS_PUBLISH_SERVE_COMMAND_H_
