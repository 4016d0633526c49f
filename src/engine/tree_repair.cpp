#include "engine/tree_repair.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "codec/md5.h"
#include "lists/content_store.h"
#include "pack/pack.h"
#include "platform/confined_path.h"

namespace dizedir {
namespace {

// Files are read in pieces of this size: below the allocator's mmap
// threshold (see codec/content_hash.cpp), and large enough that the reads
// cost little beside the hashing.
constexpr size_t kPiece = 64 << 10;
// A client holds tens of thousands of files; a walk that meets far more
// than a manifest may list is not a client's directory, and its findings
// would only fill memory.
constexpr size_t kMaxWalkedFiles = 2 * kMaxTreePaths;
// Beside a pack while a repair gathers the blocks it puts back, and where
// a pack built anew waits to be renamed over the old one. Both carry the
// temporary suffix, so a verify ignores what a killed repair left and the
// update's sweep removes it.
constexpr std::string_view kBlocksMark = ".blocks";
constexpr std::string_view kNewPackMark = ".new";

std::string JoinPath(const std::string& dir, const std::string& relative) {
  if (dir.empty() || dir.back() == '/' || dir.back() == '\\') return dir + relative;
  return dir + '\\' + relative;
}

uint64_t SaturatingAdd(uint64_t a, uint64_t b) {
  return b > std::numeric_limits<uint64_t>::max() - a ? std::numeric_limits<uint64_t>::max()
                                                      : a + b;
}

struct PackCloser {
  void operator()(PackArchive* archive) const { PackDiscard(archive); }
};
using PackHandle = std::unique_ptr<PackArchive, PackCloser>;

struct ContentHashKey {
  size_t operator()(const ContentHash& hash) const {
    size_t key = 0;
    std::memcpy(&key, hash.data(), sizeof key);  // the hash is uniform already
    return key;
  }
};

// Counts bytes toward the total and asks the caller's callback whether to
// go on. Each item of the manifest counts for exactly the size it
// describes, read or not, so the count ends at the total whatever was
// found on disk.
class Meter {
 public:
  Meter(const VerifyProgress& progress, uint64_t total) : progress_(progress), total_(total) {}

  // Starts an item of `size` bytes; false when stopped.
  bool Begin(uint64_t size, std::string_view path) {
    item_end_ = SaturatingAdd(done_, size);
    return Tell(path);
  }
  // Bytes of the current item read (or written); more than it describes
  // count as none.
  bool Add(uint64_t bytes, std::string_view path) {
    done_ = std::min(SaturatingAdd(done_, bytes), item_end_);
    return Tell(path);
  }
  // The current item is over: whatever of it was not read counts as done.
  bool End(std::string_view path) {
    done_ = item_end_;
    return Tell(path);
  }
  bool stopped() const { return stopped_; }

 private:
  bool Tell(std::string_view path) {
    if (!stopped_ && progress_ && !progress_(std::min(done_, total_), total_, path)) {
      stopped_ = true;
    }
    return !stopped_;
  }

