#include "tools/publish/release_verifier.h"

#include <algorithm>
#include <array>
#include <filesystem>
#include <map>
#include <memory>
#include <unordered_map>

#include "codec/zip.h"
#include "lists/content_store.h"
#include "lists/list_text.h"
#include "lists/split_archive.h"
#include "lists/version_lists.h"
#include "pack/pack.h"
#include "platform/text.h"
#include "tools/publish/release_builder.h"
#include "tools/publish/release_signing.h"
#include "tools/publish/tree_publisher.h"

namespace dizedir::publish {
namespace {

bool EndsWith(std::string_view s, std::string_view tail) {
  return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}

bool HasUpperCase(std::string_view s) {
  return std::any_of(s.begin(), s.end(), [](char c) { return c >= 'A' && c <= 'Z'; });
}

Status Concatenate(Env* env, const std::vector<std::string>& parts,
                   const std::string& target) {
  std::unique_ptr<WritableFile> out;
  Status s = env->NewWritableFile(target, &out);
  for (size_t i = 0; s.ok() && i < parts.size(); ++i) {
    s = AppendFileContents(env, parts[i], out.get());
  }
  if (s.ok()) s = out->Close();
  return s;
}

// The tree manifests of a release and the store objects they name. Each
// distinct object is checked once, however many paths and versions share
// it; a fault is reported once, with the first few paths that need it.
class TreeChecker {
 public:
  TreeChecker(Env* env, std::string dir, VerifyReport* report)
      : env_(env), dir_(std::move(dir)), report_(report) {}

  // The tree manifest `name` of `version`, which the published lists say
  // belongs to `line`; `live` when a client can be at that version.
  void Check(const std::string& name, int32_t version, const std::string& line, bool live) {
    ++report_->tree_manifests;
    if (!live) {
      Problem(name + " is for version " + std::to_string(version) +
              ", which no client can be at (withdrawn, or never published); delete it");
      return;
    }
    std::string text;
    TreeManifest m;
    Status s = ReadFileToString(env_, dir_ + "/" + name, &text, kMaxTreeManifestBytes);
    if (s.ok()) s = ParseTreeManifest(text, &m);
    if (!s.ok()) {
      Problem(name + " cannot be used: " + s.message());
      return;
    }
    text = std::string();
    if (m.line != line) {
      Problem(name + " is for release line " + m.line + ", " + kPublishedListName +
              " publishes " + line);
    }
    if (m.version != version) {
      Problem(name + " holds version " + std::to_string(m.version) +
              ", but clients at version " + std::to_string(version) + " fetch it");
    }
    for (const TreeFile& f : m.files) {
      CheckObject(f.hash, f.size, f.object_size, [&] { return name + " " + f.path; });
    }
    for (const TreePack& p : m.packs) {
      for (const TreePackEntry& e : p.entries) {
        CheckObject(e.hash, e.stored_size, e.object_size, [&] {
          return name + " " + p.path + " entry " + std::to_string(e.id);
        });
      }
    }
  }

  // The faults found, one line each.
  void Report() {
    for (const Fault& f : faults_) {
      std::string text = f.text + "; needed by ";
      for (size_t i = 0; i < f.users.size(); ++i) text += (i == 0 ? "" : ", ") + f.users[i];
      if (f.more > 0) text += " and " + std::to_string(f.more) + " more";
      Problem(std::move(text));
    }
    if (unlisted_ > 0) {
      Problem(std::to_string(unlisted_) + " more faults of store objects, not listed one by one");
    }
  }

 private:
  // The few paths a fault names, and the objects listed one by one: enough
  // to find the cause, and bounded when the whole store is gone.
  static constexpr size_t kUsersShown = 3;
  static constexpr size_t kFaultsListed = 50;
  static constexpr int kNoFault = -1;
  static constexpr int kUnlisted = -2;

  struct Key {
    ContentHash hash;
    uint64_t content_size;
    bool operator==(const Key&) const = default;
  };
  struct KeyHash {
    size_t operator()(const Key& k) const {
      size_t h = 0;
      for (size_t i = 0; i < sizeof h; ++i) h = (h << 8) | k.hash[i];
      return h ^ static_cast<size_t>(k.content_size);
    }
  };
  struct Object {
    uint64_t size = 0;  // as stored; 0 when missing
    int fault = kNoFault;
  };
  struct Fault {
    std::string text;
    std::vector<std::string> users;
    uint64_t more = 0;
  };

