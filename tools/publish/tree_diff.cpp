#include "tools/publish/tree_diff.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <tuple>
#include <utility>
#include <vector>

#include "pack/pack.h"
#include "platform/case_fold.h"
#include "platform/text.h"

namespace dizedir::publish {
namespace {

constexpr std::string_view kPackDir = "qmz/fodder/";
// Two buffers of this size stay in the processor's cache between the read
// and the compare; larger ones make the compare wait on memory.
constexpr size_t kCompareChunk = size_t{256} << 10;

// Windows names match without regard to case, and so does the client's Env:
// two paths that differ only in case are one file to a player.
std::string FoldKey(std::string_view rel) {
  std::u16string wide = Utf8ToUtf16(rel);
  for (char16_t& c : wide) c = FoldCase(c);
  return Utf16ToUtf8(wide);
}

bool EndsWith(std::string_view s, std::string_view tail) {
  return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}

bool IsPackPath(std::string_view rel) {
  return rel.size() > kPackDir.size() + 4 &&
         FoldKey(rel.substr(0, kPackDir.size())) == kPackDir &&
         EndsWith(rel, ".pac");
}

// The name the pack item carries in the archive: the client unpacks it to
// that name and merges it into qmz\fodder\ + the same name.
std::string PackItemName(std::string_view rel) {
  return std::string(rel.substr(kPackDir.size()));
}

bool HasWhiteSpace(std::string_view s) {
  return std::any_of(s.begin(), s.end(), [](char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' ||
           c == '\f';
  });
}

std::string Backslashed(std::string rel) {
  std::replace(rel.begin(), rel.end(), '/', '\\');
  return rel;
}

// The name del.txt and Move.txt give a pack, or empty when the pack cannot
// be named there (in a subdirectory, or with white space in its name).
std::string ListPackName(std::string_view rel) {
  const std::string item = PackItemName(rel);
  if (item.find('/') != std::string::npos || HasWhiteSpace(item)) return "";
  return item.substr(0, item.size() - 4);
}

std::vector<std::string> ParentDirs(std::string_view rel) {
  std::vector<std::string> dirs;
  for (size_t at = rel.find('/'); at != std::string_view::npos;
       at = rel.find('/', at + 1)) {
    dirs.emplace_back(rel.substr(0, at));
  }
  return dirs;
}

// Files a client keeps about its own state. A tree made with release --init
// holds curver.bin; shipping or deleting it would rewrite what the client
// believes it has installed.
bool IsClientBookkeeping(std::string_view rel) {
  const std::string key = FoldKey(rel);
  return key == "curver.bin" || key == "newver.bin" || key == "verlist.bin" ||
         key == "patchone_temp.ini" || key == "qmz_gt/downloadaddr.txt" ||
         EndsWith(key, kTempSuffix);
}

struct TreeFile {
  std::string rel;
  bool pack = false;
};

using Tree = std::map<std::string, TreeFile>;  // by FoldKey

Status Walk(Env* env, const std::string& root, const std::string& rel,
            Tree* tree) {
  const std::string dir = rel.empty() ? root : root + "/" + rel;
  std::vector<std::string> names;
  Status s = env->GetChildren(dir, &names);
  if (!s.ok()) return s;
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    const std::string child_rel = rel.empty() ? name : rel + "/" + name;
    const std::string path = root + "/" + child_rel;
    if (name.find('\\') != std::string::npos) {
      return Status::InvalidArgument(
          "a backslash in a name means a directory to a client: " + path);
    }
    if (env->IsSymbolicLink(path)) {
      return Status::InvalidArgument("symbolic links cannot be published: " +
                                     path);
    }
    if (env->IsDirectory(path)) {
      s = Walk(env, root, child_rel, tree);
      if (!s.ok()) return s;
      continue;
    }
    if (IsClientBookkeeping(child_rel)) continue;
    TreeFile file{child_rel, IsPackPath(child_rel)};
    auto [it, inserted] = tree->emplace(FoldKey(child_rel), file);
    if (!inserted) {
      return Status::InvalidArgument("names differ only in case: " +
                                     it->second.rel + " and " + child_rel);
    }
  }
  return Status::OK();
}

// The two buffers live across calls: a tree has thousands of files.
struct CompareBuffers {
  std::string a = std::string(kCompareChunk, '\0');
  std::string b = std::string(kCompareChunk, '\0');
};

Status SameContents(Env* env, const std::string& a, const std::string& b,
                    CompareBuffers* buffers, bool* same) {
  uint64_t size_a = 0, size_b = 0;
  Status s = env->GetFileSize(a, &size_a);
  if (s.ok()) s = env->GetFileSize(b, &size_b);
  if (!s.ok()) return s;
  *same = false;
  if (size_a != size_b) return s;
  std::unique_ptr<ReadableFile> fa, fb;
  s = env->NewReadableFile(a, &fa);
  if (s.ok()) s = env->NewReadableFile(b, &fb);
  std::string& ba = buffers->a;
  std::string& bb = buffers->b;
  for (uint64_t offset = 0; s.ok();) {
    size_t got_a = 0, got_b = 0;
    s = fa->Read(offset, kCompareChunk, ba.data(), &got_a);
    if (s.ok()) s = fb->Read(offset, kCompareChunk, bb.data(), &got_b);
    if (!s.ok()) return s;
    if (got_a != got_b || std::memcmp(ba.data(), bb.data(), got_a) != 0) {
      return s;
    }
    if (got_a == 0) break;
    offset += got_a;
  }
  *same = s.ok();
  return s;
}

// A pack's table: what decides whether an entry changed without reading any
// data. Equal stored digests mean equal stored bytes.
struct EntryKey {
  std::array<char, 32> digest{};
  uint32_t size = 0;
  uint32_t compressed = 0;
  bool operator==(const EntryKey&) const = default;
  auto operator<=>(const EntryKey&) const = default;
};

// Sorted by id; a pack holds up to hundreds of thousands of entries, and a
// vector reads them without a node per entry.
class PackTable {
 public:
  using Row = std::pair<uint32_t, EntryKey>;
  std::vector<Row>::const_iterator begin() const { return rows_.begin(); }
  std::vector<Row>::const_iterator end() const { return rows_.end(); }
  bool empty() const { return rows_.empty(); }
  const EntryKey* Find(uint32_t id) const {
    auto it = std::lower_bound(rows_.begin(), rows_.end(), id,
                               [](const Row& r, uint32_t v) { return r.first < v; });
    return it != rows_.end() && it->first == id ? &it->second : nullptr;
  }