  const VerifyProgress& progress_;
  const uint64_t total_;
  uint64_t done_ = 0;
  uint64_t item_end_ = 0;
  bool stopped_ = false;
};

Status Stopped(const char* what) { return Status::Aborted(std::string(what) + " stopped"); }

// ---- Verify -------------------------------------------------------------

// What the walk found at a path the manifest may list.
struct DiskItem {
  std::string relative;  // as found, components joined with backslashes
  bool directory = false;
  // False for a name that is not one bare component (a backslash is a
  // character of a POSIX name): opening its path would open something
  // else than what was listed, so it can only be extra, and is never read.
  bool listable = true;
};

// Lists every file below `client_dir` (and every directory standing where
// the manifest puts a file or pack), leaving out temporaries and the
// update machinery's own files. Links to directories are not followed: a
// walk could loop, and what they hold is not the client's.
Status WalkClient(Env* env, const std::string& client_dir, const TreePathIndex& index,
                  std::vector<DiskItem>* items) {
  std::vector<std::string> pending = {std::string()};
  std::vector<std::string> names;
  while (!pending.empty()) {
    const std::string relative_dir = std::move(pending.back());
    pending.pop_back();
    names.clear();
    const std::string dir_path =
        relative_dir.empty() ? client_dir : JoinPath(client_dir, relative_dir);
    const Status s = env->GetChildren(dir_path, &names);
    if (!s.ok()) return Status::IOError("cannot list " + dir_path + ": " + s.message());
    for (const std::string& name : names) {
      if (IsTemporaryName(name)) continue;
      const std::string relative = relative_dir.empty() ? name : relative_dir + '\\' + name;
      if (IsClientStateName(relative)) continue;
      const std::string path = JoinPath(client_dir, relative);
      std::string confined;
      const bool bare = ConfineName(name, NameKind::kBareName, &confined).ok() && confined == name;
      if (env->IsDirectory(path)) {
        // A directory counts only through the files below it, unless it
        // stands where the manifest puts a file.
        if (bare && (index.FindFile(relative) != nullptr || index.FindPack(relative) != nullptr)) {
          items->push_back({relative, /*directory=*/true, /*listable=*/true});
        }
        if (bare && !env->IsSymbolicLink(path)) pending.push_back(relative);
        continue;
      }
      if (items->size() == kMaxWalkedFiles) {
        return Status::InvalidArgument(client_dir + " holds more than " +
                                       std::to_string(kMaxWalkedFiles) + " files");
      }
      items->push_back({relative, /*directory=*/false, bare});
    }
  }
  return Status::OK();
}

class TreeVerifier {
 public:
  TreeVerifier(Env* env, const std::string& client_dir, const TreeManifest& expected,
               const VerifyProgress& progress)
      : env_(env),
        client_dir_(client_dir),
        expected_(expected),
        index_(expected),
        meter_(progress, TotalBytes(expected)) {}

  Status Run(std::vector<TreeFinding>* findings) {
    buffer_.reset(new (std::nothrow) char[kPiece]);
    if (buffer_ == nullptr) return Status::IOError("out of memory");
    std::vector<DiskItem> items;
    Status s = WalkClient(env_, client_dir_, index_, &items);
    if (!s.ok()) return s;
    Match(&items);

    // Files and packs merged in path order, as the manifest lists them.
    size_t f = 0, p = 0;
    const auto& files = expected_.files;
    const auto& packs = expected_.packs;
    while (f < files.size() || p < packs.size()) {
      if (p == packs.size() || (f < files.size() && files[f].path <= packs[p].path)) {
        s = VerifyFile(files[f], file_match_[f]);
        ++f;
      } else {
        s = VerifyPack(packs[p], pack_match_[p]);
        ++p;
      }
      if (!s.ok()) return s;
    }
    for (const std::string& extra : extras_) {
      // The plug-in itself and the key it trusts came with the installer
      // or a launcher, not always with the release: no finding of a player's.
      if (IsClientModuleName(extra)) continue;
      found_.push_back({FindingKind::kExtraFile, extra, 0, "the release does not hold it"});
    }
    std::stable_sort(found_.begin(), found_.end(), [](const TreeFinding& a, const TreeFinding& b) {
      return a.path != b.path ? a.path < b.path : a.entry_id < b.entry_id;
    });
    *findings = std::move(found_);
    return Status::OK();
  }

 private:
  static uint64_t TotalBytes(const TreeManifest& m) {
    uint64_t total = 0;
    for (const TreeFile& f : m.files) total = SaturatingAdd(total, f.size);
    for (const TreePack& p : m.packs) {
      for (const TreePackEntry& e : p.entries) total = SaturatingAdd(total, e.stored_size);
    }
    return total;
  }

