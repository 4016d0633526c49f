#include "tools/publish/sign_command.h"

#include <algorithm>
#include <ctime>

namespace dizedir::publish {
namespace {

constexpr uint64_t kMaxPasswordFileBytes = 4096;

int Failed(std::ostream& err, const std::string& what, const Status& s) {
  err << "dizedir-publish: " << what << ": " << s.message() << '\n';
  return 1;
}

// The first line of a file or of `in`, without its line end; the tool takes
// the password the same way, so keys move between the two.
Status ReadPassword(Env* env, const std::string& file, std::istream& in,
                    std::string* password) {
  if (!file.empty()) {
    Status s = ReadFileToString(env, file, password, kMaxPasswordFileBytes);
    if (!s.ok()) return s;
  } else if (!std::getline(in, *password)) {
    return Status::InvalidArgument("no password given");
  }
  password->resize(std::min(password->find('\n'), password->size()));
  if (!password->empty() && password->back() == '\r') password->pop_back();
  if (password->empty()) return Status::InvalidArgument("empty password");
  return Status::OK();
}

std::string BaseName(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

int RunKeygen(Env* env, const KeygenCommand& c, std::istream& in,
              std::ostream& out, std::ostream& err) {
  std::string password;
  if (!c.unencrypted) {
    Status s = ReadPassword(env, c.password_file, in, &password);
    if (!s.ok()) return Failed(err, "keygen", s);
  }
  minisign::PublicKey public_key;
  minisign::SecretKey secret_key;
  Status s = minisign::GenerateKeyPair(&public_key, &secret_key);
  std::string secret_text;
  if (s.ok()) s = minisign::FormatSecretKey(secret_key, password, c.limits, &secret_text);
  if (s.ok()) s = env->CreateDirectories(c.out_dir);
  if (!s.ok()) return Failed(err, "keygen", s);
  const std::string pub_path = c.out_dir + "/" + kPublicKeyName;
  const std::string key_path = c.out_dir + "/" + kSecretKeyName;
  if (env->FileExists(pub_path) || env->FileExists(key_path)) {
    err << "dizedir-publish: keygen: " << c.out_dir
        << " already holds a key pair; not overwriting it\n";
    return 1;
  }
  s = WriteFileAtomically(env, key_path, secret_text);
  if (!s.ok()) return Failed(err, key_path, s);
  s = WriteFileAtomically(env, pub_path, minisign::FormatPublicKey(public_key));
  if (!s.ok()) return Failed(err, pub_path, s);
  out << "key " << minisign::KeyIdHex(public_key.key_id) << ": public " << pub_path
      << ", secret " << key_path << (c.unencrypted ? " (unencrypted)" : "") << '\n';
  return 0;
}

int RunSign(Env* env, const SignCommand& c, std::istream& in, std::ostream& out,
            std::ostream& err) {
  std::string key_text;
  Status s = ReadFileToString(env, c.secret_key, &key_text, minisign::kMaxKeyFileBytes);
  if (!s.ok()) return Failed(err, c.secret_key, s);
  bool encrypted = false;
  s = minisign::SecretKeyIsEncrypted(key_text, &encrypted);
  if (!s.ok()) return Failed(err, c.secret_key, s);
  std::string password;
  if (encrypted) {
    s = ReadPassword(env, c.password_file, in, &password);
    if (!s.ok()) return Failed(err, "sign", s);
  }
  minisign::SecretKey key;
  s = minisign::ParseSecretKey(key_text, password, &key);
  if (!s.ok()) return Failed(err, c.secret_key, s);
  std::string comment = c.trusted_comment;
  if (comment.empty()) {
    comment = "timestamp:" + std::to_string(static_cast<long long>(std::time(nullptr))) +
              "\tfile:" + BaseName(c.file) + "\thashed";
  }
  minisign::Signature signature;
  s = minisign::SignFile(env, c.file, key, comment, &signature);
  if (!s.ok()) return Failed(err, c.file, s);
  const std::string sig_path = c.file + ".minisig";
  s = WriteFileAtomically(env, sig_path, minisign::FormatSignature(signature));
  if (!s.ok()) return Failed(err, sig_path, s);
  out << sig_path << ": signed with key " << minisign::KeyIdHex(key.key_id) << '\n';
  return 0;
}

int RunCheckSignature(Env* env, const std::string& file,
                      const std::string& public_key, std::ostream& out,
                      std::ostream& err) {
  std::string text;
  Status s = ReadFileToString(env, public_key, &text, minisign::kMaxKeyFileBytes);
  minisign::PublicKey key;
  if (s.ok()) s = minisign::ParsePublicKey(text, &key);
  if (!s.ok()) return Failed(err, public_key, s);
  const std::string sig_path = file + ".minisig";
  s = ReadFileToString(env, sig_path, &text, minisign::kMaxSignatureFileBytes);
  minisign::Signature signature;
  if (s.ok()) s = minisign::ParseSignature(text, &signature);
  if (!s.ok()) return Failed(err, sig_path, s);
  s = minisign::VerifyFile(env, file, key, signature);
  if (!s.ok()) return Failed(err, file, s);
  out << file << ": good signature by key " << minisign::KeyIdHex(key.key_id)
      << "\ntrusted comment: " << signature.trusted_comment << '\n';
  return 0;
}

}  // namespace dizedir::publish