 private:
  friend Status ReadPackTable(Env*, const std::string&, PackTable*);
  std::vector<Row> rows_;
};

Status ReadPackTable(Env* env, const std::string& path, PackTable* table) {
  PackArchive* pack = PackOpenReadOnly(env, path);
  if (pack == nullptr) {
    return Status::Corruption("not a readable pack: " + path);
  }
  const uint32_t count = PackGetCount(pack);
  std::vector<PackTable::Row>& rows = table->rows_;
  rows.reserve(count);
  PackEntryInfo info;
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t id = PackGetIdAt(i, pack);
    if (!PackGetEntryInfo(id, pack, &info)) {
      PackClose(pack);
      return Status::Corruption("unreadable entry in " + path);
    }
    EntryKey key;
    std::memcpy(key.digest.data(), info.digest.data(),
                std::min(info.digest.size(), key.digest.size()));
    key.size = info.size;
    key.compressed = info.compressed;
    rows.emplace_back(id, key);
  }
  PackClose(pack);
  std::sort(rows.begin(), rows.end(),
            [](const PackTable::Row& a, const PackTable::Row& b) { return a.first < b.first; });
  return Status::OK();
}

// The patch packs are built beside the archive, read into it at once and
// deleted: syncing them would only wait for the disk. Writes through this
// Env reach the OS but are never waited for.
class ScratchEnv : public EnvWrapper {
 public:
  using EnvWrapper::EnvWrapper;

  Status NewWritableFile(const std::string& path,
                         std::unique_ptr<WritableFile>* result) override {
    Status s = target()->NewWritableFile(path, result);
    if (s.ok()) *result = std::make_unique<File>(std::move(*result));
    return s;
  }
  Status SyncDirectory(const std::string&) override { return Status::OK(); }

 private:
  class File : public WritableFile {
   public:
    explicit File(std::unique_ptr<WritableFile> file) : file_(std::move(file)) {}
    Status Append(std::string_view data) override { return file_->Append(data); }
    Status AppendFrom(ReadableFile* source, uint64_t offset,
                      uint64_t length) override {
      return file_->AppendFrom(source, offset, length);
    }
    Status Flush() override { return file_->Flush(); }
    Status Sync() override { return file_->Flush(); }
    Status Close() override { return file_->Close(); }