  static uint64_t PackBytes(const TreePack& pack) {
    uint64_t bytes = 0;
    for (const TreePackEntry& e : pack.entries) bytes += e.stored_size;
    return bytes;
  }

  // Pairs what was found with what the manifest lists. Where one path of
  // the manifest matches several names (a POSIX directory may hold "A" and
  // "a"), the exact spelling wins, else the first in byte order: the one
  // the Env opens for the manifest's spelling. The rest are extra.
  void Match(std::vector<DiskItem>* items) {
    std::sort(items->begin(), items->end(),
              [](const DiskItem& a, const DiskItem& b) { return a.relative < b.relative; });
    file_match_.assign(expected_.files.size(), nullptr);
    pack_match_.assign(expected_.packs.size(), nullptr);
    std::vector<bool> used(items->size(), false);
    for (int exact = 1; exact >= 0; --exact) {
      for (size_t i = 0; i < items->size(); ++i) {
        const DiskItem& item = (*items)[i];
        if (used[i] || !item.listable) continue;
        const DiskItem** slot = nullptr;
        std::string_view listed;
        if (const TreeFile* file = index_.FindFile(item.relative)) {
          slot = &file_match_[file - expected_.files.data()];
          listed = file->path;
        } else if (const TreePack* pack = index_.FindPack(item.relative)) {
          slot = &pack_match_[pack - expected_.packs.data()];
          listed = pack->path;
        }
        if (slot == nullptr || *slot != nullptr || (exact == 1 && item.relative != listed)) {
          continue;
        }
        *slot = &item;
        used[i] = true;
      }
    }
    for (size_t i = 0; i < items->size(); ++i) {
      const DiskItem& item = (*items)[i];
      if (!used[i] && !item.directory) extras_.push_back(item.relative);
    }
  }

  void Find(FindingKind kind, const std::string& path, uint32_t entry_id, std::string detail) {
    found_.push_back({kind, path, entry_id, std::move(detail)});
  }

  Status VerifyFile(const TreeFile& file, const DiskItem* found) {
    if (!meter_.Begin(file.size, file.path)) return Stopped("verify");
    if (found == nullptr) {
      Find(FindingKind::kMissingFile, file.path, 0, "not there");
    } else if (found->directory) {
      Find(FindingKind::kDamagedFile, file.path, 0, "a directory stands in its place");
    } else {
      std::string why;
      const Status s = CheckFileContent(file, JoinPath(client_dir_, found->relative), &why);
      if (!s.ok()) return s;
      if (!why.empty()) Find(FindingKind::kDamagedFile, file.path, 0, std::move(why));
    }
    return meter_.End(file.path) ? Status::OK() : Stopped("verify");
  }

  // Sets *why when the file is not what the manifest says; fails only when
  // stopped.
  Status CheckFileContent(const TreeFile& file, const std::string& path, std::string* why) {
    uint64_t size = 0;
    Status s = env_->GetFileSize(path, &size);
    if (!s.ok()) {
      *why = "cannot be read: " + s.message();
      return Status::OK();
    }
    if (size != file.size) {
      *why = "size " + std::to_string(size) + ", expected " + std::to_string(file.size);
      return Status::OK();
    }
    std::unique_ptr<ReadableFile> in;
    s = env_->NewReadableFile(path, &in);
    if (!s.ok()) {
      *why = "cannot be read: " + s.message();
      return Status::OK();
    }
    ContentHasher hasher;
    uint64_t offset = 0;
    // One byte past the size shows a file that grew since its size was
    // taken; the loop ends there whatever the file does.
    while (offset <= file.size) {
      size_t got = 0;
      s = in->Read(offset, kPiece, buffer_.get(), &got);
      if (!s.ok()) {
        *why = "cannot be read: " + s.message();
        return Status::OK();
      }
      if (got == 0) break;
      hasher.Update(buffer_.get(), got);
      offset += got;
      if (!meter_.Add(got, file.path)) return Stopped("verify");
    }
    if (offset != file.size || hasher.Final() != file.hash) *why = "content differs";
    return Status::OK();
  }

