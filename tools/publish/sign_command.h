// dizedir-publish keygen, sign and check-signature: minisign-format key
// pairs and file signatures, interchangeable with the minisign tool's.
// `sign` given a release directory (re)writes its release.manifest and
// signs that (tools/publish/release_signing.h).
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
#include "tools/publish/release_signing.h"

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

// Reads a secret key file, asking for the password (password_file's first
// line, else the first line of `in`) only when the key is encrypted.
Status LoadSecretKey(Env* env, const std::string& key_file,
                     const std::string& password_file, std::istream& in,
                     minisign::SecretKey* key);

struct SignCommand {
  std::string file;  // a file, or a release directory
  std::string secret_key;
  std::string password_file;  // for an encrypted key; else read from `in`
  std::string trusted_comment;  // empty: timestamp and file name
  // For a release directory: the manifest's lifetime, the key to announce
  // (a public key file; no_next_key drops an announcement), and refresh:
  // sign again, with a later expiry, exactly what this key signed before,
  // refusing when any file changed since.
  int expires_days = kDefaultManifestDays;
  std::string next_key_file;
  bool no_next_key = false;
  bool refresh = false;
  int64_t now = 0;  // Unix seconds; 0 reads the clock
};
int RunSign(Env* env, const SignCommand& c, std::istream& in, std::ostream& out,
            std::ostream& err);

// Checks FILE.minisig against FILE and the public key file.
int RunCheckSignature(Env* env, const std::string& file,
                      const std::string& public_key, std::ostream& out,
                      std::ostream& err);

}  // namespace dizedir::publish

#endif  // DIZEDIR_TOOLS_PUBLISH_SIGN_COMMAND_H_