  void Problem(std::string text) { report_->problems.push_back(std::move(text)); }

  int NewFault(std::string text) {
    if (faults_.size() == kFaultsListed) {
      ++unlisted_;
      return kUnlisted;
    }
    faults_.push_back({std::move(text), {}, 0});
    return static_cast<int>(faults_.size() - 1);
  }

  template <typename User>
  void AddUser(int fault, const User& user) {
    if (fault < 0) return;
    Fault& f = faults_[static_cast<size_t>(fault)];
    if (f.users.size() < kUsersShown) {
      f.users.push_back(user());
    } else {
      ++f.more;
    }
  }

  template <typename User>
  void CheckObject(const ContentHash& hash, uint64_t content_size, uint64_t object_size,
                   const User& user) {
    auto [it, fresh] = objects_.try_emplace(Key{hash, content_size});
    Object& o = it->second;
    if (fresh) {
      const std::string shown = StoreObjectUrlPath(hash);
      ++report_->objects_checked;
      const std::string path = dir_ + "/" + shown;
      if (!env_->GetFileSize(path, &o.size).ok()) {
        o.size = 0;
        o.fault = NewFault(shown + " is missing");
      } else {
        const Status s = CheckStoreObject(env_, path, hash, content_size);
        if (!s.ok()) {
          // The decoder names the object by the path it was given.
          std::string why = s.message();
          const std::string named = "store object " + path + " ";
          if (why.starts_with(named)) why = why.substr(named.size());
          o.fault = NewFault(shown + " " + why);
        }
      }
    }
    if (o.fault != kNoFault) {
      AddUser(o.fault, user);
      return;
    }
    if (object_size != o.size) {
      // Clients fetch the object with that size as its bound and refuse it.
      const std::string text = StoreObjectUrlPath(hash) + " holds " + std::to_string(o.size) +
                               " bytes, the tree manifest says " + std::to_string(object_size);
      auto [fault, added] = size_faults_.try_emplace(text, kUnlisted);
      if (added) fault->second = NewFault(text);
      AddUser(fault->second, user);
    }
  }

  Env* const env_;
  const std::string dir_;
  VerifyReport* const report_;
  std::unordered_map<Key, Object, KeyHash> objects_;
  std::map<std::string, int> size_faults_;
  std::vector<Fault> faults_;
  uint64_t unlisted_ = 0;
};

class Verifier {
 public:
  Verifier(Env* env, std::string dir, std::string scratch, VerifyReport* report)
      : env_(env), dir_(std::move(dir)), scratch_(std::move(scratch)),
        report_(report) {}

  void Run() {
    CheckDownloadAddress();
    if (!ReadLists()) return;
    CheckAgreement();
    for (const PatchRecord& p : patches_) {
      if (p.state == 1 || p.state == 2) CheckPatch(p);
    }
    CheckTrees();
  }

 private:
  void Problem(std::string text) { report_->problems.push_back(std::move(text)); }
  std::string Path(std::string_view name) const { return dir_ + "/" + std::string(name); }

  void CheckDownloadAddress() {
    uint64_t size = 0;
    if (!env_->GetFileSize(Path(kDownloadAddressName), &size).ok() || size == 0) {
      Problem(std::string(kDownloadAddressName) +
              " is missing or empty; clients stop at it");
    }
  }

  bool ReadLists() {
    std::string data;
    size_t line = 0;
    if (!ReadFileToString(env_, Path(kPublishedListName), &data, kMaxListFileBytes).ok()) {
      Problem(std::string(kPublishedListName) + " cannot be read");
      return false;
    }
    if (!DecodeRemoteVersions(data, &versions_, &line)) {
      Problem(std::string(kPublishedListName) + ": line " + std::to_string(line) +
              " does not parse");
      return false;
    }
    if (!ReadFileToString(env_, Path(kPatchListName), &data, kMaxListFileBytes).ok()) {
      Problem(std::string(kPatchListName) + " cannot be read");
      return false;
    }
    if (!DecodePatches(data, &patches_, &line)) {
      Problem(std::string(kPatchListName) + ": line " + std::to_string(line) +
              " does not parse");
      return false;
    }
    if (versions_.empty()) {
      Problem(std::string(kPublishedListName) +
              " lists no version; no client passes the identity check");
      return false;
    }
    return true;
  }

