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

#include <CLI/CLI.hpp>

namespace dizedir {

void RegisterLauncherCommand(CLI::App& app);

}  // namespace dizedir

#endif  // DIZEDIR_TOOLS_DIZEDIR_LAUNCHER_COMMAND_H_