   private:
    const std::unique_ptr<WritableFile> file_;
  };
};

// Copies the listed entries of `source` into a new pack at `target`: same
// ids, same contents, same compressed flags.
Status WritePatchPack(Env* env, const std::string& source,
                      const std::vector<uint32_t>& ids,
                      const std::string& target) {
  env->DeleteFile(target);
  PackArchive* in = PackOpenReadOnly(env, source);
  if (in == nullptr) return Status::Corruption("not a readable pack: " + source);
  PackArchive* out = PackOpenForUpdate(env, target);
  if (out == nullptr) {
    PackClose(in);
    return Status::IOError("cannot start pack " + target);
  }
  Status s;
  std::string buffer;
  for (uint32_t id : ids) {
    uint32_t size = 0;
    int compressed = 0;
    if (!PackRead(nullptr, &size, id, in) ||
        !PackIsCompressed(id, in, &compressed)) {
      s = Status::Corruption("unreadable entry " + std::to_string(id) + " in " +
                             source);
      break;
    }
    buffer.resize(std::max<uint32_t>(size, 1));
    if (!PackRead(buffer.data(), &size, id, in) ||
        !PackAdd(id, buffer.data(), size, out, compressed, nullptr)) {
      s = Status::Corruption("cannot copy entry " + std::to_string(id) +
                             " of " + source);
      break;
    }
  }
  PackClose(in);
  const int saved = PackClose(out);
  if (s.ok() && !saved) s = Status::IOError("cannot write pack " + target);
  return s;
}

std::string SignedDecimal(uint32_t id) {
  // The client reads ids as signed 32-bit numbers; large ids wrap to the
  // negative form that reads back to the same bits.
  return std::to_string(static_cast<int32_t>(id));
}

struct PackWork {
  TreeFile file;
  bool in_old = false;
  bool in_new = false;
  PackTable old_table;
  PackTable new_table;
  PackDelta delta;
  std::string list_name;
  bool needed = false;  // the patch carries a pack item for it
};

// What the packs contribute: entries shipped, removed and moved, and the two
// lists. Reads only the packs' tables.
struct PackPlan {
  std::vector<PackMove> moves;
  std::vector<std::string> removed_files;  // as del.txt names them
  std::string delete_list;
  std::string move_list;
};

Status PlanPacks(Env* env, const std::string& old_tree, const std::string& new_tree,
                 std::map<std::string, PackWork>& packs, PackPlan* plan) {
  Status s;
  // Entry by entry.
  for (auto& [key, w] : packs) {
    w.delta.path = w.file.rel;
    w.delta.created = !w.in_old;
    w.list_name = ListPackName(w.file.rel);
    if (w.in_old) {
      s = ReadPackTable(env, old_tree + "/" + w.file.rel, &w.old_table);
      if (!s.ok()) return s;
    }
    if (w.in_new) {
      s = ReadPackTable(env, new_tree + "/" + w.file.rel, &w.new_table);
      if (!s.ok()) return s;
    }
    for (const auto& [id, entry] : w.new_table) {
      const EntryKey* old = w.old_table.Find(id);
      if (old == nullptr || !(*old == entry)) {
        w.delta.shipped.push_back(id);
      }
    }
    for (const auto& [id, entry] : w.old_table) {
      if (!w.new_table.Find(id)) w.delta.removed.push_back(id);
    }
  }

  // Moves: an entry gone from one nameable pack that arrives with the same
  // stored bytes in another where its id is new. One move per id, since the
  // move list keeps one pair per id.
  std::map<std::pair<uint32_t, EntryKey>, std::vector<PackWork*>> gone;
  for (auto& [key, w] : packs) {
    if (w.list_name.empty()) continue;
    for (uint32_t id : w.delta.removed) {
      gone[{id, *w.old_table.Find(id)}].push_back(&w);
    }
  }
  std::set<uint32_t> moved_ids;
  for (auto& [key, target] : packs) {
    if (target.list_name.empty() || !target.in_new) continue;
    std::vector<uint32_t> still_shipped;
    for (uint32_t id : target.delta.shipped) {
      auto candidates = gone.find({id, *target.new_table.Find(id)});
      const bool id_is_new = target.old_table.Find(id) == nullptr;
      if (!id_is_new || moved_ids.count(id) || candidates == gone.end() ||
          candidates->second.empty()) {
        still_shipped.push_back(id);
        continue;
      }
      PackWork* source = candidates->second.back();
      candidates->second.pop_back();
      auto& removed = source->delta.removed;
      removed.erase(std::find(removed.begin(), removed.end(), id));
      moved_ids.insert(id);
      plan->moves.push_back({id, source->list_name, target.list_name});
    }
    target.delta.shipped = std::move(still_shipped);
  }

  // Removals del.txt cannot name: delete the pack and ship it whole.
  std::string groups;
  for (auto& [key, w] : packs) {
    if (!w.in_new) continue;  // the whole file goes
    if (!w.delta.removed.empty() && w.list_name.empty()) {
      if (HasWhiteSpace(w.file.rel)) {
        return Status::InvalidArgument(
            w.file.rel + ": entries leave a pack whose name del.txt cannot "
                         "hold (white space)");
      }
      w.delta.rebuilt = true;
      w.delta.removed.clear();
      w.delta.shipped.clear();
      for (const auto& [id, entry] : w.new_table) w.delta.shipped.push_back(id);
      plan->removed_files.push_back(Backslashed(w.file.rel));
    }
    if (!w.delta.removed.empty()) {
      groups += "Packet:" + w.list_name;
      for (uint32_t id : w.delta.removed) {
        groups += ' ';
        groups += SignedDecimal(id);
      }
      groups += "\r\n";
    }
  }
  if (!groups.empty() || !plan->removed_files.empty()) {
    // The first word that is not a number ends the pack section and is
    // dropped, so a marker stands between the two sections.
    plan->delete_list = groups + "Files:\r\n";
    for (const std::string& f : plan->removed_files) plan->delete_list += f + "\r\n";
  }
  for (const PackMove& m : plan->moves) {
    plan->move_list += SignedDecimal(m.id) + " From:" + m.from + " To:" +
                         m.to + "\r\n";
  }

  return s;
}