  void CheckAgreement() {
    const std::string& guid = versions_.front().guid;
    std::map<int32_t, int32_t> published;  // number -> state
    for (const VersionRecord& v : versions_) {
      if (v.guid != guid) Problem("version " + std::to_string(v.number) + " has another GUID");
      if (v.state != 1 && v.state != 2) {
        Problem("version " + std::to_string(v.number) + " is published in state " +
                std::to_string(v.state) + ", which clients take for an inconsistency");
      }
      if (!published.emplace(v.number, v.state).second) {
        Problem("version " + std::to_string(v.number) + " is published twice");
      }
    }
    const int32_t head = versions_.front().number;
    std::map<int32_t, int32_t> live;
    for (const PatchRecord& p : patches_) {
      const std::string what = "patch " + std::to_string(p.number);
      if (p.guid != guid) Problem(what + " has another GUID than the published list");
      if (p.state < 0 || p.state > 2) Problem(what + " is in state " + std::to_string(p.state));
      if (p.state == 1 || p.state == 2) {
        if (!live.emplace(p.number, p.state).second) Problem(what + " is listed twice");
        auto it = published.find(p.number);
        if (p.number > head && (it == published.end() || it->second != p.state)) {
          Problem(what + " is live but not published in its state");
        }
      }
    }
    for (size_t i = 1; i < versions_.size(); ++i) {
      auto it = live.find(versions_[i].number);
      if (it == live.end() || it->second != versions_[i].state) {
        Problem("version " + std::to_string(versions_[i].number) +
                " is published without a live patch in that state");
      }
    }
  }

  void CheckPatch(const PatchRecord& p) {
    const std::string what = "patch " + std::to_string(p.number);
    const bool single = p.archive.find(".zip") != std::string::npos;
    if (p.parts.empty() || (single && p.parts.size() != 1) ||
        (!single && p.parts.size() < 2)) {
      Problem(what + ": " + std::to_string(p.parts.size()) + " parts for archive " +
              p.archive + " (one zip, or two or more parts)");
      return;
    }
    std::vector<std::string> files;
    bool parts_ok = true;
    for (const PartEntry& part : p.parts) {
      ++report_->parts_checked;
      const std::string file = PartFileName(part.name);
      files.push_back(Path(file));
      if (HasUpperCase(file)) {
        Problem(what + ": " + file + " has upper-case letters; clients ask for it in lower case");
      }
      uint64_t size = 0;
      if (!env_->GetFileSize(Path(file), &size).ok()) {
        Problem(what + ": " + file + " is missing");
        parts_ok = false;
        continue;
      }
      if (size == 0) {
        Problem(what + ": " + file + " is empty; clients refuse a part of size 0");
        parts_ok = false;
      }
      PartEntry copy = part;
      DigestPart(env_, dir_ + "/", &copy);
      if (copy.digest != part.digest) {
        Problem(what + ": " + file + " has digest " + copy.digest + ", published " +
                part.digest);
        parts_ok = false;
      }
    }
    if (parts_ok) Unpack(p, what, single ? files.front() : "", files);
  }

  // Every tree manifest the directory holds, in version order, whether
  // clients fetch it or not: one left behind is as much a fault.
  void CheckTrees() {
    std::vector<std::string> names;
    if (!env_->GetChildren(dir_, &names).ok()) return;  // the lists were read from it
    std::map<int32_t, std::string> trees;
    for (const std::string& name : names) {
      int32_t version = 0;
      if (ParseTreeManifestFileName(name, &version)) trees.emplace(version, name);
    }
    const std::vector<int32_t> live = TreeManifestVersions(versions_, patches_);
    TreeChecker checker(env_, dir_, report_);
    for (const auto& [version, name] : trees) {
      checker.Check(name, version, versions_.front().guid,
                    std::binary_search(live.begin(), live.end(), version));
    }
    checker.Report();
  }

