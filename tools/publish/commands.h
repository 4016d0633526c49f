// The dizedir-publish commands other than show and serve, as functions of
// their options so they can be run against any Env and their output read:
// each prints what it did on `out`, problems on `err`, and returns the exit
// code (0 success, 1 failure). A password for an encrypted key is read from
// `in` unless a password file is given.
//
// Thread-safety: run on the caller's thread; no state of their own.

#ifndef DIZEDIR_TOOLS_PUBLISH_COMMANDS_H_
#define DIZEDIR_TOOLS_PUBLISH_COMMANDS_H_

#include <cstdint>
#include <istream>
#include <ostream>
#include <string>
#include <vector>

#include "platform/env.h"
#include "tools/publish/release_builder.h"
#include "tools/publish/release_signing.h"
#include "tools/publish/server_list_writer.h"
#include "tools/publish/tree_diff.h"
#include "tools/publish/tree_publisher.h"

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
  // The client tree of the version a change publishes (--add: the new one;
  // --init: the base, as from_tree), for its tree manifest and the content
  // store (tree_publisher.h). Without one the version has no tree manifest.
  std::string tree;
  int32_t withdraw = 0;
  std::string download_address;
  // Replaces the mirror list of downloadaddr.txt when set_mirrors.
  bool set_mirrors = false;
  std::vector<std::string> mirrors;
  // Every change rewrites release.manifest, valid for expires_days. With a
  // secret key it is signed at once; without one a signature of the
  // manifest it replaces is deleted (it no longer matches).
  int expires_days = kDefaultManifestDays;
  std::string secret_key;
  std::string password_file;
  int64_t now = 0;  // Unix seconds; 0 reads the clock
};
int RunRelease(Env* env, const ReleaseCommand& c, std::istream& in,
               std::ostream& out, std::ostream& err);

struct ServerListCommand {
  std::string out_dir;
  std::vector<std::string> first_group;  // NAME=ADDRESS[,GATEWAY[,MAIN]]
  std::vector<std::string> second_group;
  ServerListSpec layout;  // everything but the groups
  // With a secret key the list is signed too (LIST.minisig beside it).
  std::string secret_key;
  std::string password_file;
};
int RunServerList(Env* env, const ServerListCommand& c, std::istream& in,
                  std::ostream& out, std::ostream& err);

struct VerifyCommand {
  std::string release_dir;
  // A public key file: the manifest must then be signed by it and not
  // expired. Without one, a manifest present is still compared with the
  // files.
  std::string public_key;
  int64_t now = 0;  // Unix seconds; 0 reads the clock
};
int RunVerify(Env* env, const VerifyCommand& c, std::ostream& out, std::ostream& err);

}  // namespace dizedir::publish

#endif  // DIZEDIR_TOOLS_PUBLISH_COMMANDS_H_