  Status VerifyPack(const TreePack& pack, const DiskItem* found) {
    if (!meter_.Begin(PackBytes(pack), pack.path)) return Stopped("verify");
    if (found == nullptr) {
      Find(FindingKind::kMissingFile, pack.path, 0, "the pack is not there");
    } else if (found->directory) {
      Find(FindingKind::kDamagedPackTable, pack.path, 0, "a directory stands in its place");
    } else {
      const Status s = VerifyEntries(pack, JoinPath(client_dir_, found->relative));
      if (!s.ok()) return s;
    }
    return meter_.End(pack.path) ? Status::OK() : Stopped("verify");
  }

  // What a pack that does not open says of itself, for the finding.
  std::string WhyUnreadable(const std::string& path) {
    const Status s = PackCheck(env_, path, "");
    if (s.ok()) return "cannot be opened";
    // "damaged pack : why" names the pack the finding names already.
    const size_t colon = s.message().find(": ");
    return colon == std::string::npos ? s.message() : s.message().substr(colon + 2);
  }

  Status VerifyEntries(const TreePack& pack, const std::string& path) {
    PackHandle archive(PackOpenReadOnly(env_, path));
    if (archive == nullptr) {
      Find(FindingKind::kDamagedPackTable, pack.path, 0, WhyUnreadable(path));
      return Status::OK();
    }
    // The rows first, then the blocks of those whose row agrees, in the
    // order they lie in the file: a verify reads a pack front to back.
    struct Block {
      uint32_t offset;
      uint32_t id;
      const TreePackEntry* entry;
    };
    std::vector<Block> blocks;
    std::vector<bool> seen(pack.entries.size(), false);
    const uint32_t count = PackGetCount(archive.get());
    blocks.reserve(std::min<size_t>(count, pack.entries.size()));
    PackEntryInfo row;
    for (uint32_t k = 0; k < count; ++k) {
      const uint32_t id = PackGetIdAt(k, archive.get());
      if (PackGetEntryInfo(id, archive.get(), &row) != 1) {
        Find(FindingKind::kDamagedPackTable, pack.path, 0, "its table cannot be read");
        return Status::OK();
      }
      const TreePackEntry* entry = pack.FindEntry(id);
      if (entry == nullptr) {
        Find(FindingKind::kExtraEntry, pack.path, id, "the release does not hold it");
        continue;
      }
      seen[entry - pack.entries.data()] = true;
      std::string why = RowDifference(row, *entry);
      if (!why.empty()) {
        Find(FindingKind::kDamagedEntry, pack.path, id, std::move(why));
        continue;
      }
      blocks.push_back({row.offset, id, entry});
    }
    std::sort(blocks.begin(), blocks.end(),
              [](const Block& a, const Block& b) { return a.offset < b.offset; });
    Md5 md5;
    for (const Block& block : blocks) {
      md5.Reset();
      const Status s = PackStreamStored(block.id, archive.get(), [&](std::string_view piece) {
        md5.Update(piece);
        return meter_.Add(piece.size(), pack.path);
      });
      if (meter_.stopped()) return Stopped("verify");
      if (!s.ok()) {
        Find(FindingKind::kDamagedEntry, pack.path, block.id, "cannot be read: " + s.message());
      } else if (md5.HexFinal() != block.entry->md5_hex) {
        Find(FindingKind::kDamagedEntry, pack.path, block.id, "block differs");
      }
    }
    for (size_t i = 0; i < pack.entries.size(); ++i) {
      if (!seen[i]) {
        Find(FindingKind::kMissingEntry, pack.path, pack.entries[i].id, "not in the pack");
      }
    }
    return Status::OK();
  }

