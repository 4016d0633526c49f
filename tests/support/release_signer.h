// ReleaseSigner: an operator's key pair in a test, and the signed manifest
// it writes over a served release directory, with every field a test may
// want to make wrong (sequence, expiry, line, next key, the files named).
//
// Thread-safety: one thread.

#ifndef DIZEDIR_TESTS_SUPPORT_RELEASE_SIGNER_H_
#define DIZEDIR_TESTS_SUPPORT_RELEASE_SIGNER_H_

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <string>

#include "codec/content_hash.h"
#include "codec/minisign.h"
#include "lists/release_manifest.h"
#include "platform/env.h"

namespace dizedir {

class ReleaseSigner {
 public:
  ReleaseSigner() {
    if (!minisign::GenerateKeyPair(&public_key_, &secret_key_).ok()) std::abort();
  }

  // dizedir.pub's text.
  std::string PublicKeyFile() const { return minisign::FormatPublicKey(public_key_); }
  // The bare base64 line, as a manifest's next-key names it.
  std::string PublicKeyLine() const { return minisign::PublicKeyLine(public_key_); }

  // A manifest over every file of `root` but the manifest's own two, for
  // `line` and `sequence`, valid for a day; `edit` may change it before it
  // is written and signed.
  ReleaseManifest ManifestOf(const std::filesystem::path& root, const std::string& line,
                             int64_t sequence) const {
    ReleaseManifest manifest;
    manifest.line = line;
    manifest.sequence = sequence;
    manifest.expires = static_cast<int64_t>(std::time(nullptr)) + 86400;
    for (const auto& entry : std::filesystem::directory_iterator(root)) {
      const std::string name = entry.path().filename().string();
      if (!entry.is_regular_file() || name == kReleaseManifestName ||
          name == kReleaseManifestSignatureName) {
        continue;
      }
      ManifestFile file;
      file.name = name;
      if (!HashFileContent(Env::Default(), entry.path().string(), &file.hash, &file.size).ok()) {
        std::abort();
      }
      manifest.files.push_back(file);
    }
    return manifest;
  }

  // Writes root/release.manifest and its signature.
  void Sign(const std::filesystem::path& root, const ReleaseManifest& manifest) const {
    const std::string path = (root / kReleaseManifestName).string();
    if (!WriteFileAtomically(Env::Default(), path, FormatReleaseManifest(manifest)).ok()) {
      std::abort();
    }
    SignFile(path);
  }

  // path + ".minisig", a prehashed signature with this key.
  void SignFile(const std::string& path) const {
    minisign::Signature signature;
    if (!minisign::SignFile(Env::Default(), path, secret_key_, "timestamp:0\tfile:test",
                            &signature)
             .ok() ||
        !WriteFileAtomically(Env::Default(), path + ".minisig",
                             minisign::FormatSignature(signature))
             .ok()) {
      std::abort();
    }
  }

 private:
  minisign::PublicKey public_key_;
  minisign::SecretKey secret_key_;
};

}  // namespace dizedir

#endif  // DIZEDIR_TESTS_SUPPORT_RELEASE_SIGNER_H_
