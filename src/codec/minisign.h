// Release signatures in the minisign format, so operators can sign with
// dizedir-publish or with the minisign tool and check either way: Ed25519
// keys named by an 8-byte key id, file signatures over the BLAKE2b-512 of
// the file ("ED"; the legacy "Ed" over the raw bytes is verified only), and a
// trusted comment bound to the file signature by a second, global signature.
//
// Every text parsed here may come from a hostile server: parsers take a
// bounded string and refuse, with a Status naming the fault, anything that
// is not exactly one of the layouts below. All primitives are libsodium's.
//
// Thread-safety: pure functions over their arguments; any thread once
// Initialize() has returned OK (every entry point calls it).

#ifndef DIZEDIR_CODEC_MINISIGN_H_
#define DIZEDIR_CODEC_MINISIGN_H_

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/env.h"
#include "platform/status.h"

namespace dizedir::minisign {

using KeyId = std::array<uint8_t, 8>;
using Prehash = std::array<uint8_t, 64>;  // BLAKE2b-512 of a file

// Ceilings on what is read from outside; far above what the tool writes.
constexpr size_t kMaxCommentBytes = 1024;          // untrusted comments
constexpr size_t kMaxTrustedCommentBytes = 8192;
constexpr uint64_t kMaxKeyFileBytes = 4096;
constexpr uint64_t kMaxSignatureFileBytes = 16384;
// Legacy signatures cover the raw bytes, which must then be held whole.
constexpr uint64_t kMaxLegacyMessageBytes = uint64_t{64} << 20;

struct PublicKey {
  KeyId key_id{};
  std::array<uint8_t, 32> key{};
};

struct SecretKey {
  KeyId key_id{};
  std::array<uint8_t, 64> key{};  // libsodium's form: seed || public key
  ~SecretKey();                   // wipes the key
};

// scrypt cost of an encrypted secret key. The tool's default is the
// "sensitive" one (about 1 GiB and seconds); readers take what the file says.
struct KdfLimits {
  uint64_t opslimit = 33554432;
  uint64_t memlimit = 1073741824;
};
KdfLimits InteractiveKdfLimits();  // cheap, for tests

struct Signature {
  bool prehashed = true;  // "ED"; false for the legacy "Ed"
  KeyId key_id{};
  std::array<uint8_t, 64> signature{};
  std::string trusted_comment;
  std::array<uint8_t, 64> global_signature{};
  std::string untrusted_comment;
};

// Loads libsodium; every function below calls it, so callers need not.
Status Initialize();

// The key id as the tool prints it: 16 uppercase hex digits, little-endian.
std::string KeyIdHex(const KeyId& id);

// A public key file (an "untrusted comment:" line and the base64 line) or
// the bare base64 line alone.
Status ParsePublicKey(std::string_view text, PublicKey* key);
std::string FormatPublicKey(const PublicKey& key);
// The key's base64 line alone, as one-line values (a manifest's next key,
// the keys a client learned) hold it; ParsePublicKey reads it back.
std::string PublicKeyLine(const PublicKey& key);

// Whether a secret key file is encrypted (so a password is needed), without
// decrypting it.
Status SecretKeyIsEncrypted(std::string_view text, bool* encrypted);
// Decrypts with `password` when the file is encrypted (ignored otherwise);
// a wrong password is reported as such through the key's checksum.
Status ParseSecretKey(std::string_view text, std::string_view password,
                      SecretKey* key);
// An empty password writes the key unencrypted, as `minisign -G -W` does.
Status FormatSecretKey(const SecretKey& key, std::string_view password,
                       const KdfLimits& limits, std::string* text);

Status GenerateKeyPair(PublicKey* public_key, SecretKey* secret_key);
PublicKey PublicKeyOf(const SecretKey& key);

Status ParseSignature(std::string_view text, Signature* signature);
std::string FormatSignature(const Signature& signature);

// BLAKE2b-512 of a file, read in bounded chunks.
Status HashFile(Env* env, const std::string& path, Prehash* digest);

// A prehashed signature of the file whose digest is given; the trusted
// comment is one line of at most kMaxTrustedCommentBytes.
Status SignPrehash(const SecretKey& key, const Prehash& digest,
                   std::string_view trusted_comment, Signature* signature);
Status SignFile(Env* env, const std::string& path, const SecretKey& key,
                std::string_view trusted_comment, Signature* signature);

// Checks key id, global signature over the trusted comment and the file
// signature of a prehashed signature against the digest of the file.
Status VerifyPrehash(const PublicKey& key, const Signature& signature,
                     const Prehash& digest);
// The same for a file on disk, also accepting legacy signatures of files up
// to kMaxLegacyMessageBytes.
Status VerifyFile(Env* env, const std::string& path, const PublicKey& key,
                  const Signature& signature);

}  // namespace dizedir::minisign

#endif  // DIZEDIR_CODEC_MINISIGN_H_
