#include "codec/minisign.h"

#include <sodium.h>

#include <cstring>
#include <memory>
#include <vector>

namespace dizedir::minisign {
namespace {

constexpr std::string_view kCommentPrefix = "untrusted comment: ";
constexpr std::string_view kTrustedPrefix = "trusted comment: ";
constexpr char kSigAlg[2] = {'E', 'd'};
constexpr char kSigAlgHashed[2] = {'E', 'D'};
constexpr char kKdfScrypt[2] = {'S', 'c'};
constexpr char kKdfNone[2] = {0, 0};
constexpr char kChkAlg[2] = {'B', '2'};

constexpr size_t kPublicKeyBytes = 2 + 8 + 32;
constexpr size_t kSignatureLineBytes = 2 + 8 + 64;
// key id || secret key || BLAKE2b-256 checksum, the part scrypt masks.
constexpr size_t kKeynumSkBytes = 8 + 64 + 32;
constexpr size_t kSaltBytes = crypto_pwhash_scryptsalsa208sha256_SALTBYTES;
constexpr size_t kSecretKeyBytes = 2 + 2 + 2 + kSaltBytes + 8 + 8 + kKeynumSkBytes;
// Above the tool's "sensitive" cost: a key file asking for more is refused
// rather than allowed to exhaust memory.
constexpr uint64_t kMaxMemlimit = uint64_t{1} << 30;
constexpr uint64_t kMaxOpslimit = uint64_t{1} << 32;
constexpr size_t kChunkBytes = 64 * 1024;

static_assert(kSaltBytes == 32);
static_assert(crypto_sign_BYTES == 64 && crypto_sign_PUBLICKEYBYTES == 32 &&
              crypto_sign_SECRETKEYBYTES == 64);

// Splits into lines, dropping one '\r' before each '\n' and an empty last
// line. Returns false past max_lines.
bool SplitLines(std::string_view text, size_t max_lines,
                std::vector<std::string_view>* lines) {
  lines->clear();
  while (!text.empty()) {
    if (lines->size() == max_lines) return false;
    size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines->push_back(line);
  }
  return true;
}

bool HasControlCharacters(std::string_view text) {
  for (char c : text) {
    if (c == '\n' || c == '\r' || c == '\0') return true;
  }
  return false;
}

// Decodes standard base64 that must yield exactly `size` bytes.
Status DecodeBase64(std::string_view b64, size_t size, std::string_view what,
                    uint8_t* out) {
  std::vector<uint8_t> bin(b64.size() / 4 * 3 + 3);
  size_t bin_len = 0;
  const char* end = nullptr;
  if (sodium_base642bin(bin.data(), bin.size(), b64.data(), b64.size(), nullptr,
                        &bin_len, &end, sodium_base64_VARIANT_ORIGINAL) != 0 ||
      end != b64.data() + b64.size()) {
    return Status::Corruption(std::string(what) + ": bad base64");
  }
  if (bin_len != size) {
    return Status::Corruption(std::string(what) + ": " + std::to_string(bin_len) +
                              " bytes where " + std::to_string(size) +
                              " were expected");
  }
  std::memcpy(out, bin.data(), size);
  return Status::OK();
}

std::string EncodeBase64(const uint8_t* data, size_t size) {
  std::string out(sodium_base64_ENCODED_LEN(size, sodium_base64_VARIANT_ORIGINAL), '\0');
  sodium_bin2base64(out.data(), out.size(), data, size, sodium_base64_VARIANT_ORIGINAL);
  out.resize(out.size() - 1);  // the terminating NUL
  return out;
}

// The "untrusted comment:" + base64 layout shared by key files.
Status SplitKeyFile(std::string_view text, std::string_view what,
                    std::string_view* b64) {
  if (text.size() > kMaxKeyFileBytes) {
    return Status::Corruption(std::string(what) + ": file too large");
  }
  std::vector<std::string_view> lines;
  if (!SplitLines(text, 2, &lines) || lines.empty()) {
    return Status::Corruption(std::string(what) +
                              ": expected a comment line and a base64 line");
  }
  if (lines.size() == 1) {
    *b64 = lines[0];
    return Status::OK();
  }
  if (lines[0].substr(0, kCommentPrefix.size()) != kCommentPrefix) {
    return Status::Corruption(std::string(what) +
                              ": first line is not an untrusted comment");
  }
  *b64 = lines[1];
  return Status::OK();
}

void PutLe64(uint64_t v, uint8_t* out) {
  for (int i = 0; i < 8; ++i) out[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint64_t GetLe64(const uint8_t* in) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | in[i];
  return v;
}

void Checksum(const KeyId& id, const std::array<uint8_t, 64>& key, uint8_t out[32]) {
  crypto_generichash_state state;
  crypto_generichash_init(&state, nullptr, 0, 32);
  crypto_generichash_update(&state, reinterpret_cast<const uint8_t*>(kSigAlg), 2);
  crypto_generichash_update(&state, id.data(), id.size());
  crypto_generichash_update(&state, key.data(), key.size());
  crypto_generichash_final(&state, out, 32);
}

// Wiped on every path out, since it holds secret key bytes.
struct SecretBuffer {
  std::array<uint8_t, kSecretKeyBytes> bytes{};
  std::array<uint8_t, kKeynumSkBytes> mask{};
  ~SecretBuffer() {
    sodium_memzero(bytes.data(), bytes.size());
    sodium_memzero(mask.data(), mask.size());
  }
};

Status DecodeSecretKey(std::string_view text, SecretBuffer* buffer) {
  std::string_view b64;
  Status s = SplitKeyFile(text, "secret key", &b64);
  if (!s.ok()) return s;
  s = DecodeBase64(b64, kSecretKeyBytes, "secret key", buffer->bytes.data());
  if (!s.ok()) return s;
  const uint8_t* p = buffer->bytes.data();
  if (std::memcmp(p, kSigAlg, 2) != 0) {
    return Status::Corruption("secret key: unsupported signature algorithm");
  }
  if (std::memcmp(p + 2, kKdfScrypt, 2) != 0 && std::memcmp(p + 2, kKdfNone, 2) != 0) {
    return Status::Corruption("secret key: unsupported key derivation algorithm");
  }
  if (std::memcmp(p + 4, kChkAlg, 2) != 0) {
    return Status::Corruption("secret key: unsupported checksum algorithm");
  }
  return Status::OK();
}

Status CheckTrustedComment(std::string_view comment) {
  if (comment.size() > kMaxTrustedCommentBytes) {
    return Status::InvalidArgument("trusted comment longer than " +
                                   std::to_string(kMaxTrustedCommentBytes) + " bytes");
  }
  if (HasControlCharacters(comment)) {
    return Status::InvalidArgument("trusted comment must be one line");
  }
  return Status::OK();
}

// Signature bytes followed by the trusted comment: what the global
// signature covers.
std::vector<uint8_t> GlobalMessage(const Signature& signature) {
  std::vector<uint8_t> message(signature.signature.begin(), signature.signature.end());
  message.insert(message.end(), signature.trusted_comment.begin(),
                 signature.trusted_comment.end());
  return message;
}

Status CheckGlobalAndKey(const PublicKey& key, const Signature& signature) {
  if (signature.key_id != key.key_id) {
    return Status::Corruption("signature made by key " + KeyIdHex(signature.key_id) +
                              ", not by the trusted key " + KeyIdHex(key.key_id));
  }
  const std::vector<uint8_t> message = GlobalMessage(signature);
  if (crypto_sign_verify_detached(signature.global_signature.data(), message.data(),
                                  message.size(), key.key.data()) != 0) {
    return Status::Corruption(
        "bad global signature: the trusted comment was altered");
  }
  return Status::OK();
}

}  // namespace

SecretKey::~SecretKey() { sodium_memzero(key.data(), key.size()); }

KdfLimits InteractiveKdfLimits() {
  return {crypto_pwhash_scryptsalsa208sha256_OPSLIMIT_INTERACTIVE,
          crypto_pwhash_scryptsalsa208sha256_MEMLIMIT_INTERACTIVE};
}

Status Initialize() {
  if (sodium_init() < 0) return Status::IOError("libsodium failed to initialize");
  return Status::OK();
}

std::string KeyIdHex(const KeyId& id) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (size_t i = id.size(); i-- > 0;) {
    out += kHex[id[i] >> 4];
    out += kHex[id[i] & 15];
  }
  return out;
}

Status ParsePublicKey(std::string_view text, PublicKey* key) {
  Status s = Initialize();
  if (!s.ok()) return s;
  std::string_view b64;
  s = SplitKeyFile(text, "public key", &b64);
  if (!s.ok()) return s;
  uint8_t bytes[kPublicKeyBytes];
  s = DecodeBase64(b64, sizeof bytes, "public key", bytes);
  if (!s.ok()) return s;
  if (std::memcmp(bytes, kSigAlg, 2) != 0) {
    return Status::Corruption("public key: unsupported signature algorithm");
  }
  std::memcpy(key->key_id.data(), bytes + 2, 8);
  std::memcpy(key->key.data(), bytes + 10, 32);
  return Status::OK();
}

std::string PublicKeyLine(const PublicKey& key) {
  uint8_t bytes[kPublicKeyBytes];
  std::memcpy(bytes, kSigAlg, 2);
  std::memcpy(bytes + 2, key.key_id.data(), 8);
  std::memcpy(bytes + 10, key.key.data(), 32);
  return EncodeBase64(bytes, sizeof bytes);
}

std::string FormatPublicKey(const PublicKey& key) {
  return std::string(kCommentPrefix) + "minisign public key " + KeyIdHex(key.key_id) +
         "\n" + PublicKeyLine(key) + "\n";
}

Status SecretKeyIsEncrypted(std::string_view text, bool* encrypted) {
  Status s = Initialize();
  if (!s.ok()) return s;
  SecretBuffer buffer;
  s = DecodeSecretKey(text, &buffer);
  if (!s.ok()) return s;
  *encrypted = std::memcmp(buffer.bytes.data() + 2, kKdfScrypt, 2) == 0;
  return Status::OK();
}

Status ParseSecretKey(std::string_view text, std::string_view password,
                      SecretKey* out) {
  Status s = Initialize();
  if (!s.ok()) return s;
  SecretBuffer buffer;
  s = DecodeSecretKey(text, &buffer);
  if (!s.ok()) return s;
  const uint8_t* p = buffer.bytes.data();
  const bool encrypted = std::memcmp(p + 2, kKdfScrypt, 2) == 0;
  const uint8_t* salt = p + 6;
  const uint64_t opslimit = GetLe64(p + 6 + kSaltBytes);
  const uint64_t memlimit = GetLe64(p + 6 + kSaltBytes + 8);
  uint8_t* keynum_sk = buffer.bytes.data() + 6 + kSaltBytes + 16;
  if (encrypted) {
    if (opslimit > kMaxOpslimit || memlimit > kMaxMemlimit) {
      return Status::Corruption("secret key: key derivation cost above the limit");
    }
    if (password.empty()) {
      return Status::InvalidArgument("secret key is encrypted: a password is needed");
    }
    if (crypto_pwhash_scryptsalsa208sha256(
            buffer.mask.data(), buffer.mask.size(), password.data(), password.size(),
            salt, opslimit, static_cast<size_t>(memlimit)) != 0) {
      return Status::IOError("secret key: key derivation failed (out of memory?)");
    }
    for (size_t i = 0; i < kKeynumSkBytes; ++i) keynum_sk[i] ^= buffer.mask[i];
  }
  // Decoded aside: a wrong password leaves the caller's key as it was, and
  // what it decoded to is wiped with this copy.
  SecretKey parsed;
  SecretKey* key = &parsed;
  std::memcpy(key->key_id.data(), keynum_sk, 8);
  std::memcpy(key->key.data(), keynum_sk + 8, 64);
  const uint8_t* stored = keynum_sk + 72;
  uint8_t computed[32];
  Checksum(key->key_id, key->key, computed);
  // Unencrypted keys from the tool carry no checksum (all zero).
  const bool no_checksum = !encrypted && sodium_is_zero(stored, 32);
  const bool checksum_ok = sodium_memcmp(stored, computed, 32) == 0;
  sodium_memzero(computed, sizeof computed);
  if (!no_checksum && !checksum_ok) {
    return Status::Corruption(encrypted ? "secret key: wrong password"
                                        : "secret key: bad checksum");
  }
  // The public half must be the one the seed makes, or signatures made
  // with it would verify under no key.
  uint8_t pk[32], sk[64];
  crypto_sign_seed_keypair(pk, sk, key->key.data());
  const bool consistent = sodium_memcmp(sk, key->key.data(), 64) == 0;
  sodium_memzero(sk, sizeof sk);
  if (!consistent) {
    return Status::Corruption("secret key: public half does not match the seed");
  }
  out->key_id = parsed.key_id;
  out->key = parsed.key;
  return Status::OK();
}

Status FormatSecretKey(const SecretKey& key, std::string_view password,
                       const KdfLimits& limits, std::string* text) {
  Status s = Initialize();
  if (!s.ok()) return s;
  SecretBuffer buffer;
  uint8_t* p = buffer.bytes.data();
  const bool encrypt = !password.empty();
  std::memcpy(p, kSigAlg, 2);
  std::memcpy(p + 2, encrypt ? kKdfScrypt : kKdfNone, 2);
  std::memcpy(p + 4, kChkAlg, 2);
  uint8_t* salt = p + 6;
  uint8_t* keynum_sk = p + 6 + kSaltBytes + 16;
  std::memcpy(keynum_sk, key.key_id.data(), 8);
  std::memcpy(keynum_sk + 8, key.key.data(), 64);
  if (encrypt) {
    if (limits.opslimit > kMaxOpslimit || limits.memlimit > kMaxMemlimit) {
      return Status::InvalidArgument("key derivation cost above the limit");
    }
    randombytes_buf(salt, kSaltBytes);
    PutLe64(limits.opslimit, p + 6 + kSaltBytes);
    PutLe64(limits.memlimit, p + 6 + kSaltBytes + 8);
    Checksum(key.key_id, key.key, keynum_sk + 72);
    if (crypto_pwhash_scryptsalsa208sha256(
            buffer.mask.data(), buffer.mask.size(), password.data(), password.size(),
            salt, limits.opslimit, static_cast<size_t>(limits.memlimit)) != 0) {
      return Status::IOError("key derivation failed (out of memory?)");
    }
    for (size_t i = 0; i < kKeynumSkBytes; ++i) keynum_sk[i] ^= buffer.mask[i];
  }
  *text = std::string(kCommentPrefix) +
          (encrypt ? "minisign encrypted secret key" : "minisign unencrypted secret key") +
          "\n" + EncodeBase64(buffer.bytes.data(), buffer.bytes.size()) + "\n";
  return Status::OK();
}

Status GenerateKeyPair(PublicKey* public_key, SecretKey* secret_key) {
  Status s = Initialize();
  if (!s.ok()) return s;
  randombytes_buf(secret_key->key_id.data(), secret_key->key_id.size());
  crypto_sign_keypair(public_key->key.data(), secret_key->key.data());
  public_key->key_id = secret_key->key_id;
  return Status::OK();
}

PublicKey PublicKeyOf(const SecretKey& key) {
  PublicKey out;
  out.key_id = key.key_id;
  std::memcpy(out.key.data(), key.key.data() + 32, 32);
  return out;
}

Status ParseSignature(std::string_view text, Signature* signature) {
  Status s = Initialize();
  if (!s.ok()) return s;
  if (text.size() > kMaxSignatureFileBytes) {
    return Status::Corruption("signature: file too large");
  }
  std::vector<std::string_view> lines;
  if (!SplitLines(text, 4, &lines) || lines.size() != 4) {
    return Status::Corruption("signature: expected 4 lines");
  }
  if (lines[0].substr(0, kCommentPrefix.size()) != kCommentPrefix) {
    return Status::Corruption("signature: first line is not an untrusted comment");
  }
  if (lines[2].substr(0, kTrustedPrefix.size()) != kTrustedPrefix) {
    return Status::Corruption("signature: third line is not a trusted comment");
  }
  std::string_view untrusted = lines[0].substr(kCommentPrefix.size());
  std::string_view trusted = lines[2].substr(kTrustedPrefix.size());
  if (untrusted.size() > kMaxCommentBytes || trusted.size() > kMaxTrustedCommentBytes) {
    return Status::Corruption("signature: comment too long");
  }
  uint8_t bytes[kSignatureLineBytes];
  s = DecodeBase64(lines[1], sizeof bytes, "signature", bytes);
  if (!s.ok()) return s;
  if (std::memcmp(bytes, kSigAlgHashed, 2) == 0) {
    signature->prehashed = true;
  } else if (std::memcmp(bytes, kSigAlg, 2) == 0) {
    signature->prehashed = false;
  } else {
    return Status::Corruption("signature: unsupported signature algorithm");
  }
  s = DecodeBase64(lines[3], 64, "global signature",
                   signature->global_signature.data());
  if (!s.ok()) return s;
  std::memcpy(signature->key_id.data(), bytes + 2, 8);
  std::memcpy(signature->signature.data(), bytes + 10, 64);
  signature->untrusted_comment.assign(untrusted);
  signature->trusted_comment.assign(trusted);
  return Status::OK();
}

std::string FormatSignature(const Signature& signature) {
  uint8_t bytes[kSignatureLineBytes];
  std::memcpy(bytes, signature.prehashed ? kSigAlgHashed : kSigAlg, 2);
  std::memcpy(bytes + 2, signature.key_id.data(), 8);
  std::memcpy(bytes + 10, signature.signature.data(), 64);
  return std::string(kCommentPrefix) + signature.untrusted_comment + "\n" +
         EncodeBase64(bytes, sizeof bytes) + "\n" + std::string(kTrustedPrefix) +
         signature.trusted_comment + "\n" +
         EncodeBase64(signature.global_signature.data(), 64) + "\n";
}

Status HashFile(Env* env, const std::string& path, Prehash* digest) {
  Status s = Initialize();
  if (!s.ok()) return s;
  std::unique_ptr<ReadableFile> file;
  s = env->NewReadableFile(path, &file);
  if (!s.ok()) return s;
  crypto_generichash_state state;
  crypto_generichash_init(&state, nullptr, 0, digest->size());
  std::vector<char> chunk(kChunkBytes);
  uint64_t offset = 0;
  for (;;) {
    size_t got = 0;
    s = file->Read(offset, chunk.size(), chunk.data(), &got);
    if (!s.ok()) return s;
    crypto_generichash_update(&state, reinterpret_cast<const uint8_t*>(chunk.data()),
                              got);
    offset += got;
    if (got < chunk.size()) break;
  }
  crypto_generichash_final(&state, digest->data(), digest->size());
  return Status::OK();
}

Status SignPrehash(const SecretKey& key, const Prehash& digest,
                   std::string_view trusted_comment, Signature* signature) {
  Status s = Initialize();
  if (!s.ok()) return s;
  s = CheckTrustedComment(trusted_comment);
  if (!s.ok()) return s;
  signature->prehashed = true;
  signature->key_id = key.key_id;
  signature->trusted_comment.assign(trusted_comment);
  signature->untrusted_comment = "signature from dizedir-publish secret key";
  crypto_sign_detached(signature->signature.data(), nullptr, digest.data(),
                       digest.size(), key.key.data());
  const std::vector<uint8_t> message = GlobalMessage(*signature);
  crypto_sign_detached(signature->global_signature.data(), nullptr, message.data(),
                       message.size(), key.key.data());
  return Status::OK();
}

Status SignFile(Env* env, const std::string& path, const SecretKey& key,
                std::string_view trusted_comment, Signature* signature) {
  Prehash digest;
  Status s = HashFile(env, path, &digest);
  if (!s.ok()) return s;
  return SignPrehash(key, digest, trusted_comment, signature);
}

Status VerifyPrehash(const PublicKey& key, const Signature& signature,
                     const Prehash& digest) {
  Status s = Initialize();
  if (!s.ok()) return s;
  if (!signature.prehashed) {
    return Status::Corruption("legacy signature: the file is needed, not its digest");
  }
  s = CheckGlobalAndKey(key, signature);
  if (!s.ok()) return s;
  if (crypto_sign_verify_detached(signature.signature.data(), digest.data(),
                                  digest.size(), key.key.data()) != 0) {
    return Status::Corruption("signature does not match the file");
  }
  return Status::OK();
}

Status VerifyFile(Env* env, const std::string& path, const PublicKey& key,
                  const Signature& signature) {
  Status s = Initialize();
  if (!s.ok()) return s;
  if (signature.prehashed) {
    Prehash digest;
    s = HashFile(env, path, &digest);
    if (!s.ok()) return s;
    return VerifyPrehash(key, signature, digest);
  }
  s = CheckGlobalAndKey(key, signature);
  if (!s.ok()) return s;
  std::string data;
  s = ReadFileToString(env, path, &data, kMaxLegacyMessageBytes);
  if (!s.ok()) return s;
  if (crypto_sign_verify_detached(signature.signature.data(),
                                  reinterpret_cast<const uint8_t*>(data.data()),
                                  data.size(), key.key.data()) != 0) {
    return Status::Corruption("signature does not match the file");
  }
  return Status::OK();
}

}  // namespace dizedir::minisign