  void Unpack(const PatchRecord& p, const std::string& what, std::string zip_path,
              const std::vector<std::string>& parts) {
    const std::string base = scratch_ + "/patch" + std::to_string(p.number);
    if (!env_->CreateDirectories(base + "/tree").ok()) {
      Problem(what + ": no scratch space to unpack it");
      return;
    }
    if (zip_path.empty()) {
      zip_path = base + "/joined.zip";
      if (!Concatenate(env_, parts, zip_path).ok()) {
        Problem(what + ": the parts do not join");
        return;
      }
    }
    ZipArchive* zip = ZipOpenFile(env_, NarrowToUtf16(zip_path), nullptr);
    if (zip == nullptr) {
      Problem(what + ": not a zip archive");
      return;
    }
    ZipSetBaseDir(zip, NarrowToUtf16(base + "/tree/"));
    ZipItem count;
    ZipGetItem(zip, -1, &count);
    if (count.index == 0) Problem(what + ": the archive holds no items; clients fail on it");
    for (int i = 0; i < count.index; ++i) {
      ZipItem item;
      if (ZipGetItem(zip, i, &item) != ZipResult::kOk ||
          ZipUnzipItem(zip, i, item.name) != ZipResult::kOk) {
        Problem(what + ": item " + std::to_string(i) + " (" + Utf16ToUtf8(item.name) +
                ") does not unpack");
        continue;
      }
      ++report_->items_unpacked;
      const std::string name = Utf16ToNarrow(item.name);
      if (EndsWith(name, "pac")) {
        PackArchive* pack = PackOpenReadOnly(env_, base + "/tree/" + name);
        if (pack == nullptr) Problem(what + ": " + name + " is not a readable pack");
        PackClose(pack);
      }
    }
    ZipClose(zip);
    ++report_->patches_unpacked;
  }

  Env* const env_;
  const std::string dir_;
  const std::string scratch_;
  VerifyReport* const report_;
  std::vector<VersionRecord> versions_;
  std::vector<PatchRecord> patches_;
};

void CheckManifest(Env* env, const std::string& dir, const VerifyOptions& options,
                   VerifyReport* report) {
  const std::string name = kReleaseManifestName;
  ReleaseManifest manifest;
  bool exists = false;
  const Status s = ReadManifest(env, dir, &manifest, &exists);
  if (!s.ok()) {
    report->problems.push_back(s.message());
    return;
  }
  if (!exists) {
    if (options.public_key != nullptr) {
      report->problems.push_back(name + " is missing; clients that trust a key refuse "
                                 "the release (dizedir-publish sign RELEASE_DIR)");
    }
    return;
  }
  report->manifest_read = true;
  report->manifest_sequence = manifest.sequence;
  report->manifest_expires = manifest.expires;
  report->manifest_files = manifest.files.size();
  if (options.public_key != nullptr) {
    const Status signature = CheckManifestSignature(env, dir, *options.public_key);
    if (signature.ok()) {
      report->signature_good = true;
    } else {
      report->problems.push_back(signature.message());
    }
    if (manifest.expires <= options.now) {
      report->problems.push_back(name + " expired at " + FormatUtcTime(manifest.expires) +
                                 "; clients refuse it (dizedir-publish sign --refresh)");
    }
  }
  CompareManifest(env, dir, manifest, &report->problems);
}

}  // namespace

Status VerifyRelease(Env* env, const std::string& release_dir,
                     const VerifyOptions& options, VerifyReport* report) {
  *report = VerifyReport();
  std::array<uint8_t, 16> guid{};
  Status s = env->NewGuid(&guid);
  if (!s.ok()) return s;
  std::string tag;
  for (uint8_t b : guid) tag += "0123456789abcdef"[b & 15];
  std::error_code error;
  const std::filesystem::path scratch =
      std::filesystem::temp_directory_path(error) / ("dizedir-verify-" + tag);
  if (error) return Status::IOError("no temporary directory: " + error.message());
  Verifier(env, release_dir, scratch.string(), report).Run();
  std::filesystem::remove_all(scratch, error);
  CheckManifest(env, release_dir, options, report);
  return Status::OK();
}

Status VerifyRelease(Env* env, const std::string& release_dir,
                     VerifyReport* report) {
  return VerifyRelease(env, release_dir, VerifyOptions(), report);
}

}  // namespace dizedir::publish
