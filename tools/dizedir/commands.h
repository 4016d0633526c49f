// `dizedir info` and `dizedir servers`: the client's plug-in loaded, and
// what it says about itself and its server list printed, as text or as one
// JSON object.
//
// Thread-safety: one command per process.

#ifndef DIZEDIR_TOOLS_DIZEDIR_COMMANDS_H_
#define DIZEDIR_TOOLS_DIZEDIR_COMMANDS_H_

#include <string>

namespace dizedir {

// Prints the plug-in's info record. Ends the command through
// ExitWithStatus (command_exit.h) with 1, after a message on standard
// error, when the plug-in cannot be loaded.
void RunInfo(const std::string& client_dir, bool json);

// Fetches the server list and prints its regions. Ends the command as
// RunInfo does, also when the server list cannot be had.
void RunServers(const std::string& client_dir, bool json);

}  // namespace dizedir

#endif  // DIZEDIR_TOOLS_DIZEDIR_COMMANDS_H_
