// Patch application: verify every downloaded part, then unpack and apply
// the required patches one at a time.
//
// Why a rerun after a crash converges: each patch is recorded as installed
// (curver.bin rewritten whole) only after its items are extracted, its
// handlers have run and its downloads are deleted. A crash therefore leaves
// at most the one patch in progress unrecorded; the next run fetches its
// parts again and applies it again, which is harmless: extracted files are
// rewritten whole through temporaries, merges replace entries by id, and
// deletions of what is already gone change nothing.

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "codec/content_hash.h"
#include "codec/md5.h"
#include "codec/zip.h"
#include "engine/item_handlers.h"
#include "engine/patch_engine.h"
#include "lists/list_text.h"
#include "lists/split_archive.h"
#include "pack/pack.h"
#include "platform/case_fold.h"
#include "platform/confined_path.h"
#include "platform/text.h"
#include "plugin/string_table.h"

namespace dizedir {
namespace {

constexpr uint32_t kStringArchiveUnusable = 226;
constexpr uint32_t kStringNoSpace = 229;
constexpr uint32_t kStringWrongDigest = 236;
constexpr uint32_t kStringApplyStarts = 242;
constexpr uint32_t kStringUnpackStarts = 243;
constexpr uint32_t kStringItemBefore = 244;
constexpr uint32_t kStringPatchBefore = 245;
constexpr uint32_t kStringUpdateComplete = 246;
constexpr uint32_t kStringAfter = 249;

// The files the update itself keeps at the top of the client directory. A
// patch item under one of these names would be overwritten or deleted by the
// run that unpacked it, or, for the lock, let a second update in.
constexpr std::string_view kEngineFiles[] = {
    "curver.bin",       "newver.bin",    "verlist.bin",
    "patchone_temp.ini", "patchone_temp.ini.minisig", kUpdateLockName, kReleaseStateName,
    kReleaseManifestName, kReleaseManifestSignatureName,
};

// The item's name through the name rule, as UTF-8 in *confined.
Status CheckItemName(const std::u16string& wide, std::string* confined_out) {
  std::string& confined = *confined_out;
  Status s = ConfineName(Utf16ToUtf8(wide), NameKind::kRelativePath, &confined);
  if (s.ok() && !IsConfinedName(wide, NameKind::kRelativePath)) {
    s = Status::InvalidArgument("not valid UTF-16");
  }
  if (!s.ok()) return s;
  for (std::string_view own : kEngineFiles) {
    if (EqualsIgnoreCaseUtf8(confined, own)) {
      return Status::InvalidArgument("a file the update keeps itself");
    }
  }
  return Status::OK();
}

// Marks an unpacked item's temporary name apart from the temporary a pack
// save or a rename makes beside the same target (target + the suffix).
constexpr const char* kStageMark = ".stage";

// Room kept free beyond what a patch declares: for directories, the client
// packs that merges rewrite, and everything else on the disk.
uint64_t UnpackMargin(uint64_t declared) { return (uint64_t{16} << 20) + declared / 16; }

bool EndsWithIgnoringCase(const std::string& text, std::string_view tail) {
  return text.size() >= tail.size() &&
         EqualsIgnoreCaseUtf8(std::string_view(text).substr(text.size() - tail.size()), tail);
}

bool StartsWithIgnoringCase(const std::string& text, std::string_view head) {
  return text.size() >= head.size() &&
         EqualsIgnoreCaseUtf8(std::string_view(text).substr(0, head.size()), head);
}

bool EndsWith(const std::string& text, std::string_view tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// Computes the content hash of the chunks it is handed on a thread of its
// own, while the caller computes the MD5 of the same chunk: checking a
// signed release then costs the time of the slower digest, not of both.
// Without a thread it hashes in the caller's.
class SideHasher {
 public:
  explicit SideHasher(Env* env) {
    if (env->NewThread([this] { return Run(); }, &thread_).ok()) thread_->Resume();
  }
  ~SideHasher() {
    if (thread_ == nullptr) return;
    {
      std::lock_guard<std::mutex> lock(mu_);
      quit_ = true;
    }
    cv_.notify_all();
    thread_->Join();
  }

  // The chunk must stay unchanged until Wait returns.
  void Start(const char* data, size_t size) {
    if (thread_ == nullptr) {
      hasher_.Update(data, size);
      return;
    }
    {
      std::lock_guard<std::mutex> lock(mu_);
      data_ = data;
      size_ = size;
      busy_ = true;
    }
    cv_.notify_all();
  }
  void Wait() {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait(lock, [this] { return !busy_; });
  }
  ContentHash Final() {
    Wait();
    return hasher_.Final();
  }

 private:
  uint32_t Run() {
    std::unique_lock<std::mutex> lock(mu_);
    while (true) {
      cv_.wait(lock, [this] { return busy_ || quit_; });
      if (quit_) return 0;
      lock.unlock();
      hasher_.Update(data_, size_);
      lock.lock();
      busy_ = false;
      cv_.notify_all();
    }
  }

  std::mutex mu_;
  std::condition_variable cv_;
  const char* data_ = nullptr;
  size_t size_ = 0;
  bool busy_ = false;
  bool quit_ = false;
  ContentHasher hasher_;
  std::unique_ptr<Thread> thread_;  // last: joined before the rest goes
};

// Reads a part file once for both of its digests, the content hash only
// when `hash` is not null, unless `cache` holds what is asked for the file
// as it is.
Status DigestPartFile(Env* env, PartDigestCache* cache, const std::string& path,
                      std::string* md5_hex, ContentHash* hash, uint64_t* size) {
  FileInfo state;
  PartDigestCache::Digests kept;
  if (cache->Find(env, path, &state, &kept) && (hash == nullptr || kept.content_hash)) {
    *md5_hex = kept.md5_hex;
    if (hash != nullptr) *hash = *kept.content_hash;
    *size = state.size;
    return Status::OK();
  }
  std::unique_ptr<ReadableFile> file;
  Status s = env->NewReadableFile(path, &file);
  if (!s.ok()) return s;
  constexpr size_t kChunk = 1 << 20;
  std::vector<char> buffer(kChunk);
  Md5 md5;
  std::optional<SideHasher> side;
  if (hash != nullptr) side.emplace(env);
  uint64_t offset = 0;
  while (true) {
    size_t got = 0;
    s = file->Read(offset, kChunk, buffer.data(), &got);
    if (!s.ok()) return s;
    if (got == 0) break;
    if (side) side->Start(buffer.data(), got);
    md5.Update(buffer.data(), got);
    if (side) side->Wait();
    offset += got;
  }
  *md5_hex = md5.HexFinal();
  if (side) *hash = side->Final();
  *size = offset;
  if (state.modified_nanos != 0) {
    cache->Remember(path, state,
                    {*md5_hex, hash != nullptr ? std::optional<ContentHash>(*hash) : std::nullopt});
  }
  return Status::OK();
}

}  // namespace

bool PatchEngine::VerifyParts() {
  // The parts fetched by this run are checked against the list's MD5. With
  // signatures checked, every part of every patch about to be applied is
  // also checked against the manifest, in the same read: parts an earlier
  // run fetched were only matched by MD5, which a forger can collide.
  std::vector<std::pair<std::string, std::string>> checks;  // name, MD5 or ""
  for (size_t v = 0; v < file_names_.size(); ++v) {
    checks.emplace_back(file_names_[v], file_digests_[v]);
  }
  if (guard_.enabled()) {
    for (const PatchRecord& record : lists_.patches) {
      if (record.number <= installed_base_ || record.state != 1) continue;
      for (const PartEntry& part : record.parts) {
        if (std::none_of(checks.begin(), checks.end(),
                         [&](const auto& c) { return c.first == part.name; })) {
          checks.emplace_back(part.name, std::string());
        }
      }
    }
  }
  for (const auto& [name, expected] : checks) {
    const std::string stored = PartFileName(name);
    std::string path, digest;
    ContentHash hash{};
    uint64_t size = 0;
    // Streamed: parts may be far larger than memory.
    const bool read =
        ConfinePath(client_dir_, stored, NameKind::kBareName, &path).ok() &&
        DigestPartFile(env_, &part_digests_, path, &digest, guard_.enabled() ? &hash : nullptr,
                       &size)
            .ok();
    // The signed hash speaks first: it is the check a forger cannot pass.
    bool good = true;
    if (guard_.enabled()) {
      good = !Refused(read ? guard_.CheckHash(stored, size, hash)
                           : Refusal{kStringFileAltered, " (" + stored + ")"});
    }
    if (good && !expected.empty() &&
        (!read || (digest != expected && Scramble(digest) != expected))) {
      Fail(kStringWrongDigest, " (" + stored + ")");
      good = false;
    }
    if (!good) {
      // A part with the wrong bytes is worthless; the next run fetches it
      // again. Parts that verified stay for the next run to reuse.
      if (!path.empty()) {
        env_->DeleteFile(path);
        part_digests_.Forget(path);
      }
      return false;
    }
  }
  return true;
}

int32_t PatchEngine::ApplyPatches() {
  downloader_->EndTransfers();
  // The bars said which part was arriving; none is any more.
  if (sink_ != nullptr) {
    sink_->SetItemProgress("", 0, 1, true);
    sink_->SetTotalProgress("", 0, 1, true);
  }
  ShowStatus(kStringApplyStarts);
  if (!VerifyParts()) {
    DeleteFetchedLists();
    return 0;
  }
  SetProgress(1);
  ShowStatus(kStringUnpackStarts);

  // The list may still name versions the client already holds: the bars
  // count only the patches this run applies.
  const auto applies = [this](const PatchRecord& r) {
    return r.number > installed_base_ && r.state == 1;
  };
  const size_t count = static_cast<size_t>(
      std::count_if(lists_.patches.begin(), lists_.patches.end(), applies));
  size_t applied = 0;
  for (const PatchRecord& record : lists_.patches) {
    if (!applies(record)) continue;
    if (ApplyPatch(record, applied, count) != 1) {
      DeleteFetchedLists();
      return 0;
    }
    ++applied;
  }

  DeleteFetchedLists();
  lists_.DigestLocalVersions(env_, client_dir_, &part_digests_);
  for (LocalVersionRecord& l : lists_.localVersions) {
    if (l.state == 3) l.state = 1;
  }
  if (!lists_.WriteLocalVersions(env_, InClient("curver.bin"))) {
    Fail(kStringListWriteFailed);
    return 0;
  }
  if (!CommitTrust()) return 0;
  SetProgress(1000);
  FinishWith(kStringUpdateComplete);
  return 1;
}

int32_t PatchEngine::ScanItems(ZipArchive* zip, const std::string& archive,
                               std::vector<StagedItem>* staged) {
  ZipItem item;
  ZipGetItem(zip, -1, &item);
  const int count = item.index;
  for (int c = 0; c < count; ++c) {
    if (ZipGetItem(zip, c, &item) != ZipResult::kOk) {
      Fail(kStringExtractFailed, " (" + archive + ")");
      return 0;
    }
    std::string confined;
    const Status allowed = item.symbolic_link ? Status::InvalidArgument("a symbolic link")
                                              : CheckItemName(item.name, &confined);
    if (!allowed.ok()) {
      Fail(kStringNameRefused, " " + Utf16ToUtf8(item.name) + " (" + allowed.message() + ")");
      return 0;
    }
    StagedItem s;
    s.index = c;
    s.name = Utf16ToUtf8(item.name);
    s.shown = s.name;
    s.target = confined;
    s.directory = (item.attributes & kZipAttrDirectory) != 0 || item.name.back() == u'/' ||
                  item.name.back() == u'\\';
    if (!s.directory) {
      s.staged = s.target + kStageMark + std::string(kTempSuffix);
      if (EndsWith(s.name, "pac")) {
        s.kind = StagedItem::kMerge;
      } else if (s.name == "del.txt") {
        s.kind = StagedItem::kDeleteList;
      } else if (s.name == "Move.txt") {
        s.kind = StagedItem::kMoveList;
      } else if (EndsWithIgnoringCase(s.target, ".pac")) {
        s.kind = StagedItem::kWholePack;
      }
    }
    staged->push_back(std::move(s));
  }
  return 1;
}

int32_t PatchEngine::StageItem(ZipArchive* zip, const StagedItem& item) {
  // Directories are made at once: an empty directory changes no file.
  const ZipResult extracted =
      item.directory
          ? ZipUnzipItem(zip, item.index, NarrowToUtf16(InClient(item.target)))
          : ZipUnzipItem(zip, item.index, NarrowToUtf16(InClient(item.target + kStageMark)),
                         ZipPlacement::kBesideTarget);
  if (extracted == ZipResult::kRefused || extracted == ZipResult::kSymlink) {
    Fail(kStringNameRefused, " " + item.shown);
    return 0;
  }
  if (extracted == ZipResult::kDiskFull) {
    Fail(kStringDiskFull, " (" + item.shown + ")");
    return 0;
  }
  if (extracted != ZipResult::kOk) {
    Fail(kStringExtractFailed, " (" + item.shown + ")");
    return 0;
  }
  if (item.kind == StagedItem::kMerge || item.kind == StagedItem::kWholePack) {
    // A pack that does not load would fail the merge half-way through the
    // patch, or, shipped whole, replace a good client pack with a broken
    // one that every later update then fails on.
    const Status checked = PackCheck(env_, InClient(item.staged), item.target);
    if (!checked.ok()) {
      Fail(kStringPatchNotInstalled, " " + item.shown + " (" + checked.message() + ")");
      return 0;
    }
  }
  return 1;
}

int32_t PatchEngine::PlaceItem(const StagedItem& item) {
  if (item.directory) return 1;
  Status handled;
  if (item.kind == StagedItem::kMerge) {
    // Merged from its temporary name into the pack it names: an item that
    // already sits under the pack directory names its own pack there, any
    // other one the pack of the same name under it. Never unpacked over
    // the client's pack.
    const std::string packs = kPackDirectory;
    const std::string target = StartsWithIgnoringCase(item.target, packs)
                                   ? item.target
                                   : packs + item.target;
    handled = MergePack(env_, client_dir_, item.staged, target, &stop_requested_);
  } else {
    const std::string target = InClient(item.target);
    // A directory where a file item goes (left by an older patch or by
    // hand) would fail this patch on every run; an empty one can go.
    if (env_->IsDirectory(target) && !env_->DeleteDirectory(target).ok()) {
      Fail(kStringExtractFailed, " (" + item.shown + ": a directory is in the way)");
      return 0;
    }
    handled = env_->RenameFile(InClient(item.staged), target);
    if (handled.ok() && item.kind == StagedItem::kDeleteList) {
      handled = RunDeleteList(env_, client_dir_, &stop_requested_);
    } else if (handled.ok() && item.kind == StagedItem::kMoveList) {
      handled = RunMoveList(env_, client_dir_, &stop_requested_);
    }
    // A list that failed is unpacked again by the rerun of its patch; left
    // here it would outlive a patch list that no longer carries it.
    if (!handled.ok() && item.kind != StagedItem::kPlain &&
        item.kind != StagedItem::kWholePack) {
      env_->DeleteFile(target);
    }
  }
  if (!handled.ok()) {
    if (handled.IsAborted()) {
      Fail(kStringUpdateStopped);
    } else if (handled.code() == Status::Code::kInvalidArgument) {
      Fail(kStringNameRefused, " " + handled.message());
    } else if (handled.IsNoSpace()) {
      Fail(kStringDiskFull, " (" + item.shown + ")");
    } else {
      Fail(kStringPackWriteFailed, " (" + item.shown + ": " + handled.message() + ")");
    }
    return 0;
  }
  return 1;
}

int32_t PatchEngine::ApplyPatch(const PatchRecord& record, size_t index, size_t count) {
  // The player knows a patch by its version; the fraction says how many of
  // this run's patches are in.
  const std::string shown = Text(kStringPatchBefore) + std::to_string(record.number) +
                            Text(kStringAfter);
  if (sink_ != nullptr) {
    sink_->SetTotalProgress(shown.c_str(), static_cast<int32_t>(index),
                            static_cast<int32_t>(count), true);
    sink_->SetItemProgress("", 0, 1, true);
  }
  const bool split = record.archive.find(".zip") == std::string::npos;
  // The name failure texts give a split archive is the one its parts make.
  const std::string archive = split ? record.archive + ".zip" : record.archive;
  std::vector<std::u16string> files;
  if (split) {
    // Read from the verified parts where they lie. An older version joined
    // them into the archive's name first; a copy its killed run left there
    // only takes room the unpacking needs.
    env_->DeleteFile(InClient(archive));
    for (const PartEntry& part : record.parts) {
      files.push_back(NarrowToUtf16(InClient(PartFileName(part.name))));
    }
  } else {
    files.push_back(NarrowToUtf16(InClient(archive)));
  }
  ZipResult why = ZipResult::kOk;
  ZipArchive* zip = ZipOpenParts(env_, files, &why);
  if (zip == nullptr) {
    const char* reason = why == ZipResult::kOverlap  ? ": items share their data"
                         : why == ZipResult::kLimits ? ": too many or too large items"
                                                     : "";
    // Parts that cannot all be opened are named as the list names them;
    // bytes that make no usable archive, as the archive they make.
    const bool parts_unreadable =
        split && (why == ZipResult::kArguments || why == ZipResult::kNoFile);
    Fail(kStringArchiveUnusable,
         " (" + (parts_unreadable ? record.archive : archive) + reason + ")");
    return 0;
  }
  // Unpacking writes at most what the items declare (extraction refuses
  // more), and needs it all at once since every item is unpacked before the
  // first one takes its place; a disk that cannot hold that plus room to
  // spare is refused before anything is written.
  ZipTotals totals;
  uint64_t free_bytes = 0;
  const bool sized = ZipGetTotals(zip, &totals) == ZipResult::kOk;
  if (!sized || !env_->GetFreeDiskSpace(client_dir_, &free_bytes).ok() ||
      free_bytes < totals.uncompressed_bytes ||
      free_bytes - totals.uncompressed_bytes < UnpackMargin(totals.uncompressed_bytes)) {
    ZipClose(zip);
    Fail(kStringNoSpace, " (" + archive + ": " +
                             std::to_string(totals.uncompressed_bytes >> 20) + " MiB)");
    return 0;
  }
  ZipSetBaseDir(zip, NarrowToUtf16(client_dir_));
  ZipItem item;
  ZipGetItem(zip, -1, &item);
  const int items = item.index;
  // Each patch takes an equal share of the progress value.
  auto progress = [&](int done) {
    const double share = (static_cast<double>(index) + static_cast<double>(done) / items) /
                         static_cast<double>(count);
    const int32_t value = static_cast<int32_t>(1000.0 * share);
    SetProgress(value == 0 ? 1 : value);
  };

  // Three passes, so that a patch that cannot be applied whole changes
  // nothing: every name and kind is checked before anything is written;
  // every item is then unpacked beside its target under a temporary name
  // (packs are checked there too); only then do the items take their names
  // and the handlers run, in archive order. A crash in between leaves
  // temporaries that the next run sweeps, and the patch is applied again.
  std::vector<StagedItem> staged;
  int32_t result = ScanItems(zip, archive, &staged);
  size_t parts_released = 0;
  for (size_t c = 0; c < staged.size() && result == 1; ++c) {
    result = StageItem(zip, staged[c]);
    // A part every later item lies beyond has given all it holds: deleted
    // now, the disk never holds the whole patch twice over. A kill before
    // the patch is in place costs fetching such parts again, as a damaged
    // part would; the list still names them and their digests.
    if (result == 1 && split) {
      const size_t released =
          std::min(ZipReleaseParts(zip, static_cast<int>(c) + 1), record.parts.size());
      for (; parts_released < released; ++parts_released) {
        env_->DeleteFile(InClient(PartFileName(record.parts[parts_released].name)));
      }
    }
    if (result != 1) break;
    progress(static_cast<int>(c) + 1);
    if (sink_ != nullptr) {
      sink_->SetItemProgress((Text(kStringItemBefore) + staged[c].shown).c_str(),
                             static_cast<int32_t>(c + 1), items, true);
    }
    if (StopRequested()) {
      Fail(kStringUpdateStopped);
      result = 0;
    }
  }
  for (size_t c = 0; c < staged.size() && result == 1; ++c) {
    result = PlaceItem(staged[c]);
    if (result == 1 && StopRequested()) {
      Fail(kStringUpdateStopped);
      result = 0;
    }
    if (result == 1 && sink_ != nullptr) {
      sink_->SetItemProgress(
          (Text(kStringItemBefore) + staged[c].shown + Text(kStringAfter)).c_str(),
          static_cast<int32_t>(c + 1), items, true);
    }
  }
  if (result != 1) {
    for (const StagedItem& item : staged) {
      if (!item.staged.empty()) env_->DeleteFile(InClient(item.staged));
    }
  }
  ZipClose(zip);
  if (result == 1 && items == 0) {
    // An empty archive cannot be what was published; stopping here keeps
    // later patches from being recorded ahead of it.
    Fail(kStringArchiveUnusable, " (" + archive + ")");
    result = 0;
  }
  if (result != 1) return result;

  // The downloads go before the record says installed: a crash in between
  // only makes the next run fetch and apply this patch once more.
  for (const PartEntry& part : record.parts) env_->DeleteFile(InClient(PartFileName(part.name)));
  for (LocalVersionRecord& l : lists_.localVersions) {
    if (l.number == record.number && l.state == 3) l.state = 1;
  }
  if (!lists_.WriteLocalVersions(env_, InClient("curver.bin"))) {
    Fail(kStringListWriteFailed);
    return 0;
  }
  if (sink_ != nullptr) {
    sink_->SetTotalProgress(shown.c_str(), static_cast<int32_t>(index + 1),
                            static_cast<int32_t>(count), true);
  }
  return 1;
}

}  // namespace dizedir
