// LauncherServer: the launcher page's HTTP server, on loopback only. It
// serves the page's files (launcher_assets.h), streams the session's views
// to the page as server-sent events and hands the page's actions to the
// session.
//
// Any program on the machine can reach a loopback port, and any web page
// the player opens can make the browser send requests to it, so every
// request must carry the session's token, a random 128-bit number that
// only the page's address holds: as the `token` query parameter, as the
// X-Launcher-Token header, or, for the page's own files only (a <link> or
// <img> cannot add a query), as the cookie the page's HTML answer sets.
// Anything else gets 403.
//
//   GET  /, /FILE           the page's files
//   GET  /state             the session's view, one JSON object
//   GET  /events            text/event-stream: the view as a `data:` line at
//                           once and after each change; a comment line
//                           while nothing changes, so a dead connection is
//                           noticed
//   POST /action/NAME       start, pause, answer, verify, repair, play,
//                           quit; 200 {"ok":true}, 409 {"ok":false,
//                           "error":...} when the session refuses it
//
// Thread-safety: Start and Stop from one thread; requests are served on
// the server's own threads, each a separate client of the session.

#ifndef DIZEDIR_TOOLS_DIZEDIR_LAUNCHER_SERVER_H_
#define DIZEDIR_TOOLS_DIZEDIR_LAUNCHER_SERVER_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "launcher_session.h"
#include "platform/env.h"
#include "platform/status.h"

namespace httplib {
class Server;
}  // namespace httplib

namespace dizedir {

// A new token: 16 random bytes from the OS's source, as 32 hex digits.
Status NewLauncherToken(std::string* token);

struct LauncherServerOptions {
  Env* env = nullptr;
  // The client's launcher/ folder; it need not exist.
  std::string branding_dir;
  std::string token;
  int port = 0;  // 0: any free port
  // How long an event stream may say nothing before a comment line.
  uint32_t keepalive_millis = 15000;
};

class LauncherServer {
 public:
  // Event streams served at once; more are refused (503) so that page
  // reloads cannot take every thread of the server.
  static constexpr int kMaxStreams = 6;

  // Binds 127.0.0.1 and serves on a thread of its own; IOError when the
  // port cannot be had.
  static Status Start(LauncherSession* session, const LauncherServerOptions& options,
                      std::unique_ptr<LauncherServer>* server);

  LauncherServer(const LauncherServer&) = delete;
  LauncherServer& operator=(const LauncherServer&) = delete;
  ~LauncherServer();  // Stop

  int port() const { return port_; }
  // The page's address: "http://127.0.0.1:PORT/?token=TOKEN".
  std::string url() const;

  // Closes the session's views, lets each event stream send the last one,
  // then stops serving. Later calls do nothing.
  void Stop();

 private:
  LauncherServer(LauncherSession* session, LauncherServerOptions options);
  void Route();

  LauncherSession* const session_;
  const LauncherServerOptions options_;
  std::unique_ptr<httplib::Server> http_;
  std::thread listener_;
  int port_ = 0;
  std::atomic<int> streams_{0};
  bool stopped_ = false;
};

}  // namespace dizedir

#endif  // DIZEDIR_TOOLS_DIZEDIR_LAUNCHER_SERVER_H_
