#include "engine/item_handlers.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "pack/pack.h"

namespace dizedir {
namespace {

// A control list is a few names and numbers; anything far larger is not one
// and is refused rather than read whole into memory.
constexpr uint64_t kMaxListBytes = uint64_t{64} << 20;

constexpr const char* kDeleteListName = "del.txt";
constexpr const char* kMoveListName = "Move.txt";

bool Stopped(const std::atomic<bool>* stop) {
  return stop != nullptr && stop->load(std::memory_order_relaxed);
}

Status StoppedStatus() { return Status::Aborted("stopped"); }

std::string PackPath(const std::string& client_dir, const std::string& pack) {
  return client_dir + kPackDirectory + pack + ".pac";
}

// One entry's contents as the pack format hands them out.
struct Entry {
  std::vector<char> contents;  // never empty, so its data() is never null
  uint32_t size = 0;
  int compressed = 0;
};

bool ReadEntry(PackArchive* archive, uint32_t id, Entry* entry) {
  if (PackRead(nullptr, &entry->size, id, archive) == 0) return false;
  entry->contents.assign(std::max<uint32_t>(entry->size, 1), '\0');
  return PackRead(entry->contents.data(), &entry->size, id, archive) != 0 &&
         PackIsCompressed(id, archive, &entry->compressed) != 0;
}

bool SameEntry(const Entry& a, const Entry& b) {
  return (a.compressed != 0) == (b.compressed != 0) && a.size == b.size &&
         std::equal(a.contents.begin(), a.contents.begin() + a.size,
                    b.contents.begin());
}

Status DamagedPack(const std::string& path) {
  return Status::Corruption("damaged pack " + path);
}

// Saves and releases an archive opened for update. A pack may live in a
// directory the client does not have yet; making it first is harmless when
// it exists. The save is atomic, so a failure leaves the old file whole.
Status SaveAndClose(Env* env, PackArchive* archive, const std::string& path) {
  const std::string::size_type slash = path.find_last_of("\\/");
  if (slash != std::string::npos) {
    Status s = env->CreateDirectories(path.substr(0, slash + 1));
    if (!s.ok()) {
      PackDiscard(archive);
      return s;
    }
  }
  if (PackClose(archive) == 0) {
    return Status::IOError("cannot write pack " + path);
  }
  return Status::OK();
}

// Deletes a file if it is there; absent is as good as deleted, which is what
// makes every deletion safe to repeat.
Status DeleteIfPresent(Env* env, const std::string& path) {
  if (!env->FileExists(path)) return Status::OK();
  Status s = env->DeleteFile(path);
  if (!s.ok() && env->FileExists(path)) return s;
  return Status::OK();
}

// Reads a control list; *present is false when there is none, which is
// nothing to do.
Status ReadList(Env* env, const std::string& path, std::string* text,
                bool* present) {
  *present = env->FileExists(path) && !env->IsDirectory(path);
  if (!*present) return Status::OK();
  return ReadFileToString(env, path, text, kMaxListBytes);
}

bool EqualIgnoringCase(const std::string& a, const std::string& b) {
  auto fold = [](char c) {
    if (c == '/') return '\\';
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  };
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(),
                    [&](char x, char y) { return fold(x) == fold(y); });
}

// Two spellings of one file (case, separators) name the same pack on every
// client; moving an entry onto its own pack must not save the pack twice.
bool SamePack(Env* env, const std::string& a, const std::string& b) {
  return EqualIgnoringCase(a, b) || env->NativePath(a) == env->NativePath(b);
}

// Moves one entry, target first. A run killed between the two saves leaves
// the entry in both packs; the rerun finds the same entry in the target,
// counts the move as done and only removes it from the source. An entry of
// that id which differs in the target belongs there, and nothing moves.
Status MoveEntry(Env* env, const std::string& client_dir, uint32_t id,
                 const std::string& source_name,
                 const std::string& target_name) {
  const std::string source_path = PackPath(client_dir, source_name);
  const std::string target_path = PackPath(client_dir, target_name);
  if (SamePack(env, source_path, target_path)) return Status::OK();

  Entry entry;
  {
    PackArchive* source = PackOpenReadOnly(env, source_path);
    if (source == nullptr) {
      return env->FileExists(source_path) ? DamagedPack(source_path)
                                          : Status::OK();
    }
    PackEntryInfo info;
    if (PackGetEntryInfo(id, source, &info) == 0) {
      PackClose(source);
      return Status::OK();
    }
    const bool read = ReadEntry(source, id, &entry);
    PackClose(source);
    if (!read) return DamagedPack(source_path);
  }

  PackArchive* target = PackOpenReadOnly(env, target_path);
  if (target == nullptr && env->FileExists(target_path)) {
    return DamagedPack(target_path);
  }
  PackEntryInfo info;
  if (target != nullptr && PackGetEntryInfo(id, target, &info) != 0) {
    // Contents and flag decide, not the stored bytes alone: the first run
    // stored the entry again through the compressor, which need not repeat
    // the source's block byte for byte.
    Entry held;
    const bool read = ReadEntry(target, id, &held);
    PackClose(target);
    if (!read) return DamagedPack(target_path);
    if (!SameEntry(entry, held)) return Status::OK();
  } else {
    PackClose(target);
    target = PackOpenForUpdate(env, target_path);
    if (target == nullptr) return DamagedPack(target_path);
    if (PackAdd(id, entry.contents.data(), entry.size, target,
                entry.compressed, nullptr) == 0) {
      PackDiscard(target);
      return Status::IOError("cannot store moved entry in " + target_path);
    }
    Status s = SaveAndClose(env, target, target_path);
    if (!s.ok()) return s;
  }

  PackArchive* source = PackOpenForUpdate(env, source_path);
  if (source == nullptr) return DamagedPack(source_path);
  PackRemove(id, source);
  return SaveAndClose(env, source, source_path);
}

}  // namespace

