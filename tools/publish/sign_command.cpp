#include "tools/publish/sign_command.h"

#include <algorithm>
#include <iostream>

#include "platform/terminal.h"

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
  } else {
    // Typed at a terminal, the password is neither shown nor left on the
    // screen; piped in, it is read as it comes.
    const bool prompt = &in == &std::cin && IsTerminal(StandardStream::kInput);
    if (prompt) {
      std::cerr << "Password: " << std::flush;
      SetInputEcho(false);
    }
    const bool got = static_cast<bool>(std::getline(in, *password));
    if (prompt) {
      SetInputEcho(true);
      std::cerr << '\n';
    }
    if (!got) return Status::InvalidArgument("no password given");
  }
  password->resize(std::min(password->find('\n'), password->size()));
  if (!password->empty() && password->back() == '\r') password->pop_back();
  if (password->empty()) return Status::InvalidArgument("empty password");
  return Status::OK();
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

Status LoadSecretKey(Env* env, const std::string& key_file,
                     const std::string& password_file, std::istream& in,
                     minisign::SecretKey* key) {
  std::string key_text;
  Status s = ReadFileToString(env, key_file, &key_text, minisign::kMaxKeyFileBytes);
  bool encrypted = false;
  if (s.ok()) s = minisign::SecretKeyIsEncrypted(key_text, &encrypted);
  if (!s.ok()) return Status::InvalidArgument(key_file + ": " + s.message());
  std::string password;
  if (encrypted) {
    s = ReadPassword(env, password_file, in, &password);
    if (!s.ok()) return s;
  }
  s = minisign::ParseSecretKey(key_text, password, key);
  if (!s.ok()) return Status::InvalidArgument(key_file + ": " + s.message());
  return s;
}

namespace {

int SignRelease(Env* env, const SignCommand& c, const minisign::SecretKey& key,
                std::ostream& out, std::ostream& err) {
  const std::string& dir = c.file;
  ReleaseManifest previous;
  bool has_previous = false;
  Status s = ReadManifest(env, dir, &previous, &has_previous);
  if (!s.ok()) {
    err << "dizedir-publish: sign: " << s.message() << "\n(deleting it starts the "
        << "sequence at 1 again, which clients that saw a higher one refuse)\n";
    return 1;
  }
  ManifestChange change;
  change.now = c.now != 0 ? c.now : NowUnixSeconds();
  change.expires_days = c.expires_days;
  if (!c.next_key_file.empty()) {
    std::string text;
    minisign::PublicKey next;
    s = ReadFileToString(env, c.next_key_file, &text, minisign::kMaxKeyFileBytes);
    if (s.ok()) s = minisign::ParsePublicKey(text, &next);
    if (!s.ok()) return Failed(err, c.next_key_file, s);
    change.next_key = minisign::PublicKeyLine(next);
  } else if (c.no_next_key) {
    change.next_key = "";
  }
  const minisign::PublicKey own = minisign::PublicKeyOf(key);
  const bool signed_before = has_previous && CheckManifestSignature(env, dir, own).ok();

  ReleaseManifest next;
  if (c.refresh) {
    // A refresh extends what this key vouched for; it never vouches for a
    // file that changed since, so running it from a timer cannot sign what
    // someone slipped into the directory.
    if (!signed_before) {
      err << "dizedir-publish: sign --refresh: " << dir << " holds no "
          << kReleaseManifestName << " signed by key " << minisign::KeyIdHex(own.key_id)
          << "; sign without --refresh to vouch for the files as they are\n";
      return 1;
    }
    std::vector<std::string> problems;
    CompareManifest(env, dir, previous, &problems);
    for (const std::string& p : problems) err << "dizedir-publish: " << dir << ": " << p << '\n';
    if (!problems.empty()) {
      err << "dizedir-publish: sign --refresh: the files changed since they were "
          << "signed; check them, then sign without --refresh\n";
      return 1;
    }
    next = previous;
    s = AdvanceManifest(&previous, change, &next);
  } else {
    s = BuildNextManifest(env, dir, has_previous ? &previous : nullptr, change, &next);
  }
  if (!s.ok()) return Failed(err, "sign", s);

  // A client trusts the key it has, or the one a manifest it trusted
  // announced; any other key locks every client out.
  std::string text;
  minisign::Signature found;
  if (has_previous && !signed_before &&
      ReadFileToString(env, dir + "/" + kReleaseManifestSignatureName, &text,
                       minisign::kMaxSignatureFileBytes).ok() &&
      minisign::ParseSignature(text, &found).ok() && found.key_id != own.key_id &&
      previous.next_key != minisign::PublicKeyLine(own)) {
    err << "dizedir-publish: sign: warning: the release was signed by key "
        << minisign::KeyIdHex(found.key_id) << ", which did not announce key "
        << minisign::KeyIdHex(own.key_id)
        << "; clients that trust the old key will refuse this release\n";
  }

  ManifestWrite written;
  s = PublishManifest(env, dir, next, &key, c.trusted_comment, change.now, &written);
  if (!s.ok()) return Failed(err, dir + "/" + kReleaseManifestName, s);
  const ReleaseManifest& m = written.manifest;
  out << dir << "/" << kReleaseManifestName << ": sequence " << m.sequence << ", "
      << m.files.size() << " files, expires " << FormatUtcTime(m.expires)
      << ", signed with key " << minisign::KeyIdHex(own.key_id);
  minisign::PublicKey announced;
  if (!m.next_key.empty() && minisign::ParsePublicKey(m.next_key, &announced).ok()) {
    out << ", announces next key " << minisign::KeyIdHex(announced.key_id);
  }
  out << '\n';
  return 0;
}

}  // namespace

int RunSign(Env* env, const SignCommand& c, std::istream& in, std::ostream& out,
            std::ostream& err) {
  const bool release = env->IsDirectory(c.file);
  if (!release && (c.refresh || !c.next_key_file.empty() || c.no_next_key)) {
    err << "dizedir-publish: sign: --refresh, --next-key and --no-next-key are for a "
        << "release directory\n";
    return 1;
  }
  minisign::SecretKey key;
  Status s = LoadSecretKey(env, c.secret_key, c.password_file, in, &key);
  if (!s.ok()) return Failed(err, "sign", s);
  if (release) return SignRelease(env, c, key, out, err);
  const int64_t now = c.now != 0 ? c.now : NowUnixSeconds();
  s = SignFileBeside(env, c.file, key, c.trusted_comment, now);
  if (!s.ok()) return Failed(err, c.file, s);
  out << c.file << ".minisig: signed with key " << minisign::KeyIdHex(key.key_id) << '\n';
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
