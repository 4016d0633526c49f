#include "engine/release_guard.h"

#include <algorithm>


namespace dizedir {
namespace {

Refusal Refuse(uint32_t text_id, std::string detail = {}) {
  Refusal r;
  r.text_id = text_id;
  if (!detail.empty()) r.detail = " (" + detail + ")";
  return r;
}

bool SameKey(const minisign::PublicKey& a, const minisign::PublicKey& b) {
  return a.key_id == b.key_id && a.key == b.key;
}

}  // namespace

Refusal ReleaseGuard::Load(Env* env, const std::string& client_dir) {
  env_ = env;
  state_path_ = client_dir + kReleaseStateName;
  trusted_.clear();
  accepted_ = false;
  const std::string key_path = client_dir + kTrustedKeyName;
  if (!env->FileExists(key_path)) return Refusal();

  std::string text;
  minisign::PublicKey key;
  Status s = ReadFileToString(env, key_path, &text, minisign::kMaxKeyFileBytes);
  if (s.ok()) s = minisign::ParsePublicKey(text, &key);
  if (!s.ok()) return Refuse(kStringTrustedKeyDamaged, s.message());
  trusted_.push_back(key);

  state_ = LoadReleaseState(env, state_path_);
  for (const std::string& learned : state_.learned_keys) {
    // A learned key that no longer parses is simply not trusted.
    if (minisign::ParsePublicKey(learned, &key).ok() &&
        std::none_of(trusted_.begin(), trusted_.end(),
                     [&](const minisign::PublicKey& k) { return SameKey(k, key); })) {
      trusted_.push_back(key);
    }
  }
  return Refusal();
}

Refusal ReleaseGuard::CheckSignedFile(const std::string& path, const std::string& signature_path,
                                      std::string_view shown_name) const {
  const std::string shown(shown_name);
  std::string text;
  Status s = ReadFileToString(env_, signature_path, &text, minisign::kMaxSignatureFileBytes);
  if (s.IsNotFound() || (s.ok() && text.empty())) return Refuse(kStringSignatureMissing, shown);
  minisign::Signature signature;
  if (s.ok()) s = minisign::ParseSignature(text, &signature);
  if (!s.ok()) return Refuse(kStringSignatureMismatch, shown + ": " + s.message());
  // Key ids are only 8 bytes: every trusted key carrying the id is tried.
  bool known = false;
  for (const minisign::PublicKey& key : trusted_) {
    if (key.key_id != signature.key_id) continue;
    known = true;
    s = minisign::VerifyFile(env_, path, key, signature);
    if (s.ok()) return Refusal();
  }
  if (!known) return Refuse(kStringUntrustedKey, "key " + minisign::KeyIdHex(signature.key_id));
  return Refuse(kStringSignatureMismatch, shown + ": " + s.message());
}

Refusal ReleaseGuard::AcceptManifest(const std::string& manifest_path,
                                     const std::string& signature_path, int64_t now) {
  accepted_ = false;
  Refusal r = CheckSignedFile(manifest_path, signature_path, kReleaseManifestName);
  if (!r.ok()) return r;
  // Signed does not mean well-formed: the text is still parsed strictly.
  std::string text;
  Status s = ReadFileToString(env_, manifest_path, &text, kMaxReleaseManifestBytes);
  ReleaseManifest manifest;
  if (s.ok()) s = ParseReleaseManifest(text, &manifest);
  if (!s.ok()) return Refuse(kStringManifestDamaged, s.message());
  if (now > manifest.expires) {
    return Refuse(kStringManifestExpired, "expired " + FormatUtcTime(manifest.expires));
  }
  // The floor belongs to a line: a client moved to a new line by a
  // reinstall starts that line's count afresh (CheckLine ties the manifest
  // to the client's own list).
  if (manifest.line == state_.line && manifest.sequence < state_.sequence) {
    return Refuse(kStringManifestRolledBack, std::to_string(manifest.sequence) + " < " +
                                                 std::to_string(state_.sequence));
  }
  manifest_ = std::move(manifest);
  accepted_ = true;
  return Refusal();
}

Refusal ReleaseGuard::CheckLine(std::string_view line) const {
  if (line != manifest_.line) {
    return Refuse(kStringManifestOtherLine, manifest_.line + " != " + std::string(line));
  }
  return Refusal();
}

Refusal ReleaseGuard::SignedSize(std::string_view name, uint64_t* size) const {
  const ManifestFile* file = manifest_.Find(name);
  if (file == nullptr) return Refuse(kStringFileNotSigned, std::string(name));
  *size = file->size;
  return Refusal();
}

Refusal ReleaseGuard::CheckHash(std::string_view name, uint64_t size,
                                const ContentHash& hash) const {
  const ManifestFile* file = manifest_.Find(name);
  if (file == nullptr) return Refuse(kStringFileNotSigned, std::string(name));
  if (file->size != size) {
    return Refuse(kStringFileAltered, std::string(name) + ": " + std::to_string(size) +
                                          " bytes, signed " + std::to_string(file->size));
  }
  if (file->hash != hash) return Refuse(kStringFileAltered, std::string(name));
  return Refusal();
}

Refusal ReleaseGuard::CheckFile(std::string_view name, const std::string& path) const {
  ContentHash hash{};
  uint64_t size = 0;
  Status s = HashFileContent(env_, path, &hash, &size);
  if (!s.ok()) return Refuse(kStringFileAltered, std::string(name) + ": " + s.message());
  return CheckHash(name, size, hash);
}

Status ReleaseGuard::Commit() {
  if (!accepted_) return Status::InvalidArgument("no manifest accepted");
  ReleaseState next = state_;
  if (next.line != manifest_.line) next = ReleaseState();
  next.line = manifest_.line;
  next.sequence = manifest_.sequence;
  minisign::PublicKey rotated;
  if (!manifest_.next_key.empty() && minisign::ParsePublicKey(manifest_.next_key, &rotated).ok()) {
    next.Learn(minisign::PublicKeyLine(rotated));
  }
  if (next.line == state_.line && next.sequence == state_.sequence &&
      next.learned_keys == state_.learned_keys) {
    return Status::OK();  // nothing new: no write on every launch
  }
  Status s = SaveReleaseState(env_, state_path_, next);
  if (s.ok()) state_ = std::move(next);
  return s;
}

}  // namespace dizedir