struct PatchPack {
  PackWork* work;
  std::string path;  // empty when the pack needs no item
};

// Writes the pack item of every pack the patch ships into, one scratch file
// each, in archive order.
Status BuildPatchPacks(Env* env, const std::string& new_tree,
                       const std::string& patch_dir,
                       std::map<std::string, PackWork>& packs,
                       const std::atomic<bool>& cancel,
                       std::vector<PatchPack>* built) {
  ScratchEnv scratch(env);
  for (auto& [key, w] : packs) {
    if (!w.in_new) continue;
    if (cancel.load(std::memory_order_relaxed)) return Status::Aborted("diff abandoned");
    // A created pack that only receives moved entries gets its file from
    // the move list; one with nothing at all still needs the item to exist.
    const bool needed = !w.delta.shipped.empty() || w.delta.rebuilt ||
                        (w.delta.created && w.new_table.empty());
    w.needed = needed;
    PatchPack item{&w, ""};
    if (needed) {
      item.path = patch_dir + "/pack" + std::to_string(built->size()) +
                  std::string(kTempSuffix);
      Status s = WritePatchPack(&scratch, new_tree + "/" + w.file.rel,
                                w.delta.shipped, item.path);
      if (!s.ok()) {
        env->DeleteFile(item.path);
        return s;
      }
    }
    built->push_back(std::move(item));
  }
  return Status::OK();
}

}  // namespace

std::string FormatDiffSummary(const TreeDiffResult& r) {
  std::string out;
  for (const std::string& p : r.added) out += "added " + p + "\n";
  for (const std::string& p : r.changed) out += "changed " + p + "\n";
  for (const std::string& p : r.removed) out += "removed " + p + "\n";
  for (const PackDelta& d : r.packs) {
    out += "pack " + d.path + " shipped " + std::to_string(d.shipped.size()) +
           " removed " + std::to_string(d.removed.size()) +
           (d.created ? " created" : "") + (d.rebuilt ? " rebuilt" : "") + "\n";
  }
  for (const PackMove& m : r.moves) {
    out += "move " + std::to_string(m.id) + " " + m.from + " " + m.to + "\n";
  }
  out += "items " + std::to_string(r.items) + " bytes " +
         std::to_string(r.archive_bytes) + "\n";
  return out;
}

