// The host program's commands, each registered on the command line.

#ifndef DIZEDIR_TOOLS_DIZEDIR_COMMANDS_H_
#define DIZEDIR_TOOLS_DIZEDIR_COMMANDS_H_

#include <CLI/CLI.hpp>

namespace dizedir {

void RegisterCommands(CLI::App& app);

}  // namespace dizedir

#endif  // DIZEDIR_TOOLS_DIZEDIR_COMMANDS_H_
