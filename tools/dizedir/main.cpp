// dizedir: the host program. It drives a client directory's plug-in the way
// the game's launcher does.

#include <CLI/CLI.hpp>

#include <cstdio>
#include <string>
#include <vector>

#include "commands.h"
#include "platform/command_line.h"

int main(int argc, char** argv) {
  const dizedir::Utf8Console console;
  const std::vector<std::string> arguments = dizedir::Utf8Arguments(argc, argv);
  std::vector<const char*> utf8_argv;
  for (const std::string& argument : arguments) utf8_argv.push_back(argument.c_str());
  CLI::App app{"dizedir: runs the update plug-in of a game client directory"};
  app.require_subcommand(1);
  dizedir::RegisterCommands(app);
  CLI11_PARSE(app, static_cast<int>(utf8_argv.size()), utf8_argv.data());
  return 0;
}
