// dizedir-publish: the publisher's tool for the files an update server
// serves. `show` decodes a version list for reading.

#include <CLI/CLI.hpp>

#include <iostream>
#include <map>
#include <string>

#include "platform/env.h"
#include "tools/publish/show_command.h"

int main(int argc, char** argv) {
  using dizedir::publish::ListKind;
  CLI::App app{"dizedir-publish: inspect and prepare the files an update "
               "server publishes"};
  app.require_subcommand(1);

  dizedir::publish::ShowOptions show;
  std::string kind_text;
  CLI::App* show_command = app.add_subcommand(
      "show", "Print a version list (curver.bin, newver.bin, verlist.bin) "
              "decoded, one record per line");
  show_command->add_option("FILE", show.path, "The list file")->required();
  const std::map<std::string, ListKind> kinds = {
      {"curver", ListKind::kInstalled},
      {"newver", ListKind::kPublished},
      {"verlist", ListKind::kPatches}};
  show_command
      ->add_option("--kind", kind_text,
                   "Which list the file is, when its name does not say "
                   "(a server's curver.bin is a newver list)")
      ->check(CLI::IsMember({"curver", "newver", "verlist"}));
  show_command->add_flag("--json", show.json,
                         "JSON: an array with one record object per line");

  CLI11_PARSE(app, argc, argv);

  if (show_command->parsed()) {
    if (!kind_text.empty()) show.kind = kinds.at(kind_text);
    return dizedir::publish::RunShow(dizedir::Env::Default(), show, std::cout,
                                     std::cerr);
  }
  return 1;
}
