#include "tools/publish/release_signing.h"

#include <algorithm>
#include <chrono>
#include <limits>
#include <map>
#include <set>

#include "lists/list_text.h"
#include "lists/split_archive.h"
#include "lists/version_lists.h"
#include "platform/case_fold.h"
#include "platform/confined_path.h"
#include "tools/publish/release_builder.h"
#include "tools/publish/tree_publisher.h"

namespace dizedir::publish {
namespace {

// The last second a manifest can spell.
constexpr int64_t kLatestExpiry = 253402300799;  // 9999-12-31T23:59:59Z
constexpr int64_t kSecondsPerDay = 86400;

std::string Join(const std::string& dir, std::string_view name) {
  if (dir.empty()) return std::string(name);
  const char last = dir.back();
  return last == '/' || last == '\\' ? dir + std::string(name)
                                     : dir + "/" + std::string(name);
}

std::string BaseName(const std::string& path) {
  const size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

Status ReadList(Env* env, const std::string& dir, const char* name, std::string* data) {
  const Status s = ReadFileToString(env, Join(dir, name), data, kMaxListFileBytes);
  if (!s.ok()) return Status::IOError(std::string(name) + " cannot be read: " + s.message());
  return s;
}

// How the directory spells each name: exactly as asked when such an entry
// exists, else the entry that matches case-insensitively, else as asked.
class DirectorySpelling {
 public:
  DirectorySpelling(Env* env, const std::string& dir) {
    std::vector<std::string> children;
    if (!env->GetChildren(dir, &children).ok()) return;
    for (const std::string& child : children) {
      exact_.insert(child);
      folded_.emplace(CaseFoldKeyUtf8(child), child);
    }
  }
  // Only the exact name: clients ask for it so.
  bool Holds(const std::string& name) const { return exact_.count(name) != 0; }
  std::string Of(const std::string& name) const {
    if (exact_.count(name) != 0) return name;
    auto it = folded_.find(CaseFoldKeyUtf8(name));
    return it == folded_.end() ? name : it->second;
  }

 private:
  std::set<std::string> exact_;
  std::map<std::string, std::string> folded_;
};

}  // namespace

int64_t NowUnixSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

Status ListFetchedFiles(Env* env, const std::string& release_dir,
                        std::string* line, std::vector<std::string>* names) {
  names->clear();
  std::string data;
  Status s = ReadList(env, release_dir, kPublishedListName, &data);
  if (!s.ok()) return s;
  std::vector<VersionRecord> versions;
  size_t bad = 0;
  if (!DecodeRemoteVersions(data, &versions, &bad)) {
    return Status::Corruption(std::string(kPublishedListName) + ": line " +
                              std::to_string(bad) + " does not parse");
  }
  if (versions.empty()) {
    return Status::Corruption(std::string(kPublishedListName) +
                              " lists no version, so there is no release line");
  }
  *line = versions.front().guid;
  s = ReadList(env, release_dir, kPatchListName, &data);
  if (!s.ok()) return s;
  std::vector<PatchRecord> patches;
  if (!DecodePatches(data, &patches, &bad)) {
    return Status::Corruption(std::string(kPatchListName) + ": line " +
                              std::to_string(bad) + " does not parse");
  }

  std::vector<std::string> wanted = {kDownloadAddressName, kPublishedListName,
                                     kPatchListName};
  for (const PatchRecord& p : patches) {
    if (p.state != 1 && p.state != 2) continue;
    for (const PartEntry& part : p.parts) {
      const std::string file = PartFileName(part.name);
      std::string confined;
      s = ConfineName(file, NameKind::kBareName, &confined);
      if (s.ok() && confined != file) s = Status::InvalidArgument("not a bare file name");
      if (!s.ok()) {
        return Status::InvalidArgument(std::string(kPatchListName) + ": patch " +
                                       std::to_string(p.number) + " names part \"" + file +
                                       "\", which a manifest cannot list: " + s.message());
      }
      wanted.push_back(file);
    }
  }
  const DirectorySpelling spelling(env, release_dir);
  // Store objects are not listed: their names are their hashes, which the
  // tree manifests vouch for.
  for (int32_t version : TreeManifestVersions(versions, patches)) {
    const std::string tree = TreeManifestFileName(version);
    if (spelling.Holds(tree)) wanted.push_back(tree);
  }
  std::set<std::string> seen;
  for (const std::string& name : wanted) {
    // Two patches may share a part; it is fetched, and listed, once.
    if (seen.insert(CaseFoldKeyUtf8(name)).second) names->push_back(spelling.Of(name));
  }
  return Status::OK();
}

Status ReadManifest(Env* env, const std::string& release_dir,
                    ReleaseManifest* manifest, bool* exists) {
  const std::string path = Join(release_dir, kReleaseManifestName);
  *exists = env->FileExists(path);
  if (!*exists) return Status::OK();
  std::string text;
  const Status s = ReadFileToString(env, path, &text, kMaxReleaseManifestBytes);
  if (!s.ok()) {
    return Status::IOError(std::string(kReleaseManifestName) + " cannot be read: " +
                           s.message());
  }
  return ParseReleaseManifest(text, manifest);
}

Status AdvanceManifest(const ReleaseManifest* previous,
                       const ManifestChange& change, ReleaseManifest* next) {
  if (change.expires_days < 1) {
    return Status::InvalidArgument("a manifest must stay valid for a day or more");
  }
  if (previous != nullptr && previous->sequence == std::numeric_limits<int64_t>::max()) {
    return Status::InvalidArgument("the sequence of release.manifest is at its largest");
  }
  next->sequence = previous == nullptr ? 1 : previous->sequence + 1;
  const int64_t days = std::min<int64_t>(change.expires_days, kLatestExpiry / kSecondsPerDay);
  next->expires = std::min(change.now + days * kSecondsPerDay, kLatestExpiry);
  if (change.next_key) {
    next->next_key = *change.next_key;
  } else {
    next->next_key = previous == nullptr ? "" : previous->next_key;
  }
  return Status::OK();
}

Status BuildNextManifest(Env* env, const std::string& release_dir,
                         const ReleaseManifest* previous,
                         const ManifestChange& change, ReleaseManifest* next) {
  ReleaseManifest m;
  std::vector<std::string> names;
  Status s = ListFetchedFiles(env, release_dir, &m.line, &names);
  if (!s.ok()) return s;
  for (const std::string& name : names) {
    ManifestFile file;
    file.name = name;
    s = HashFileContent(env, Join(release_dir, name), &file.hash, &file.size);
    if (!s.ok()) {
      return Status::IOError(name + ", which clients fetch, cannot be read: " + s.message());
    }
    m.files.push_back(std::move(file));
  }
  s = AdvanceManifest(previous, change, &m);
  if (s.ok()) *next = std::move(m);
  return s;
}

Status SignFileBeside(Env* env, const std::string& path,
                      const minisign::SecretKey& key,
                      std::string_view trusted_comment, int64_t now,
                      minisign::Signature* signature) {
  const std::string comment =
      trusted_comment.empty()
          ? "timestamp:" + std::to_string(now) + "\tfile:" + BaseName(path) + "\thashed"
          : std::string(trusted_comment);
  minisign::Signature made;
  Status s = minisign::SignFile(env, path, key, comment, &made);
  if (!s.ok()) return s;
  s = WriteFileAtomically(env, path + ".minisig", minisign::FormatSignature(made));
  if (s.ok() && signature != nullptr) *signature = made;
  return s;
}

Status PublishManifest(Env* env, const std::string& release_dir,
                       ReleaseManifest manifest, const minisign::SecretKey* key,
                       std::string_view trusted_comment, int64_t now,
                       ManifestWrite* result) {
  *result = ManifestWrite();
  if (key != nullptr &&
      manifest.next_key == minisign::PublicKeyLine(minisign::PublicKeyOf(*key))) {
    manifest.next_key.clear();
  }
  const std::string text = FormatReleaseManifest(manifest);
  // Never publish what a client would refuse to read.
  ReleaseManifest check;
  Status s = ParseReleaseManifest(text, &check);
  if (!s.ok()) return Status::InvalidArgument("not writing a manifest clients refuse: " + s.message());
  const std::string path = Join(release_dir, kReleaseManifestName);
  s = WriteFileAtomically(env, path, text);
  if (!s.ok()) return s;
  result->manifest = std::move(manifest);
  if (key != nullptr) {
    s = SignFileBeside(env, path, *key, trusted_comment, now);
    if (!s.ok()) return s;
    result->signed_now = true;
    return s;
  }
  const std::string signature = Join(release_dir, kReleaseManifestSignatureName);
  if (env->FileExists(signature)) {
    s = env->DeleteFile(signature);
    if (!s.ok()) return s;
    result->removed_signature = true;
  }
  return Status::OK();
}

Status CheckManifestSignature(Env* env, const std::string& release_dir,
                              const minisign::PublicKey& key,
                              minisign::Signature* signature) {
  const std::string name = kReleaseManifestSignatureName;
  const std::string path = Join(release_dir, name);
  if (!env->FileExists(path)) {
    return Status::NotFound(name + " is missing; clients that trust a key refuse the release");
  }
  std::string text;
  Status s = ReadFileToString(env, path, &text, minisign::kMaxSignatureFileBytes);
  minisign::Signature parsed;
  if (s.ok()) s = minisign::ParseSignature(text, &parsed);
  if (s.ok()) s = minisign::VerifyFile(env, Join(release_dir, kReleaseManifestName), key, parsed);
  if (!s.ok()) {
    return Status::Corruption(name + " does not verify " + kReleaseManifestName +
                              " with key " + minisign::KeyIdHex(key.key_id) + ": " +
                              s.message());
  }
  if (signature != nullptr) *signature = parsed;
  return Status::OK();
}

void CompareManifest(Env* env, const std::string& release_dir,
                     const ReleaseManifest& manifest,
                     std::vector<std::string>* problems) {
  const std::string m = kReleaseManifestName;
  std::string line;
  std::vector<std::string> names;
  const Status s = ListFetchedFiles(env, release_dir, &line, &names);
  // Without readable lists the set of fetched files is unknown, but every
  // file the manifest lists can still be checked, which names the culprit.
  const bool complete = s.ok();
  if (!complete) {
    problems->push_back(m + " cannot be checked for completeness: " + s.message());
    names.clear();
    for (const ManifestFile& file : manifest.files) names.push_back(file.name);
  } else if (manifest.line != line) {
    problems->push_back(m + " is for release line " + manifest.line + ", " +
                        kPublishedListName + " publishes " + line);
  }
  std::set<std::string> fetched;
  for (const std::string& name : names) {
    fetched.insert(CaseFoldKeyUtf8(name));
    const ManifestFile* listed = manifest.Find(name);
    if (listed == nullptr) {
      problems->push_back(name + " is not in " + m + "; clients refuse it");
      continue;
    }
    ContentHash hash{};
    uint64_t size = 0;
    if (!HashFileContent(env, Join(release_dir, name), &hash, &size).ok()) {
      problems->push_back(name + ", listed in " + m + ", is missing or unreadable");
      continue;
    }
    if (size != listed->size) {
      problems->push_back(name + " holds " + std::to_string(size) + " bytes, " + m +
                          " says " + std::to_string(listed->size));
    } else if (hash != listed->hash) {
      problems->push_back(name + " differs from " + m + " (content hash " +
                          ContentHashHex(hash) + ", listed " +
                          ContentHashHex(listed->hash) + ")");
    }
  }
  if (!complete) return;
  for (const ManifestFile& file : manifest.files) {
    if (fetched.count(CaseFoldKeyUtf8(file.name)) != 0) continue;
    // A tree manifest is fetched only when it is there, so one gone is
    // not fetched any more; what matters is that it went.
    int32_t version = 0;
    if (ParseTreeManifestFileName(file.name, &version) &&
        !env->FileExists(Join(release_dir, file.name))) {
      problems->push_back(file.name + ", listed in " + m + ", is missing");
    } else {
      problems->push_back(m + " lists " + file.name + ", which clients do not fetch");
    }
  }
}

}  // namespace dizedir::publish
