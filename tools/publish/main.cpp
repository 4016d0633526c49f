// dizedir-publish: the publisher's tool for the files an update server
// serves. `show` decodes a version list for reading; `diff`, `release`,
// `serverlist`, `verify` and `serve` make, check and serve a release;
// `keygen`, `sign` and `check-signature` handle minisign-format signatures
// and the signed release manifest.

#include <CLI/CLI.hpp>

#include <iostream>
#include <map>
#include <string>

#include "platform/env.h"
#include "tools/publish/commands.h"
#include "tools/publish/serve_command.h"
#include "tools/publish/sign_command.h"
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

  dizedir::publish::DiffCommand diff;
  CLI::App* diff_command = app.add_subcommand(
      "diff", "Compare two client trees and write the patch that turns the "
              "old one into the new one (PATCH_DIR/patch.zip, patch.txt)");
  diff_command->add_option("OLD_TREE", diff.old_tree, "The tree clients have")
      ->required()->check(CLI::ExistingDirectory);
  diff_command->add_option("NEW_TREE", diff.new_tree, "The next version's tree")
      ->required()->check(CLI::ExistingDirectory);
  diff_command->add_option("-o,--output", diff.patch_dir, "The patch directory")
      ->required();
  diff_command->add_option("--level", diff.level,
                           "Deflate level: 1 fastest (default) .. 9 smallest, -1 zlib's default")
      ->check(CLI::Range(-1, 9));

  dizedir::publish::ReleaseCommand release;
  double part_mib = 0;
  CLI::App* release_command = app.add_subcommand(
      "release", "Start a release line, add a patch as its next version, or "
                 "withdraw its newest patch");
  release_command->add_option("RELEASE_DIR", release.release_dir,
                              "The directory the update server serves")
      ->required();
  release_command->add_flag("--init", release.init,
                            "Start a new release line at version 1");
  release_command->add_option("--from", release.from_tree,
                              "With --init: the base tree, which gets the "
                              "client's curver.bin and is published as version 1's "
                              "tree manifest and content-store objects")
      ->check(CLI::ExistingDirectory);
  release_command->add_option("--client-list", release.client_list,
                              "With --init: also write the client's curver.bin "
                              "here");
  release_command->add_option("--add", release.add,
                              "Publish a patch (a diff's PATCH_DIR, or a zip)")
      ->check(CLI::ExistingPath);
  release_command->add_option("--tree", release.tree,
                              "With --add: the new version's client tree, published as "
                              "its tree manifest and content-store objects so clients "
                              "can verify and repair; with --init: the base tree (as --from)")
      ->check(CLI::ExistingDirectory);
  release_command->add_flag("--optional", release.add_options.optional,
                            "With --add: clients fetch it only on consent and "
                            "do not apply it yet");
  auto* parts_option = release_command->add_option(
      "--parts", release.add_options.parts,
      "With --add: cut the archive into N parts (1: one zip)")
      ->check(CLI::Range(1, 9999));
  release_command->add_option("--part-size", part_mib,
                              "With --add: MiB per part; smaller archives stay "
                              "one zip (default 8)")
      ->check(CLI::PositiveNumber)->excludes(parts_option);
  release_command->add_option("--withdraw", release.withdraw,
                              "Withdraw patch N (the newest live one)")
      ->check(CLI::Range(1, 2147483647));
  release_command->add_option("--download-address", release.download_address,
                              "Text for downloadaddr.txt");
  auto* mirror_option = release_command->add_option(
      "--mirror", release.mirrors,
      "Base URL of a mirror holding the release's files (repeatable); replaces the "
      "mirrors downloadaddr.txt lists. Clients fetch parts from them too");
  bool no_mirrors = false;
  auto* no_mirrors_option = release_command->add_flag(
      "--no-mirrors", no_mirrors, "Remove every mirror from downloadaddr.txt");
  mirror_option->excludes(no_mirrors_option);
  release_command->add_option("--expires-days", release.expires_days,
                              "Days the rewritten release.manifest stays valid "
                              "(default 30)")
      ->check(CLI::Range(1, 36500));
  release_command->add_option("--key", release.secret_key,
                              "Sign the rewritten release.manifest with this "
                              "secret key (without it, a stale signature is removed)")
      ->check(CLI::ExistingFile);
  release_command->add_option("--password-file", release.password_file,
                              "For an encrypted key: the password's file "
                              "(default: the first line of standard input)");

  dizedir::publish::ServerListCommand serverlist;
  CLI::App* serverlist_command = app.add_subcommand(
      "serverlist", "Write patchone.ini for the server-list host and "
                    "IPconfig.dat and ng.ini for client directories");
  serverlist_command->add_option("-o,--output", serverlist.out_dir,
                                 "Output directory")->required();
  serverlist_command->add_option(
      "--region", serverlist.first_group,
      "NAME=ADDRESS[,GATEWAY[,MAIN]] of the first group; ADDRESS is the "
      "update server, host[:port][/dir], after https:// for TLS; GATEWAY is "
      "\"host port\" or host:port");
  serverlist_command->add_option("--region2", serverlist.second_group,
                                 "A region of the second group, same form");
  serverlist_command->add_option("--current", serverlist.layout.current,
                                 "Current region: index in the first group, "
                                 "-1 for --current2 in the second");
  serverlist_command->add_option("--current2", serverlist.layout.second_current,
                                 "Index in the second group when --current is -1");
  serverlist_command->add_option("--url", serverlist.layout.url,
                                 "Text handed to the launcher");
  serverlist_command->add_option("--list-host", serverlist.layout.list_host,
                                 "The server-list host, for IPconfig.dat "
                                 "(https://host for TLS)");
  serverlist_command->add_option("--list-number", serverlist.layout.list_number,
                                 "ng.ini SP: 1 or more names the list "
                                 "patchoneN.ini");
  serverlist_command->add_option("--key", serverlist.secret_key,
                                 "Also sign the list (LIST.minisig beside it)")
      ->check(CLI::ExistingFile);
  serverlist_command->add_option("--password-file", serverlist.password_file,
                                 "For an encrypted key: the password's file "
                                 "(default: the first line of standard input)");

  dizedir::publish::VerifyCommand verify;
  CLI::App* verify_command = app.add_subcommand(
      "verify", "Check a release as clients read it: lists, parts, digests, "
                "release.manifest, and every patch unpacked");
  verify_command->add_option("RELEASE_DIR", verify.release_dir)->required()
      ->check(CLI::ExistingDirectory);
  verify_command->add_option("--pub", verify.public_key,
                             "The public key clients trust: the manifest must "
                             "be signed by it and not expired");

  dizedir::publish::ServeOptions serve;
  CLI::App* serve_command = app.add_subcommand(
      "serve", "Serve a release directory over HTTP for trying it out "
               "(static files, Range, HEAD, access log on stderr)");
  serve_command->add_option("RELEASE_DIR", serve.dir)->required()
      ->check(CLI::ExistingDirectory);
  serve_command->add_option("--port", serve.port, "Port; 0 picks a free one")
      ->check(CLI::Range(0, 65535));
  serve_command->add_option("--bind", serve.bind, "Address to listen on");
  serve_command->add_option("--prefix", serve.prefix,
                            "URL path the directory appears under, for "
                            "addresses of the form host/dir");

  dizedir::publish::KeygenCommand keygen;
  CLI::App* keygen_command = app.add_subcommand(
      "keygen", "Make a minisign-format key pair: DIR/dizedir.pub and "
                "DIR/dizedir.key");
  keygen_command->add_option("-o,--output", keygen.out_dir, "Output directory")
      ->required();
  keygen_command->add_flag("--unencrypted", keygen.unencrypted,
                           "Store the secret key without a password");
  keygen_command->add_option("--password-file", keygen.password_file,
                             "Read the password from the file's first line "
                             "(default: the first line of standard input)")
      ->excludes("--unencrypted");

  dizedir::publish::SignCommand sign;
  CLI::App* sign_command = app.add_subcommand(
      "sign", "Sign a file (prehashed, minisign format): writes FILE.minisig; "
              "given a release directory, rewrite its release.manifest from "
              "the files and sign that");
  sign_command->add_option("FILE", sign.file, "A file, or a release directory")
      ->required()->check(CLI::ExistingPath);
  sign_command->add_option("--key", sign.secret_key, "The secret key file")
      ->required()->check(CLI::ExistingFile);
  sign_command->add_option("--password-file", sign.password_file,
                           "For an encrypted key: the password's file "
                           "(default: the first line of standard input)");
  sign_command->add_option("--trusted-comment", sign.trusted_comment,
                           "One line signed with the file (default: "
                           "timestamp and file name)");
  sign_command->add_flag("--refresh", sign.refresh,
                         "Release directory: sign again with a later expiry "
                         "and a higher sequence, only if no file changed since "
                         "this key signed it");
  sign_command->add_option("--expires-days", sign.expires_days,
                           "Release directory: days the manifest stays valid "
                           "(default 30)")
      ->check(CLI::Range(1, 36500));
  auto* next_key_option = sign_command->add_option(
      "--next-key", sign.next_key_file,
      "Release directory: announce this public key file as the key the next "
      "releases will be signed with")->check(CLI::ExistingFile);
  sign_command->add_flag("--no-next-key", sign.no_next_key,
                         "Release directory: withdraw an announced next key")
      ->excludes(next_key_option);

  std::string check_file, check_key;
  CLI::App* check_command = app.add_subcommand(
      "check-signature", "Check FILE.minisig against FILE and a public key");
  check_command->add_option("FILE", check_file)->required();
  check_command->add_option("--pub", check_key, "The public key file")->required();

  CLI11_PARSE(app, argc, argv);
  dizedir::Env* env = dizedir::Env::Default();

  if (diff_command->parsed()) {
    return dizedir::publish::RunDiff(env, diff, std::cout, std::cerr);
  }
  if (release_command->parsed()) {
    release.set_mirrors = mirror_option->count() > 0 || no_mirrors_option->count() > 0;
    if (part_mib > 0) {
      release.add_options.part_bytes =
          static_cast<uint64_t>(part_mib * 1024 * 1024);
    }
    return dizedir::publish::RunRelease(env, release, std::cin, std::cout, std::cerr);
  }
  if (serverlist_command->parsed()) {
    return dizedir::publish::RunServerList(env, serverlist, std::cin, std::cout, std::cerr);
  }
  if (verify_command->parsed()) {
    return dizedir::publish::RunVerify(env, verify, std::cout, std::cerr);
  }
  if (serve_command->parsed()) {
    return dizedir::publish::RunServe(serve, std::cout, std::cerr);
  }

  if (keygen_command->parsed()) {
    return dizedir::publish::RunKeygen(env, keygen, std::cin, std::cout, std::cerr);
  }
  if (sign_command->parsed()) {
    return dizedir::publish::RunSign(env, sign, std::cin, std::cout, std::cerr);
  }
  if (check_command->parsed()) {
    return dizedir::publish::RunCheckSignature(env, check_file, check_key,
                                               std::cout, std::cerr);
  }

  if (show_command->parsed()) {
    if (!kind_text.empty()) show.kind = kinds.at(kind_text);
    return dizedir::publish::RunShow(env, show, std::cout, std::cerr);
  }
  return 1;
}