Status DiffTrees(Env* env, const std::string& old_tree,
                 const std::string& new_tree, const std::string& patch_dir,
                 const TreeDiffOptions& options, TreeDiffResult* result) {
  *result = TreeDiffResult();
  Tree old_files, new_files;
  Status s = Walk(env, old_tree, "", &old_files);
  if (s.ok()) s = Walk(env, new_tree, "", &new_files);
  if (!s.ok()) return s;

  std::set<std::string> old_dirs;
  for (const auto& [key, file] : old_files) {
    for (const std::string& d : ParentDirs(key)) old_dirs.insert(d);
  }

  // What the client would misread.
  for (const auto& [key, file] : new_files) {
    if (key == "del.txt" || key == "move.txt") {
      return Status::InvalidArgument(
          file.rel + ": the client runs a root del.txt or Move.txt as a list");
    }
    if (!file.pack && EndsWith(file.rel, "pac")) {
      return Status::InvalidArgument(
          file.rel + ": the client merges every item ending in \"pac\" as a "
                     "pack; only qmz/fodder/*.pac can be packs");
    }
    if (old_dirs.count(key)) {
      return Status::InvalidArgument(
          file.rel + ": a directory cannot turn into a file in a patch");
    }
    auto old = old_files.find(key);
    if (old != old_files.end() && old->second.pack != file.pack) {
      return Status::InvalidArgument(file.rel + " and " + old->second.rel +
                                     " are one file to a client, but only one "
                                     "is a pack");
    }
    if (file.pack) {
      const std::string item_key = FoldKey(PackItemName(file.rel));
      bool collides = old_files.count(item_key) || new_files.count(item_key);
      for (const std::string& d : ParentDirs(item_key)) {
        collides = collides || old_files.count(d) || new_files.count(d);
      }
      if (collides) {
        return Status::InvalidArgument(
            file.rel + ": the client unpacks this pack to " +
            PackItemName(file.rel) + " before merging, where the tree has a file");
      }
    }
  }

  // Which packs to look into; plain files are compared while the archive
  // is written, so their deflating overlaps the reading.
  std::map<std::string, PackWork> packs;  // by FoldKey
  std::vector<std::pair<const std::string*, const TreeFile*>> plain_new;
  for (const auto& [key, file] : new_files) {
    if (!file.pack) {
      plain_new.emplace_back(&key, &file);
      continue;
    }
    PackWork& w = packs[key];
    w.file = file;
    w.in_new = true;
    w.in_old = old_files.count(key) != 0;
  }
  PackPlan plan;
  for (const auto& [key, file] : old_files) {
    if (new_files.count(key)) continue;
    if (HasWhiteSpace(file.rel)) {
      return Status::InvalidArgument(
          file.rel + ": del.txt cannot name a file with white space in it");
    }
    result->removed.push_back(file.rel);
    plan.removed_files.push_back(Backslashed(file.rel));
    if (file.pack) {
      PackWork& w = packs[key];
      w.file = file;
      w.in_old = true;
    }
  }
  s = env->CreateDirectories(patch_dir);
  if (!s.ok()) return s;

  // The packs are planned and their items built on a second thread while
  // this one compares the plain files; the archive waits only for the two
  // lists that lead it.
  struct PackJob {
    std::mutex mu;
    std::condition_variable cv;
    bool planned = false;  // guarded by mu
    Status plan_status;    // set before planned
    Status build_status;   // set before the thread ends
    std::vector<PatchPack> built;
    std::atomic<bool> cancel{false};
    std::unique_ptr<Thread> thread;
    Env* env = nullptr;
    // Whatever way the diff ends, the job ends first and leaves no file.
    ~PackJob() {
      cancel = true;
      if (thread) thread->Join();
      for (const PatchPack& p : built) {
        if (!p.path.empty()) env->DeleteFile(p.path);
      }
    }
  } job;
  job.env = env;
  auto run_job = [&]() -> uint32_t {
    Status planned = PlanPacks(env, old_tree, new_tree, packs, &plan);
    {
      std::lock_guard<std::mutex> lock(job.mu);
      job.plan_status = planned;
      job.planned = true;
    }
    job.cv.notify_all();
    if (planned.ok()) {
      job.build_status = BuildPatchPacks(env, new_tree, patch_dir, packs,
                                         job.cancel, &job.built);
    }
    return 0;
  };
  if (env->NewThread(run_job, &job.thread).ok()) {
    job.thread->Resume();
  } else {
    job.thread.reset();
    run_job();
  }

  // The archive, in the order the client must act on it.
  const std::string zip_path = patch_dir + "/" + kPatchArchiveName;
  std::unique_ptr<ZipWriter> zip;
  std::vector<const TreeFile*> waiting;  // changed before the archive began
  auto start_archive = [&](bool wait) -> Status {
    {
      std::unique_lock<std::mutex> lock(job.mu);
      if (!job.planned && !wait) return Status::OK();
      job.cv.wait(lock, [&] { return job.planned; });
      if (!job.plan_status.ok()) return job.plan_status;
    }
    Status r = ZipWriter::Create(env, zip_path, options.zip, &zip);
    if (!r.ok()) return r;
    std::set<std::string> dirs;
    for (auto& [key, w] : packs) {
      if (!w.in_new || w.in_old) continue;
      const std::vector<std::string> parents = ParentDirs(w.file.rel);
      if (dirs.insert(FoldKey(parents.back())).second) {
        r = zip->AddDirectory(parents.back());
        if (!r.ok()) return r;
      }
    }
    if (!plan.move_list.empty()) r = zip->AddBytes("Move.txt", plan.move_list);
    if (r.ok() && !plan.delete_list.empty()) {
      r = zip->AddBytes("del.txt", plan.delete_list);
    }
    for (size_t i = 0; r.ok() && i < waiting.size(); ++i) {
      r = zip->AddFile(waiting[i]->rel, new_tree + "/" + waiting[i]->rel);
    }
    return r;
  };

  // Archive order is by name; the summary keeps the trees' order.
  std::sort(plain_new.begin(), plain_new.end(),
            [](const auto& a, const auto& b) { return a.second->rel < b.second->rel; });
  std::set<std::string> added, changed;  // by FoldKey
  CompareBuffers buffers;
  for (size_t i = 0; s.ok() && i < plain_new.size(); ++i) {
    const std::string& key = *plain_new[i].first;
    const TreeFile& file = *plain_new[i].second;
    auto old = old_files.find(key);
    bool same = false;
    if (old != old_files.end()) {
      s = SameContents(env, old_tree + "/" + old->second.rel,
                       new_tree + "/" + file.rel, &buffers, &same);
      if (!s.ok()) return s;
    }
    if (same) continue;
    (old == old_files.end() ? added : changed).insert(key);
    if (!zip) s = start_archive(false);
    if (!s.ok()) break;
    if (zip) {
      s = zip->AddFile(file.rel, new_tree + "/" + file.rel);
    } else {
      waiting.push_back(&file);
    }
  }
  if (s.ok() && !zip) s = start_archive(true);
  if (!s.ok()) return s;
  for (const auto& [key, file] : new_files) {
    if (added.count(key)) result->added.push_back(file.rel);
    if (changed.count(key)) result->changed.push_back(file.rel);
  }
  result->moves = plan.moves;
  result->delete_list = plan.delete_list;
  result->move_list = plan.move_list;

  if (job.thread) job.thread->Join();
  if (!job.build_status.ok()) return job.build_status;
  for (PatchPack& p : job.built) {
    if (!p.path.empty()) {
      s = zip->AddFile(PackItemName(p.work->file.rel), p.path);
      env->DeleteFile(p.path);
      p.path.clear();
      if (!s.ok()) return s;
    }
    const PackDelta& delta = p.work->delta;
    if (p.work->needed || !delta.removed.empty()) result->packs.push_back(delta);
  }
  // Moves that filled a pack are part of its change too.
  for (auto& entry : packs) {
    const auto& w = entry.second;  // a plain name: lambdas below use it
    const bool listed = std::any_of(result->packs.begin(), result->packs.end(),
                                    [&](const PackDelta& d) { return d.path == w.delta.path; });
    const bool moved = std::any_of(result->moves.begin(), result->moves.end(),
                                   [&](const PackMove& m) {
                                     return m.from == w.list_name || m.to == w.list_name;
                                   });
    if (!listed && moved && !w.list_name.empty() && w.in_new) {
      result->packs.push_back(w.delta);
    }
  }
  result->items = zip->item_count();
  if (result->items == 0) {
    return Status::InvalidArgument("the trees are equal: nothing to publish");
  }
  s = zip->Finish();
  if (s.ok()) s = env->GetFileSize(zip_path, &result->archive_bytes);
  if (s.ok()) {
    s = WriteFileAtomically(env, patch_dir + "/" + kPatchSummaryName,
                            FormatDiffSummary(*result));
  }
  return s;
}

}  // namespace dizedir::publish
