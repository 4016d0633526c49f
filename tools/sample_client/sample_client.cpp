#include "tools/sample_client/sample_client.h"

#include <filesystem>
#include <memory>
#include <random>
#include <string_view>

#include "pack/pack.h"
#include "platform/env.h"

namespace dizedir {
namespace {

constexpr int kTiles = 300;
constexpr int kZones = 12;
constexpr size_t kKiB = 1024;

std::string TilePath(const std::string& root, int tile) {
  return root + "/data/zone" + std::to_string(tile % kZones) + "/tile" + std::to_string(tile) +
         ".dat";
}

std::string DirectoryOf(const std::string& path) {
  return path.substr(0, path.find_last_of('/'));
}

// Draws the bytes and writes the files of the versions. Nothing is synced:
// the trees are scratch for a demonstration, rewritten whole when a run
// is cut short.
class Writer {
 public:
  Writer(Env* env, uint64_t seed) : env_(env), random_(seed) {}

  Status RandomFile(const std::string& path, size_t bytes) {
    return TextFile(path, RandomBytes(bytes));
  }

  Status TextFile(const std::string& path, std::string_view data) {
    Status s = env_->CreateDirectories(DirectoryOf(path));
    std::unique_ptr<WritableFile> file;
    if (s.ok()) s = env_->NewWritableFile(path, &file);
    if (s.ok()) s = file->Append(data);
    if (s.ok()) s = file->Close();
    return s;
  }

  // Adds (or replaces) entries `first` to `last` of the pack at `path`.
  Status RandomEntries(const std::string& path, uint32_t first, uint32_t last) {
    return EditPack(path, [&](PackArchive* pack) {
      for (uint32_t id = first; id <= last; ++id) {
        if (!Put(pack, id, 100 + id * 53 % 3000)) return false;
      }
      return true;
    });
  }

  // Opens the pack at `path` for update (a missing one is made), runs
  // `edit` on it and saves it.
  template <typename Edit>
  Status EditPack(const std::string& path, Edit edit) {
    Status s = env_->CreateDirectories(DirectoryOf(path));
    if (!s.ok()) return s;
    PackArchive* pack = PackOpenForUpdate(env_, path);
    if (pack == nullptr) return Status::Corruption(path + ": cannot open or damaged");
    if (!edit(pack)) {
      PackDiscard(pack);
      return Status::IOError(path + ": cannot add or remove an entry");
    }
    s = PackSaveWithStatus(pack);
    PackDiscard(pack);
    return s;
  }

  // Entry `id` of `bytes` random bytes, compressed as the pack tool adds
  // entries.
  bool Put(PackArchive* pack, uint32_t id, size_t bytes) {
    const std::string data = RandomBytes(bytes);
    PackRemove(id, pack);
    return PackAdd(id, data.data(), static_cast<uint32_t>(data.size()), pack, 1, nullptr) == 1;
  }

  Env* env() const { return env_; }

 private:
  std::string RandomBytes(size_t n) {
    std::string bytes(n, '\0');
    for (size_t i = 0; i < n; i += 8) {
      uint64_t word = random_();
      for (size_t k = i; k < n && k < i + 8; ++k, word >>= 8) {
        bytes[k] = static_cast<char>(word & 0xff);
      }
    }
    return bytes;
  }

  Env* const env_;
  std::mt19937_64 random_;
};

// Each later version starts as a copy of the one before.
Status CopyTree(const std::string& from, const std::string& to) {
  std::error_code error;
  std::filesystem::copy(from, to, std::filesystem::copy_options::recursive, error);
  return error ? Status::IOError(from + " -> " + to + ": " + error.message()) : Status::OK();
}

Status Version1(Writer* w, const std::string& v1) {
  Status s = w->TextFile(v1 + "/game.cfg", "version=1\n");
  if (s.ok()) s = w->TextFile(v1 + "/bin/readme.txt", "Welcome to the game.\n");
  for (int i = 0; s.ok() && i < kTiles; ++i) {
    s = w->RandomFile(TilePath(v1, i), (8 + i % 64) * kKiB);
  }
  if (s.ok()) s = w->RandomEntries(v1 + "/qmz/fodder/items.pac", 1, 2000);
  if (s.ok()) s = w->RandomEntries(v1 + "/qmz/fodder/maps.pac", 5000, 6000);
  return s;
}

Status Version2(Writer* w, const std::string& v2) {
  Status s = w->TextFile(v2 + "/game.cfg", "version=2\n");
  if (s.ok()) s = w->RandomFile(v2 + "/sounds/theme.ogg", 1024 * kKiB);
  for (int tile : {3, 17, 250}) {
    if (s.ok()) s = w->RandomFile(TilePath(v2, tile), 40 * kKiB);
  }
  const std::string items = v2 + "/qmz/fodder/items.pac";
  const std::string maps = v2 + "/qmz/fodder/maps.pac";
  if (s.ok()) {
    s = w->EditPack(items, [w](PackArchive* pack) {
      bool ok = w->Put(pack, 3, 500);
      for (uint32_t id = 2001; ok && id <= 2050; ++id) ok = w->Put(pack, id, 100 + id * 53 % 3000);
      for (uint32_t id : {5, 6, 7}) ok = ok && PackRemove(id, pack) == 1;
      return ok;
    });
  }
  if (!s.ok()) return s;
  // Entry 5001 moves to the item pack as it is stored, the way a merge
  // carries it; the item pack is saved before the map pack is rewritten
  // without it.
  PackArchive* from = PackOpenReadOnly(w->env(), maps);
  if (from == nullptr) return Status::Corruption(maps + ": cannot open or damaged");
  s = w->EditPack(items, [from](PackArchive* pack) { return PackCopyEntry(5001, from, pack).ok(); });
  PackClose(from);
  if (s.ok()) s = w->EditPack(maps, [](PackArchive* pack) { return PackRemove(5001, pack) == 1; });
  return s;
}

Status Version3(Writer* w, const std::string& v3) {
  Status s = w->TextFile(v3 + "/game.cfg", "version=3\n");
  for (const std::string& gone : {v3 + "/bin/readme.txt", TilePath(v3, 0)}) {
    if (s.ok()) s = w->env()->DeleteFile(gone);
  }
  if (s.ok()) s = w->RandomFile(v3 + "/data/world map.bin", 12288 * kKiB);
  if (s.ok()) s = w->RandomEntries(v3 + "/qmz/fodder/maps.pac", 6001, 6300);
  return s;
}

Status Version4(Writer* w, const std::string& v4) {
  return w->RandomFile(v4 + "/hd/textures.bin", 4096 * kKiB);
}

}  // namespace

Status WriteSampleClient(Env* env, const std::string& dir, uint64_t seed) {
  const std::string v[] = {dir + "/v1", dir + "/v2", dir + "/v3", dir + "/v4"};
  for (const std::string& version : v) {
    if (env->FileExists(version)) return Status::InvalidArgument(version + " already exists");
  }
  Writer writer(env, seed);
  Status s = Version1(&writer, v[0]);
  if (s.ok()) s = CopyTree(v[0], v[1]);
  if (s.ok()) s = Version2(&writer, v[1]);
  if (s.ok()) s = CopyTree(v[1], v[2]);
  if (s.ok()) s = Version3(&writer, v[2]);
  if (s.ok()) s = CopyTree(v[2], v[3]);
  if (s.ok()) s = Version4(&writer, v[3]);
  return s;
}

}  // namespace dizedir
