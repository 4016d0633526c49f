// The release manifest (lists/release_manifest.h) as the publisher keeps
// it: rebuilt from a release directory's files after every change, signed
// with the operator's key in the minisign format, and compared with the
// files it vouches for.
//
// A manifest lists exactly what a client fetches from the directory:
// downloadaddr.txt, curver.bin, verlist.bin, the part files of every live
// patch (state 1 or 2) that verlist.bin names, and the tree manifest of
// every version a client can be at (tree_publisher.h) that the directory
// holds. Not versions.bin, which clients never fetch, nor the manifest and
// its signature, nor the content store's objects, which are named by their
// hashes in the tree manifests.
//
// Write order. A client that trusts a key fetches release.manifest and its
// signature first and checks every later file against them, so what it may
// see while a change is under way decides the order: store objects and
// parts, then verlist.bin, then curver.bin (each replaced by an atomic
// rename), then the tree manifest, then the manifest, then its signature.
// A client racing the change sees
//   - the old manifest: the files it lists stay in place until the lists
//     are replaced, and a list replaced since differs from it and is
//     refused; that update fails, the next one finds the release whole;
//   - the new manifest: written last, it names only files already there
//     with their final bytes, so a client never chases a part that is not
//     there yet or accepts a list that was never vouched for.
// A manifest newer than the files it names would send clients after
// missing parts, and one left by a publisher killed midway would vouch for
// bytes never published; written last, a manifest is never newer than its
// files. Between the two last renames the new manifest meets the old
// signature, and a client then refuses it as it would a forgery: one failed
// update, never an accepted one. Mirrors must copy the manifest and its
// signature last for the same reasons, and a mirror that lags behind one a
// client already read serves a lower sequence, which clients refuse as a
// rollback.
//
// Thread-safety: functions over a directory; one writer per directory.

#ifndef DIZEDIR_TOOLS_PUBLISH_RELEASE_SIGNING_H_
#define DIZEDIR_TOOLS_PUBLISH_RELEASE_SIGNING_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "codec/minisign.h"
#include "lists/release_manifest.h"
#include "platform/env.h"
#include "platform/status.h"

namespace dizedir::publish {

inline constexpr int kDefaultManifestDays = 30;

// Unix seconds now, from the system clock.
int64_t NowUnixSeconds();

// The release line (the GUID curver.bin publishes) and the names of the
// files a client fetches, in the order it fetches them, spelled as the
// directory spells them where the file exists. Fails when a list cannot be
// read or a part name is not a bare file name.
Status ListFetchedFiles(Env* env, const std::string& release_dir,
                        std::string* line, std::vector<std::string>* names);

// Reads release_dir/release.manifest; *exists is false (and the Status OK)
// when there is none.
Status ReadManifest(Env* env, const std::string& release_dir,
                    ReleaseManifest* manifest, bool* exists);

struct ManifestChange {
  int64_t now = 0;  // Unix seconds
  int expires_days = kDefaultManifestDays;
  // The key to announce (a public key's base64 line): unset keeps the
  // previous manifest's, empty drops it.
  std::optional<std::string> next_key;
};

// Sequence, expiry and next key of the manifest that follows `previous`
// (null for the first: sequence 1); line and files are left as they are.
Status AdvanceManifest(const ReleaseManifest* previous,
                       const ManifestChange& change, ReleaseManifest* next);

// The manifest that follows `previous` for the directory's present files:
// the line from curver.bin, every fetched file's size and content hash.
Status BuildNextManifest(Env* env, const std::string& release_dir,
                         const ReleaseManifest* previous,
                         const ManifestChange& change, ReleaseManifest* next);

struct ManifestWrite {
  ReleaseManifest manifest;  // as written
  bool signed_now = false;
  bool removed_signature = false;
};

// Writes the manifest (atomically), then signs it with `key` (the trusted
// comment as SignFileBeside has it), or, without a key, deletes the
// signature of the manifest it replaced, which no longer matches.
// Announcing the signing key itself as the next key is dropped: the
// rotation it announced is done.
Status PublishManifest(Env* env, const std::string& release_dir,
                       ReleaseManifest manifest, const minisign::SecretKey* key,
                       std::string_view trusted_comment, int64_t now,
                       ManifestWrite* result);

// Signs `path` as `minisign -Sm` does (prehashed; the trusted comment
// defaults to the tool's "timestamp:<now>\tfile:<name>\thashed") into
// path.minisig, atomically.
Status SignFileBeside(Env* env, const std::string& path,
                      const minisign::SecretKey& key,
                      std::string_view trusted_comment, int64_t now,
                      minisign::Signature* signature = nullptr);

// Checks release_dir/release.manifest.minisig against the manifest and the
// key; the message names the signature file.
Status CheckManifestSignature(Env* env, const std::string& release_dir,
                              const minisign::PublicKey& key,
                              minisign::Signature* signature = nullptr);

// How the manifest and the directory disagree, one text per fault naming
// the file: another release line, a fetched file not listed, a listed file
// not fetched, a missing file, a size or content hash that differs.
void CompareManifest(Env* env, const std::string& release_dir,
                     const ReleaseManifest& manifest,
                     std::vector<std::string>* problems);

}  // namespace dizedir::publish

#endif  // DIZEDIR_TOOLS_PUBLISH_RELEASE_SIGNING_H_
