// `dizedir launcher`: the update as a web page. It loads the client's
// plug-in, serves the launcher page on loopback (launcher_server.h) with
// the plug-in driven by a LauncherSession on the program's main thread,
// prints the page's address and opens it in the player's browser. It ends
// when the page quits or on an interrupt, which stops a running update
// cleanly, as `dizedir update` does.
//
// Thread-safety: one command per process.

#ifndef DIZEDIR_TOOLS_DIZEDIR_LAUNCHER_COMMAND_H_
#define DIZEDIR_TOOLS_DIZEDIR_LAUNCHER_COMMAND_H_

#include <string>

namespace dizedir {

// `dizedir launcher`'s command line.
struct LauncherFlags {
  std::string client;
  // The loopback port to serve on; 0 for any free one.
  int port = 0;
  bool no_browser = false;
};

// Runs `dizedir launcher`. Returns when the page quits; otherwise ends the
// command through ExitWithStatus (command_exit.h) with
// kInterruptedExitStatus on an interrupt, or 1 after a message on standard
// error when the plug-in or the page's server cannot start.
void RunLauncher(const LauncherFlags& flags);

}  // namespace dizedir

#endif  // DIZEDIR_TOOLS_DIZEDIR_LAUNCHER_COMMAND_H_
