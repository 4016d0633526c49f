// dizedir: the host program. It drives a client directory's plug-in the way
// the game's launcher does.

#include <CLI/CLI.hpp>

#include <cstdio>
#include <string>

#include "commands.h"

int main(int argc, char** argv) {
  CLI::App app{"dizedir: runs the update plug-in of a game client directory"};
  app.require_subcommand(1);
  dizedir::RegisterCommands(app);
  CLI11_PARSE(app, argc, argv);
  return 0;
}
