// dizedir-publish keygen, sign and check-signature: minisign-format key
// pairs and file signatures, interchangeable with the minisign tool's.
// Each prints what it did on `out`, problems on `err`, and returns the exit
// code (0 success, 1 failure).
//
// Thread-safety: run on the caller's thread; no state of their own.

#ifndef DIZEDIR_TOOLS_PUBLISH_SIGN_COMMAND_H_
#define DIZEDIR_TOOLS_PUBLISH_SIGN_COMMAND_H_

#include <istream>
#include <ostream>
#include <string>

#include "codec/minisign.h"
#include "platform/env.h"

namespace dizedir::publish {

constexpr char kPublicKeyName[] = "dizedir.pub";
constexpr char kSecretKeyName[] = "dizedir.key";

struct KeygenCommand {
  std::string out_dir;
  bool unencrypted = false;
  // The password's first line; without it the password is read from `in`.
  std::string password_file;
  minisign::KdfLimits limits;
};
int RunKeygen(Env* env, const KeygenCommand& c, std::istream& in,
              std::ostream& out, std::ostream& err);

struct SignCommand {
  std::string file;
  std::string secret_key;
  std::string password_file;  // for an encrypted key; else read from `in`
  std::string trusted_comment;  // empty: timestamp and file name
};
int RunSign(Env* env, const SignCommand& c, std::istream& in, std::ostream& out,
            std::ostream& err);

// Checks FILE.minisig against FILE and the public key file.
int RunCheckSignature(Env* env, const std::string& file,
                      const std::string& public_key, std::ostream& out,
                      std::ostream& err);

}  // namespace dizedir::publish

#endif  // DIZEDIR_TOOLS_PUBLISH_SIGN_COMMAND_H_