  static std::string RowDifference(const PackEntryInfo& row, const TreePackEntry& entry) {
    const auto differs = [](const char* what, uint64_t got, uint64_t want) {
      return std::string(what) + " " + std::to_string(got) + ", expected " + std::to_string(want);
    };
    if (row.size != entry.size) return differs("size", row.size, entry.size);
    if (row.stored_size != entry.stored_size) {
      return differs("stored size", row.stored_size, entry.stored_size);
    }
    if ((row.compressed != 0) != entry.compressed) {
      return differs("compressed flag", row.compressed, entry.compressed ? 1 : 0);
    }
    if (row.digest != entry.md5_hex) return "its row's digest differs";
    return {};
  }

  Env* const env_;
  const std::string client_dir_;
  const TreeManifest& expected_;
  const TreePathIndex index_;
  Meter meter_;
  std::unique_ptr<char[]> buffer_;
  // For each file and pack of the manifest, in its order, what stands at
  // its path; null when nothing does.
  std::vector<const DiskItem*> file_match_;
  std::vector<const DiskItem*> pack_match_;
  std::vector<std::string> extras_;
  std::vector<TreeFinding> found_;
};

// ---- Repair -------------------------------------------------------------

// What a repair does to one pack.
struct PackWork {
  const TreePack* pack = nullptr;
  bool rebuild = false;                   // from the manifest's entries alone
  std::vector<const TreePackEntry*> put;  // blocks to put back
  std::vector<uint32_t> remove;           // entries the release does not hold
};

// One step of a repair: a plain file, or a pack's work.
struct RepairStep {
  const TreeFile* file = nullptr;
  size_t pack_work = 0;
};

class TreeRepairer {
 public:
  TreeRepairer(Env* env, const std::string& client_dir, const TreeManifest& expected,
               const std::string& object_dir, const VerifyProgress& progress)
      : env_(env),
        client_dir_(client_dir),
        object_dir_(object_dir),
        index_(expected),
        progress_(progress) {}

  Status Run(const std::vector<TreeFinding>& findings) {
    Status s = Plan(findings);
    if (!s.ok()) return s;
    Meter meter(progress_, PlannedBytes());
    meter_ = &meter;
    for (const RepairStep& step : steps_) {
      s = step.file != nullptr ? RepairFile(*step.file) : RepairPack(packs_[step.pack_work]);
      if (!s.ok()) return s;
    }
    return Status::OK();
  }

 private:
  // Turns the findings into steps, in the order they are first named,
  // refusing any the manifest does not account for before anything
  // changes.
  Status Plan(const std::vector<TreeFinding>& findings) {
    std::unordered_set<const TreeFile*> files;
    std::unordered_map<const TreePack*, size_t> packs;
    const auto work_for = [&](const TreePack* pack) -> PackWork& {
      const auto [it, added] = packs.emplace(pack, packs_.size());
      if (added) {
        packs_.push_back(PackWork{pack, false, {}, {}});
        steps_.push_back({nullptr, it->second});
      }
      return packs_[it->second];
    };
    for (const TreeFinding& finding : findings) {
      if (!IsRepairable(finding)) continue;
      const TreeFile* file = index_.FindFile(finding.path);
      const TreePack* pack = index_.FindPack(finding.path);
      const auto unaccounted = [&finding](const char* why) {
        return Status::InvalidArgument("cannot repair " + finding.path + ": " + why);
      };
      switch (finding.kind) {
        case FindingKind::kMissingFile:
        case FindingKind::kDamagedFile:
        case FindingKind::kDamagedPackTable:
          if (file != nullptr && finding.kind != FindingKind::kDamagedPackTable) {
            if (files.insert(file).second) steps_.push_back({file, 0});
          } else if (pack != nullptr) {
            work_for(pack).rebuild = true;
          } else {
            return unaccounted("the release does not list it");
          }
          break;
        case FindingKind::kMissingEntry:
        case FindingKind::kDamagedEntry: {
          const TreePackEntry* entry =
              pack == nullptr ? nullptr : pack->FindEntry(finding.entry_id);
          if (entry == nullptr) return unaccounted("the release does not list that entry");
          work_for(pack).put.push_back(entry);
          break;
        }
        case FindingKind::kExtraEntry:
          if (pack == nullptr) return unaccounted("the release does not list that pack");
          if (pack->FindEntry(finding.entry_id) != nullptr) {
            return unaccounted("the release holds that entry");
          }
          work_for(pack).remove.push_back(finding.entry_id);
          break;
        case FindingKind::kExtraFile:
          break;
        default:
          return unaccounted("unknown finding");
      }
    }
    for (PackWork& work : packs_) {
      if (work.rebuild) {
        work.put.clear();
        work.remove.clear();
        for (const TreePackEntry& e : work.pack->entries) work.put.push_back(&e);
        continue;
      }
      const auto by_id = [](const TreePackEntry* a, const TreePackEntry* b) {
        return a->id < b->id;
      };
      std::sort(work.put.begin(), work.put.end(), by_id);
      work.put.erase(std::unique(work.put.begin(), work.put.end()), work.put.end());
    }
    return Status::OK();
  }