Status MergePack(Env* env, const std::string& client_dir,
                 const std::string& item_name, const std::atomic<bool>* stop) {
  if (item_name.empty() || !NameStaysInside(item_name)) return Status::OK();
  return MergePack(env, client_dir, item_name, kPackDirectory + item_name, stop);
}

Status MergePack(Env* env, const std::string& client_dir, const std::string& source_name,
                 const std::string& target_name, const std::atomic<bool>* stop) {
  if (Stopped(stop)) return StoppedStatus();
  const std::string source_path = client_dir + source_name;
  const std::string target_path = client_dir + target_name;

  PackArchive* source = PackOpenReadOnly(env, source_path);
  if (source == nullptr) {
    // Nothing unpacked is nothing to merge (a run that finished this item
    // has already deleted it); something unreadable is a broken patch.
    return env->FileExists(source_path) ? DamagedPack(source_path)
                                        : Status::OK();
  }
  PackArchive* target = PackOpenForUpdate(env, target_path);
  if (target == nullptr) {
    PackClose(source);
    return DamagedPack(target_path);
  }

  // Entries go over one at a time, replacing by id, so repeating the whole
  // merge gives the same pack; nothing reaches the file until the save.
  const uint32_t count = PackGetCount(source);
  Entry entry;
  for (uint32_t k = 0; k < count; ++k) {
    Status failure;
    if (Stopped(stop)) {
      failure = StoppedStatus();
    } else {
      const uint32_t id = PackGetIdAt(k, source);
      if (!ReadEntry(source, id, &entry)) {
        failure = DamagedPack(source_path);
      } else if (PackAdd(id, entry.contents.data(), entry.size, target,
                         entry.compressed, nullptr) == 0 &&
                 (PackRemove(id, target) == 0 ||
                  PackAdd(id, entry.contents.data(), entry.size, target,
                          entry.compressed, nullptr) == 0)) {
        failure = Status::IOError("cannot store merged entry in " + target_path);
      }
    }
    if (!failure.ok()) {
      PackDiscard(target);
      PackClose(source);
      return failure;
    }
  }
  PackClose(source);
  Status s = SaveAndClose(env, target, target_path);
  // A failed save keeps the unpacked copy, so nothing of the patch is lost
  // until the merge has really been written.
  if (!s.ok()) return s;
  return DeleteIfPresent(env, source_path);
}

Status RunDeleteList(Env* env, const std::string& client_dir,
                     const std::atomic<bool>* stop) {
  const std::string list_path = client_dir + kDeleteListName;
  std::string text;
  bool present = false;
  Status s = ReadList(env, list_path, &text, &present);
  if (!s.ok() || !present) return s;
  const DeleteList list = ParseDeleteList(text);

  // Removing an absent id and deleting an absent file change nothing, so a
  // rerun of a list that was cut short simply finishes it. The list goes
  // last, once everything it names has been done.
  for (const auto& [pack, ids] : list.packs) {
    if (Stopped(stop)) return StoppedStatus();
    if (!NameStaysInside(pack)) continue;
    const std::string path = PackPath(client_dir, pack);
    const bool existed = env->FileExists(path);
    PackArchive* archive = PackOpenForUpdate(env, path);
    if (archive == nullptr) return DamagedPack(path);
    bool changed = false;
    for (uint32_t id : ids) changed |= PackRemove(id, archive) != 0;
    if (existed && !changed) {
      // Same contents as the file already holds; rewriting it would only
      // cost the time of copying the pack.
      PackDiscard(archive);
      continue;
    }
    s = SaveAndClose(env, archive, path);
    if (!s.ok()) return s;
  }
  for (const std::string& file : list.files) {
    if (Stopped(stop)) return StoppedStatus();
    if (file.empty() || !NameStaysInside(file)) continue;
    const std::string path = client_dir + file;
    if (env->IsDirectory(path)) continue;
    s = DeleteIfPresent(env, path);
    if (!s.ok()) return s;
  }
  return DeleteIfPresent(env, list_path);
}

Status RunMoveList(Env* env, const std::string& client_dir,
                   const std::atomic<bool>* stop) {
  const std::string list_path = client_dir + kMoveListName;
  std::string text;
  bool present = false;
  Status s = ReadList(env, list_path, &text, &present);
  if (!s.ok() || !present) return s;

  // Each move is complete on its own (see MoveEntry), so a stop or a crash
  // between moves leaves a list that the rerun carries out from the start
  // with the same result.
  for (const auto& [id, packs] : ParseMoveList(text)) {
    if (Stopped(stop)) return StoppedStatus();
    const auto& [source, target] = packs;
    if (!NameStaysInside(source) || !NameStaysInside(target)) continue;
    s = MoveEntry(env, client_dir, id, source, target);
    if (!s.ok()) return s;
  }
  return DeleteIfPresent(env, list_path);
}

}  // namespace dizedir
