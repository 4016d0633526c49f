#include "engine/item_handlers.h"

#include <cstdint>

#include "pack/pack.h"
#include "platform/confined_path.h"
#include "platform/text.h"

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

// A pack name from a list, relative to the client directory: what the
// handlers open (after client_dir) and what their texts call it. Texts
// shown to the player are cut at 255 bytes, so they never carry the client
// directory itself.
// A name from a control list goes through the rule every name from outside
// passes; a refusal names the list and the word.
Status CheckListName(const std::string& name, const char* list) {
  std::string confined;
  Status s = ConfineName(name, NameKind::kRelativePath, &confined);
  if (s.ok()) return s;
  return Status::InvalidArgument(std::string(list) + ": " + name + " (" + s.message() + ")");
}

std::string PackName(const std::string& pack) {
  return kPackDirectory + pack + ".pac";
}

Status DamagedPack(const std::string& name, const std::string& detail = "") {
  return Status::Corruption("damaged pack " + name +
                            (detail.empty() ? "" : ": " + detail));
}

// A pack that would not open: damaged when it is there at all.
Status OpenFailure(Env* env, const std::string& path, const std::string& name) {
  return env->FileExists(path) ? DamagedPack(name) : Status::OK();
}

// What a failed PackCopyEntry means for the handler: a damaged block in the
// pack it came from, or a target that cannot take it.
Status CopyFailure(const Status& s, const std::string& source_name,
                   const std::string& target_name) {
  if (s.IsCorruption()) return DamagedPack(source_name, s.message());
  return Status::IOError("cannot store entry in " + target_name + ": " +
                         s.message());
}