  uint64_t PlannedBytes() const {
    uint64_t total = 0;
    for (const RepairStep& step : steps_) {
      if (step.file != nullptr) total = SaturatingAdd(total, step.file->size);
    }
    for (const PackWork& work : packs_) {
      for (const TreePackEntry* e : work.put) total = SaturatingAdd(total, e->stored_size);
    }
    return total;
  }

  std::string ObjectPath(const ContentHash& hash) const {
    return FetchedObjectPath(object_dir_, hash);
  }

  // Makes the directory that is to hold `relative`, refusing to write
  // through a link or to put anything where a file of the player's stands:
  // a repair never deletes what it does not own. The target itself must
  // not be a directory either.
  Status PrepareTarget(const std::string& relative) {
    size_t end = 0;
    while ((end = relative.find('\\', end)) != std::string::npos) {
      const std::string dir = relative.substr(0, end++);
      if (!checked_dirs_.insert(dir).second) continue;
      const std::string path = JoinPath(client_dir_, dir);
      if (env_->IsSymbolicLink(path)) {
        return Status::InvalidArgument("cannot repair " + relative + ": " + dir +
                                       " is a link, and a repair writes nothing through one");
      }
      if (env_->FileExists(path) && !env_->IsDirectory(path)) {
        return Status::InvalidArgument("cannot repair " + relative + ": the file " + dir +
                                       " stands where its directory belongs");
      }
    }
    const std::string target = JoinPath(client_dir_, relative);
    if (env_->IsDirectory(target)) {
      return Status::InvalidArgument("cannot repair " + relative +
                                     ": a directory stands in its place, and a repair "
                                     "deletes no directory");
    }
    const size_t last = relative.rfind('\\');
    if (last == std::string::npos) return Status::OK();
    return env_->CreateDirectories(JoinPath(client_dir_, relative.substr(0, last)));
  }

  Status RepairFile(const TreeFile& file) {
    if (!meter_->Begin(file.size, file.path)) return Stopped("repair");
    Status s = PrepareTarget(file.path);
    if (!s.ok()) return s;
    s = DecodeStoreObjectToFile(env_, ObjectPath(file.hash), file.hash, file.size,
                                JoinPath(client_dir_, file.path));
    if (!s.ok()) return s;
    return meter_->End(file.path) ? Status::OK() : Stopped("repair");
  }

  // Decodes the objects of `entries` one after another into the file at
  // `blocks_path`, giving where each block starts.
  Status GatherBlocks(const TreePack& pack, const std::vector<const TreePackEntry*>& entries,
                      const std::string& blocks_path, std::vector<uint64_t>* offsets) {
    std::unique_ptr<WritableFile> out;
    Status s = env_->NewWritableFile(blocks_path, &out);
    if (!s.ok()) return s;
    uint64_t written = 0;
    for (const TreePackEntry* e : entries) {
      offsets->push_back(written);
      s = DecodeStoreObjectToSink(env_, ObjectPath(e->hash), e->hash, e->stored_size,
                                  [&](std::string_view piece) {
                                    written += piece.size();
                                    if (!meter_->Add(piece.size(), pack.path)) {
                                      return Stopped("repair");
                                    }
                                    return out->Append(piece);
                                  });
      if (!s.ok()) return s;
    }
    // Only read back, by the save that copies it into the pack, which is
    // synced itself: no sync of its own.
    return out->Close();
  }

