#include "tools/publish/tree_publisher.h"

#include <algorithm>
#include <limits>
#include <memory>

#include "lists/content_store.h"
#include "lists/manifest_lines.h"
#include "pack/pack.h"

namespace dizedir::publish {
namespace {

std::string Join(const std::string& dir, std::string_view name) {
  if (dir.empty()) return std::string(name);
  const char last = dir.back();
  return last == '/' || last == '\\' ? dir + std::string(name)
                                     : dir + "/" + std::string(name);
}

struct PackDiscarder {
  void operator()(PackArchive* archive) const { PackDiscard(archive); }
};

// Fills *object_size from the store. Whether the object must be written:
// it is missing, or no writer made an object of its size from that content.
bool NeedsObject(Env* env, const std::string& object_path, uint64_t content_size,
                 uint64_t* object_size) {
  uint64_t size = 0;
  if (!env->GetFileSize(object_path, &size).ok()) return true;
  if (size == 0 || size - 1 > content_size) return true;
  *object_size = size;
  return false;
}

// Records a new object's size; it was just written, so a failure to stat it
// is the Env's to report.
Status Stored(Env* env, const std::string& object_path, uint64_t* object_size,
              StoredObjects* stored) {
  const Status s = env->GetFileSize(object_path, object_size);
  if (!s.ok()) return s;
  ++stored->new_objects;
  stored->new_bytes += *object_size;
  return Status::OK();
}

Status StoreFile(Env* env, const std::string& release_dir, const std::string& tree_dir,
                 TreeFile* file, StoredObjects* stored) {
  const std::string object = Join(release_dir, StoreObjectName(file->hash));
  if (!NeedsObject(env, object, file->size, &file->object_size)) return Status::OK();
  const Status s = WriteStoreObject(env, Join(tree_dir, file->path), object, file->hash,
                                    file->size);
  if (s.IsCorruption() || s.IsNotFound()) {
    return Status::Corruption(file->path + " changed since the tree was scanned");
  }
  if (!s.ok()) return s;
  return Stored(env, object, &file->object_size, stored);
}

Status StorePack(Env* env, const std::string& release_dir, const std::string& tree_dir,
                 TreePack* pack, StoredObjects* stored) {
  std::unique_ptr<PackArchive, PackDiscarder> archive;
  for (TreePackEntry& entry : pack->entries) {
    const std::string object = Join(release_dir, StoreObjectName(entry.hash));
    if (!NeedsObject(env, object, entry.stored_size, &entry.object_size)) continue;
    // Opened only for a pack with something new: an unchanged pack costs
    // one stat per entry.
    if (archive == nullptr) {
      archive.reset(PackOpenReadOnly(env, Join(tree_dir, pack->path)));
      if (archive == nullptr) {
        return Status::Corruption(pack->path + " cannot be read as a pack any more");
      }
    }
    StoreObjectWriter writer(env, object);
    Status written;
    Status s = PackStreamStored(entry.id, archive.get(), [&](std::string_view piece) {
      written = writer.Append(piece);
      return written.ok();
    });
    if (!written.ok()) s = written;  // the stream stopped for the writer
    if (s.ok()) s = writer.Finish(entry.hash, entry.stored_size);
    if (s.IsCorruption() || s.IsNotFound()) {
      return Status::Corruption(pack->path + " entry " + std::to_string(entry.id) +
                                " changed since the tree was scanned");
    }
    if (!s.ok()) return s;
    s = Stored(env, object, &entry.object_size, stored);
    if (!s.ok()) return s;
  }
  return Status::OK();
}

}  // namespace

Status ScanReleaseTree(Env* env, const std::string& tree_dir, TreeManifest* manifest) {
  return ScanClientTree(
      env, tree_dir, [](std::string_view path) { return !IsClientStateName(path); }, manifest);
}

Status StoreTreeObjects(Env* env, const std::string& release_dir, const std::string& tree_dir,
                        TreeManifest* manifest, StoredObjects* stored) {
  *stored = StoredObjects();
  for (TreeFile& file : manifest->files) {
    const Status s = StoreFile(env, release_dir, tree_dir, &file, stored);
    if (!s.ok()) return s;
  }
  for (TreePack& pack : manifest->packs) {
    const Status s = StorePack(env, release_dir, tree_dir, &pack, stored);
    if (!s.ok()) return s;
  }
  return Status::OK();
}

Status WriteTreeManifest(Env* env, const std::string& release_dir,
                         const TreeManifest& manifest) {
  const std::string text = FormatTreeManifest(manifest);
  TreeManifest check;
  const Status s = ParseTreeManifest(text, &check);
  if (!s.ok()) {
    return Status::InvalidArgument("not writing a tree manifest clients refuse: " +
                                   s.message());
  }
  return WriteFileAtomically(env, Join(release_dir, TreeManifestFileName(manifest.version)),
                             text);
}

bool ParseTreeManifestFileName(std::string_view name, int32_t* version) {
  constexpr std::string_view kPrefix = "tree";
  constexpr std::string_view kSuffix = ".manifest";
  if (name.size() <= kPrefix.size() + kSuffix.size() || !name.starts_with(kPrefix) ||
      !name.ends_with(kSuffix)) {
    return false;
  }
  const std::string_view digits =
      name.substr(kPrefix.size(), name.size() - kPrefix.size() - kSuffix.size());
  uint64_t value = 0;
  // One spelling per version, the one clients ask for: no sign, no
  // leading zero.
  if (!ParseCanonicalDecimal(digits, std::numeric_limits<int32_t>::max(), &value) ||
      value == 0) {
    return false;
  }
  *version = static_cast<int32_t>(value);
  return true;
}

std::vector<int32_t> TreeManifestVersions(const std::vector<VersionRecord>& published,
                                          const std::vector<PatchRecord>& patches) {
  std::vector<int32_t> versions;
  if (!patches.empty()) {
    // Numbers are never reused, so the first patch, withdrawn or not, came
    // right after the base.
    int32_t first = patches.front().number;
    for (const PatchRecord& p : patches) first = std::min(first, p.number);
    versions.push_back(first - 1);
  } else if (!published.empty()) {
    versions.push_back(published.front().number);
  }
  for (const PatchRecord& p : patches) {
    if (p.state == 1 || p.state == 2) versions.push_back(p.number);
  }
  std::sort(versions.begin(), versions.end());
  versions.erase(std::unique(versions.begin(), versions.end()), versions.end());
  versions.erase(versions.begin(),
                 std::find_if(versions.begin(), versions.end(), [](int32_t v) { return v >= 1; }));
  return versions;
}

}  // namespace dizedir::publish
