// The dizedir-publish commands other than show and serve, as functions of
// their options so they can be run against any Env and their output read:
// each prints what it did on `out`, problems on `err`, and returns the exit
// code (0 success, 1 failure).
//
// Thread-safety: run on the caller's thread; no state of their own.

#ifndef DIZEDIR_TOOLS_PUBLISH_COMMANDS_H_
#define DIZEDIR_TOOLS_PUBLISH_COMMANDS_H_

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "platform/env.h"
#include "tools/publish/release_builder.h"
#include "tools/publish/server_list_writer.h"
#include "tools/publish/tree_diff.h"

namespace dizedir::publish {

struct DiffCommand {
  std::string old_tree;
  std::string new_tree;
  std::string patch_dir;
  int level = 1;
};
int RunDiff(Env* env, const DiffCommand& c, std::ostream& out, std::ostream& err);

struct ReleaseCommand {
  std::string release_dir;
  bool init = false;
  std::string from_tree;    // --init: the base tree gets its curver.bin
  std::string client_list;  // --init: where else to write it
  std::string add;          // a patch directory or a zip
  AddOptions add_options;
  int32_t withdraw = 0;
  std::string download_address;
};
int RunRelease(Env* env, const ReleaseCommand& c, std::ostream& out,
               std::ostream& err);

struct ServerListCommand {
  std::string out_dir;
  std::vector<std::string> first_group;  // NAME=ADDRESS[,GATEWAY[,MAIN]]
  std::vector<std::string> second_group;
  ServerListSpec layout;  // everything but the groups
};
int RunServerList(Env* env, const ServerListCommand& c, std::ostream& out,
                  std::ostream& err);

int RunVerify(Env* env, const std::string& release_dir, std::ostream& out,
              std::ostream& err);

}  // namespace dizedir::publish

#endif  // DIZEDIR_TOOLS_PUBLISH_COMMANDS_H_