  Status RepairPack(const PackWork& work) {
    const TreePack& pack = *work.pack;
    uint64_t bytes = 0;
    for (const TreePackEntry* e : work.put) bytes = SaturatingAdd(bytes, e->stored_size);
    if (!meter_->Begin(bytes, pack.path)) return Stopped("repair");
    Status s = PrepareTarget(pack.path);
    if (!s.ok()) return s;
    const std::string pack_path = JoinPath(client_dir_, pack.path);
    if (!work.rebuild && !env_->FileExists(pack_path)) {
      return Status::NotFound("cannot repair " + pack.path + ": the pack is gone; verify again");
    }
    const std::string blocks_path = pack_path + std::string(kBlocksMark) + std::string(kTempSuffix);
    std::vector<uint64_t> offsets;
    if (!work.put.empty()) s = GatherBlocks(pack, work.put, blocks_path, &offsets);
    if (s.ok()) {
      s = work.rebuild ? Rebuild(work, pack_path, blocks_path, offsets)
                       : Update(work, pack_path, blocks_path, offsets);
    }
    if (!work.put.empty()) env_->DeleteFile(blocks_path);
    if (!s.ok()) return s;
    return meter_->End(pack.path) ? Status::OK() : Stopped("repair");
  }

  // Puts the gathered blocks into `archive`, each row's digest checked
  // against the manifest's.
  Status AddBlocks(const PackWork& work, const std::string& blocks_path,
                   const std::vector<uint64_t>& offsets, PackArchive* archive) {
    const TreePack& pack = *work.pack;
    PackEntryInfo row;
    for (size_t i = 0; i < work.put.size(); ++i) {
      const TreePackEntry& e = *work.put[i];
      Status s = PackAddStoredBlock(e.id, e.size, e.compressed, env_, blocks_path, offsets[i],
                                    e.stored_size, archive);
      if (s.IsCorruption()) return Status::Corruption("pack " + pack.path + ": " + s.message());
      if (!s.ok()) return s;
      // The block is the publisher's by its hash; a digest that is not the
      // manifest's would make the next verify find it damaged again.
      if (PackGetEntryInfo(e.id, archive, &row) != 1 || row.digest != e.md5_hex) {
        return Status::Corruption("pack " + pack.path + ": entry " + std::to_string(e.id) +
                                  ": the block's MD5 is not the one the release lists");
      }
    }
    return Status::OK();
  }

  Status Update(const PackWork& work, const std::string& pack_path, const std::string& blocks_path,
                const std::vector<uint64_t>& offsets) {
    PackHandle archive(PackOpenForUpdate(env_, pack_path));
    if (archive == nullptr) {
      return Status::Corruption("cannot repair " + work.pack->path +
                                ": its table can no longer be read; verify again");
    }
    Status s = AddBlocks(work, blocks_path, offsets, archive.get());
    if (!s.ok()) return s;
    for (uint32_t id : work.remove) PackRemove(id, archive.get());
    return PackSaveWithStatus(archive.get());
  }