// Saves and releases an archive opened for update. A pack may live in a
// directory the client does not have yet; making it first is harmless when
// it exists. The save is atomic, so a failure leaves the old file whole.
Status SaveAndClose(Env* env, PackArchive* archive, const std::string& path,
                    const std::string& name) {
  const std::string::size_type slash = path.find_last_of("\\/");
  if (slash != std::string::npos) {
    Status s = env->CreateDirectories(path.substr(0, slash + 1));
    if (!s.ok()) {
      PackDiscard(archive);
      return s;
    }
  }
  if (PackClose(archive) == 0) {
    return Status::IOError("cannot write pack " + name);
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

// Reads a control list as UTF-8; *present is false when there is none,
// which is nothing to do. Lists made by the Windows tools of the past are in
// the code page of the machine that made them, most often the player's own.
Status ReadList(Env* env, const std::string& path, std::string* text,
                bool* present) {
  *present = env->FileExists(path) && !env->IsDirectory(path);
  if (!*present) return Status::OK();
  std::string bytes;
  Status s = ReadFileToString(env, path, &bytes, kMaxListBytes);
  if (s.ok()) *text = LegacyTextToUtf8(bytes);
  return s;
}

// Moves one entry as its stored block, target first. A run killed between
// the two saves leaves the entry in both packs; the rerun finds the same
// block in the target, counts the move as done and only removes it from the
// source. An entry of that id which differs in the target belongs there, and
// nothing moves.
Status MoveEntry(Env* env, const std::string& client_dir, uint32_t id,
                 const std::string& source_pack,
                 const std::string& target_pack) {
  // Two spellings of one pack: the move would add the entry to the pack
  // that holds it, find it "moved" and remove it.
  if (CanonicalPackName(source_pack) == CanonicalPackName(target_pack)) {
    return Status::OK();
  }
  const std::string source_name = PackName(source_pack);
  const std::string target_name = PackName(target_pack);
  const std::string source_path = client_dir + source_name;
  const std::string target_path = client_dir + target_name;

  PackArchive* source = PackOpenReadOnly(env, source_path);
  if (source == nullptr) return OpenFailure(env, source_path, source_name);
  PackEntryInfo moving;
  if (PackGetEntryInfo(id, source, &moving) == 0) {
    PackClose(source);
    return Status::OK();
  }
  PackArchive* target = PackOpenForUpdate(env, target_path);
  if (target == nullptr) {
    PackClose(source);
    return DamagedPack(target_name);
  }
  PackEntryInfo held;
  if (PackGetEntryInfo(id, target, &held) != 0) {
    PackClose(source);
    const bool same = held.digest == moving.digest && held.size == moving.size &&
                      held.stored_size == moving.stored_size &&
                      (held.compressed != 0) == (moving.compressed != 0);
    // The source's copy goes only when the target's is whole.
    Status s = same ? PackCheckEntry(id, target) : Status::OK();
    PackDiscard(target);
    if (!same) return Status::OK();
    if (s.IsCorruption()) return DamagedPack(target_name, s.message());
    if (!s.ok()) return s;
  } else {
    Status s = PackCopyEntry(id, source, target);
    // The target keeps the source file open for its save.
    PackClose(source);
    if (!s.ok()) {
      PackDiscard(target);
      return CopyFailure(s, source_name, target_name);
    }
    s = SaveAndClose(env, target, target_path, target_name);
    if (!s.ok()) return s;
  }

  source = PackOpenForUpdate(env, source_path);
  if (source == nullptr) return DamagedPack(source_name);
  PackRemove(id, source);
  return SaveAndClose(env, source, source_path, source_name);
}

}  // namespace

Status MergePack(Env* env, const std::string& client_dir,
                 const std::string& source_name,
                 const std::string& target_name,
                 const std::atomic<bool>* stop) {
  if (Stopped(stop)) return StoppedStatus();
  if (CanonicalPackName(source_name) == CanonicalPackName(target_name)) {
    // Merging a pack into itself and then deleting the "unpacked copy"
    // would delete the pack.
    return Status::InvalidArgument("pack merged into itself: " + target_name);
  }
  const std::string source_path = client_dir + source_name;
  const std::string target_path = client_dir + target_name;

  PackArchive* source = PackOpenReadOnly(env, source_path);
  // Nothing unpacked is nothing to merge (a run that finished this item has
  // already deleted it); something unreadable is a broken patch.
  if (source == nullptr) return OpenFailure(env, source_path, source_name);
  PackArchive* target = PackOpenForUpdate(env, target_path);
  if (target == nullptr) {
    PackClose(source);
    return DamagedPack(target_name);
  }

  // Entries go over one at a time as their stored blocks, each checked on
  // the way, replacing by id, so repeating the whole merge gives the same
  // pack; the blocks are copied file to file when the target is saved, so
  // no entry is ever held in memory.
  const uint32_t count = PackGetCount(source);
  for (uint32_t k = 0; k < count; ++k) {
    Status failure;
    if (Stopped(stop)) {
      failure = StoppedStatus();
    } else {
      Status s = PackCopyEntry(PackGetIdAt(k, source), source, target);
      if (!s.ok()) failure = CopyFailure(s, source_name, target_name);
    }
    if (!failure.ok()) {
      PackDiscard(target);
      PackClose(source);
      return failure;
    }
  }
  PackClose(source);
  Status s = SaveAndClose(env, target, target_path, target_name);
  // A failed save keeps the unpacked copy, so nothing of the patch is lost
  // until the merge has really been written.
  if (!s.ok()) return s;
  return DeleteIfPresent(env, source_path);
}

Status MergePack(Env* env, const std::string& client_dir,
                 const std::string& item_name, const std::atomic<bool>* stop) {
  if (item_name.empty() || !NameStaysInside(item_name)) return Status::OK();
  return MergePack(env, client_dir, item_name, kPackDirectory + item_name,
                   stop);
}

Status RunDeleteList(Env* env, const std::string& client_dir,
                     const std::atomic<bool>* stop) {
  const std::string list_path = client_dir + kDeleteListName;
  std::string text;
  bool present = false;
  Status s = ReadList(env, list_path, &text, &present);
  if (!s.ok() || !present) return s;
  const DeleteList list = ParseDeleteList(text);
  // Every name is checked before anything is done: a list with one name
  // that may not be used fails whole and changes nothing.
  for (const auto& [pack, ids] : list.packs) {
    s = CheckListName(pack, kDeleteListName);
    if (!s.ok()) return s;
  }
  for (const std::string& file : list.files) {
    s = CheckListName(file, kDeleteListName);
    if (!s.ok()) return s;
  }

  // Removing an absent id and deleting an absent file change nothing, so a
  // rerun of a list that was cut short simply finishes it. The list goes
  // last, once everything it names has been done.
  for (const auto& [pack, ids] : list.packs) {
    if (Stopped(stop)) return StoppedStatus();
    const std::string name = PackName(pack);
    const std::string path = client_dir + name;
    const bool existed = env->FileExists(path);
    PackArchive* archive = PackOpenForUpdate(env, path);
    if (archive == nullptr) return DamagedPack(name);
    bool changed = false;
    for (uint32_t id : ids) changed |= PackRemove(id, archive) != 0;
    if (existed && !changed) {
      // Same contents as the file already holds; rewriting it would only
      // cost the time of copying the pack.
      PackDiscard(archive);
      continue;
    }
    s = SaveAndClose(env, archive, path, name);
    if (!s.ok()) return s;
  }
  for (const std::string& file : list.files) {
    if (Stopped(stop)) return StoppedStatus();
    std::string confined;
    if (!ConfineName(file, NameKind::kRelativePath, &confined).ok()) continue;  // checked above
    const std::string path = client_dir + confined;
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

  const auto moves = ParseMoveList(text);
  for (const auto& [id, packs] : moves) {
    s = CheckListName(packs.first, kMoveListName);
    if (s.ok()) s = CheckListName(packs.second, kMoveListName);
    if (!s.ok()) return s;
  }
  // Each move is complete on its own (see MoveEntry), so a stop or a crash
  // between moves leaves a list that the rerun carries out from the start
  // with the same result.
  for (const auto& [id, packs] : moves) {
    if (Stopped(stop)) return StoppedStatus();
    const auto& [source, target] = packs;
    s = MoveEntry(env, client_dir, id, source, target);
    if (!s.ok()) return s;
  }
  return DeleteIfPresent(env, list_path);
}

}  // namespace dizedir
