// dizedir: the host program. It drives a client directory's plug-in the way
// the game's launcher does.
//
// The whole command line is declared here: the command-line library costs
// every file that includes it seconds of compile time, so the commands
// take plain flag structs and only this file knows the library.

#include <CLI/CLI.hpp>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "command_exit.h"
#include "commands.h"
#include "platform/command_line.h"
#include "tree_commands.h"
#include "update_command.h"
#if DIZEDIR_HAVE_LAUNCHER
#include "launcher_command.h"
#endif

namespace dizedir {
namespace {

void RegisterInfoCommands(CLI::App& app) {
  auto client = std::make_shared<std::string>();
  auto json = std::make_shared<bool>(false);

  CLI::App* info =
      app.add_subcommand("info", "Load the client's plug-in and print its info record");
  info->add_option("--client", *client, "Client directory holding the plug-in")->required();
  info->add_flag("--json", *json, "Print one JSON object");
  info->callback([client, json] { RunInfo(*client, *json); });

  CLI::App* servers = app.add_subcommand("servers", "Fetch the server list and print the regions");
  servers->add_option("--client", *client, "Client directory holding the plug-in")->required();
  servers->add_flag("--json", *json, "Print one JSON object");
  servers->callback([client, json] { RunServers(*client, *json); });
}

void RegisterUpdateCommand(CLI::App& app) {
  auto flags = std::make_shared<UpdateFlags>();
  CLI::App* update =
      app.add_subcommand("update", "Bring the client up to date from its region's update server");
  update->add_option("--client", flags->client, "Client directory holding the plug-in")->required();
  update
      ->add_option("--region", flags->region,
                   "Index of the region to update from (default: the server list's "
                   "current region)")
      ->check(CLI::Range(0, 255));
  update
      ->add_option("--optional", flags->optional,
                   "Optional patches: yes, no or ask (default: ask when standard input "
                   "is a terminal, otherwise no)")
      ->check(CLI::IsMember({"yes", "no", "ask"}));
  update->add_flag("--json", flags->json, "Print one JSON object per poll, for launchers");
  update->callback([flags] { RunUpdateCommand(*flags); });
}

void RegisterTreeCommands(CLI::App& app) {
  auto flags = std::make_shared<TreeFlags>();

  CLI::App* verify =
      app.add_subcommand("verify",
                         "Check every file and pack entry of a client against the release of its "
                         "version; exit status 0 when all are intact, 3 when some are missing or "
                         "damaged");
  CLI::App* repair =
      app.add_subcommand("repair",
                         "Fetch and put back only the client's missing and damaged files and pack "
                         "entries, then check again; files the release does not own are left");
  for (CLI::App* command : {verify, repair}) {
    command->add_option("--client", flags->client, "Client directory holding the plug-in")
        ->required();
    command
        ->add_option("--region", flags->region,
                     "Index of the region whose server to ask (default: the server "
                     "list's current region)")
        ->check(CLI::Range(0, 255));
    command->add_flag("--json", flags->json,
                      "Progress as one JSON object per poll, then the findings as one");
  }
  verify->callback([flags] { RunVerifyOrRepair(*flags, ClientTask::kVerify); });
  repair->callback([flags] { RunVerifyOrRepair(*flags, ClientTask::kRepair); });

  CLI::App* install =
      app.add_subcommand("install",
                         "Install a whole client from a release: --from ADDRESS DIR. Without "
                         "--from, only copy the plug-in's modules into the directory");
  install->add_option("DIR", flags->directory, "The client directory");
  install->add_option("--client", flags->client, "The client directory, as DIR");
  install->add_option("--from", flags->from,
                      "The update server (host[:port][/dir], optionally after http:// or "
                      "https://); a directory holding built modules copies only those");
  install->add_option("--modules", flags->modules,
                      "Directory holding the built modules (default: ../client beside "
                      "this program)");
  install
      ->add_option("--pub", flags->public_key,
                   "The operator's public key: the client installs only what it signed")
      ->check(CLI::ExistingFile);
  install->add_flag("--json", flags->json, "Progress as one JSON object per poll");
  install->callback([flags] { RunInstall(*flags); });
}

#if DIZEDIR_HAVE_LAUNCHER
void RegisterLauncherCommand(CLI::App& app) {
  auto flags = std::make_shared<LauncherFlags>();
  CLI::App* launcher = app.add_subcommand(
      "launcher", "Show the update, verify and Play as a web page in the player's browser");
  launcher->add_option("--client", flags->client, "Client directory holding the plug-in")
      ->required();
  launcher
      ->add_option("--port", flags->port,
                   "Port on 127.0.0.1 to serve the page on (default: any free one)")
      ->check(CLI::Range(0, 65535));
  launcher->add_flag("--no-browser", flags->no_browser,
                     "Only print the page's address; open no browser");
  launcher->callback([flags] { RunLauncher(*flags); });
}
#endif

}  // namespace
}  // namespace dizedir

int main(int argc, char** argv) {
  const dizedir::Utf8Console console;
  const std::vector<std::string> arguments = dizedir::Utf8Arguments(argc, argv);
  std::vector<const char*> utf8_argv;
  for (const std::string& argument : arguments) utf8_argv.push_back(argument.c_str());
  CLI::App app{"dizedir: runs the update plug-in of a game client directory"};
  app.require_subcommand(1);
  dizedir::RegisterInfoCommands(app);
  dizedir::RegisterUpdateCommand(app);
  dizedir::RegisterTreeCommands(app);
#if DIZEDIR_HAVE_LAUNCHER
  dizedir::RegisterLauncherCommand(app);
#endif
  // The commands run inside the parse, from their subcommands' callbacks.
  try {
    CLI11_PARSE(app, static_cast<int>(utf8_argv.size()), utf8_argv.data());
  } catch (const dizedir::CommandExit& ended) {
    return ended.status;
  }
  return 0;
}