  // A new pack of exactly the manifest's entries, written beside the old
  // one and renamed over it.
  Status Rebuild(const PackWork& work, const std::string& pack_path, const std::string& blocks_path,
                 const std::vector<uint64_t>& offsets) {
    const std::string new_path = pack_path + std::string(kNewPackMark) + std::string(kTempSuffix);
    // What a killed repair left there must not be opened as a start.
    env_->DeleteFile(new_path);
    if (env_->FileExists(new_path)) {
      return Status::IOError("cannot repair " + work.pack->path + ": cannot remove " + new_path);
    }
    PackHandle archive(PackOpenForUpdate(env_, new_path));
    if (archive == nullptr) return Status::IOError("out of memory");
    Status s = AddBlocks(work, blocks_path, offsets, archive.get());
    if (s.ok()) s = PackSaveWithStatus(archive.get());
    archive.reset();
    if (s.ok()) s = env_->RenameFile(new_path, pack_path);
    if (!s.ok()) {
      env_->DeleteFile(new_path);
      return s;
    }
    // The pack is whole either way; this makes the rename survive a power
    // cut.
    const std::string native = env_->NativePath(pack_path);
    const size_t slash = native.find_last_of('/');
    if (slash != std::string::npos) env_->SyncDirectory(native.substr(0, slash + 1));
    return Status::OK();
  }

  Env* const env_;
  const std::string client_dir_;
  const std::string object_dir_;
  const TreePathIndex index_;
  const VerifyProgress& progress_;
  Meter* meter_ = nullptr;
  std::vector<RepairStep> steps_;
  std::vector<PackWork> packs_;
  std::unordered_set<std::string> checked_dirs_;
};

}  // namespace

bool IsRepairable(const TreeFinding& finding) { return finding.kind != FindingKind::kExtraFile; }

Status VerifyClientTree(Env* env, const std::string& client_dir, const TreeManifest& expected,
                        const VerifyProgress& progress, std::vector<TreeFinding>* findings) {
  findings->clear();
  try {
    return TreeVerifier(env, client_dir, expected, progress).Run(findings);
  } catch (const std::bad_alloc&) {
    return Status::IOError("out of memory");
  }
}

std::vector<NeededObject> ObjectsToFetch(const TreeManifest& expected,
                                         const std::vector<TreeFinding>& findings) {
  const TreePathIndex index(expected);
  std::vector<NeededObject> needed;
  std::unordered_set<ContentHash, ContentHashKey> seen;
  const auto need = [&](const ContentHash& hash, uint64_t content_size, uint64_t object_size) {
    if (seen.insert(hash).second) needed.push_back({hash, content_size, object_size});
  };
  for (const TreeFinding& finding : findings) {
    const TreePack* pack = index.FindPack(finding.path);
    switch (finding.kind) {
      case FindingKind::kMissingFile:
      case FindingKind::kDamagedFile:
      case FindingKind::kDamagedPackTable:
        if (const TreeFile* file = index.FindFile(finding.path)) {
          need(file->hash, file->size, file->object_size);
        } else if (pack != nullptr) {
          for (const TreePackEntry& e : pack->entries) need(e.hash, e.stored_size, e.object_size);
        }
        break;
      case FindingKind::kMissingEntry:
      case FindingKind::kDamagedEntry:
        if (const TreePackEntry* e =
                pack == nullptr ? nullptr : pack->FindEntry(finding.entry_id)) {
          need(e->hash, e->stored_size, e->object_size);
        }
        break;
      case FindingKind::kExtraFile:
      case FindingKind::kExtraEntry:
        break;
    }
  }
  return needed;
}

std::string FetchedObjectPath(const std::string& object_dir, const ContentHash& hash) {
  const std::string hex = ContentHashHex(hash);
  return JoinPath(object_dir, hex.substr(0, 2) + '\\' + hex.substr(2, 2) + '\\' + hex);
}

Status RepairClientTree(Env* env, const std::string& client_dir, const TreeManifest& expected,
                        const std::vector<TreeFinding>& findings, const std::string& object_dir,
                        const VerifyProgress& progress) {
  try {
    return TreeRepairer(env, client_dir, expected, object_dir, progress).Run(findings);
  } catch (const std::bad_alloc&) {
    return Status::IOError("out of memory");
  }
}

}  // namespace dizedir
