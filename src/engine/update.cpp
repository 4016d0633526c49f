// The update task up to the moment the patches are applied: the version
// check, the driver that queues the missing parts, and the apply thread's
// watch over the transfer.
//
// Why a rerun after a crash converges: the fetched lists are deleted and
// fetched again on every run; a part is skipped only when its file on disk
// has the published digest, so a partial part is simply fetched again; and
// curver.bin is only ever replaced whole (see WriteLocalVersions).

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "codec/content_hash.h"
#include "engine/patch_engine.h"
#include "engine/server_address.h"
#include "lists/download_address.h"
#include "lists/list_text.h"
#include "lists/split_archive.h"
#include "platform/confined_path.h"
#include "platform/text.h"
#include "plugin/string_table.h"

namespace dizedir {
namespace {

constexpr uint32_t kStringConnectFailed = 217;
constexpr uint32_t kStringLocalListBad = 220;
constexpr uint32_t kStringPublishedListFetch = 221;
constexpr uint32_t kStringOtherReleaseLine = 222;
constexpr uint32_t kStringListsContradict = 223;
constexpr uint32_t kStringPatchListFetch = 224;
constexpr uint32_t kStringTransferFailed = 225;
constexpr uint32_t kStringClientCurrent = 227;
constexpr uint32_t kStringFreeSpaceQuery = 228;
constexpr uint32_t kStringNoSpace = 229;
constexpr uint32_t kStringPublishedListBad = 230;
constexpr uint32_t kStringPublishedListBadAgain = 231;
constexpr uint32_t kStringPatchListBad = 233;
constexpr uint32_t kStringStalled = 234;
constexpr uint32_t kStringPatchListLoaded = 235;
constexpr uint32_t kStringWrongDigest = 236;
constexpr uint32_t kStringPartStarts = 247;
constexpr uint32_t kStringPartProgress = 248;
constexpr uint32_t kStringDownloadAddressFetch = 250;
constexpr uint32_t kStringOptionalQuestion = 276;

// downloadaddr.txt: an address text and a few mirrors.
constexpr uint32_t kMaxAddressFileBytes = 64 << 10;

// Polls of the apply thread in a row that may pass without progress before
// the transfer is given up. Counted in a row, not over the whole transfer:
// a long update on a flaky line has many short pauses while the downloader
// recovers, and only a pause this long means it cannot.
constexpr int kStallPolls = 120;
// Host texts are cut to what the host's buffers hold.
constexpr size_t kProgressTextLimit = 255;

bool IsMd5Hex(std::string_view text) {
  return text.size() == 32 && std::all_of(text.begin(), text.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
         });
}

// A list names a part's MD5 plainly or scrambled; the plain form, or
// nothing for a text that is neither (the part is then checked after the
// transfer only, and fails there).
std::string PlainMd5(const std::string& listed) {
  if (IsMd5Hex(listed)) return listed;
  std::string plain = Unscramble(listed);
  return IsMd5Hex(plain) ? plain : std::string();
}

std::string Cut(std::string text) {
  if (text.size() > kProgressTextLimit) text.resize(kProgressTextLimit);
  return text;
}

// The directory of the server's files, empty when none.
std::string RemoteDir(const std::string& address) {
  return std::string(SplitServerAddress(address).remote_dir());
}

std::string Lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

// The number of the newest required version a list publishes; 0 when none.
int32_t NewestRequired(const std::vector<VersionRecord>& records) {
  int32_t newest = 0;
  for (const VersionRecord& r : records) {
    if (r.state == 1 && r.number > newest) newest = r.number;
  }
  return newest;
}

template <typename Record>
Record* FindNumber(std::vector<Record>& records, int32_t number) {
  for (Record& r : records) {
    if (r.number == number) return &r;
  }
  return nullptr;
}

}  // namespace

std::string PatchEngine::InClient(std::string_view name) const {
  std::string path = client_dir_;
  path.append(name);
  return path;
}

void PatchEngine::ShowStatus(uint32_t string_id) {
  if (sink_ != nullptr) sink_->SetStatusText(Text(string_id).c_str());
}

void PatchEngine::FinishWith(uint32_t string_id) {
  if (sink_ != nullptr) sink_->Finish(Text(string_id).c_str());
}

void PatchEngine::SetProgress(int32_t value) {
  if (control_ != nullptr) control_->SetProgressValue(value);
}

bool PatchEngine::SleepUnlessStopped(uint32_t millis) {
  // Short steps keep a stop prompt while honouring the polling rhythm.
  const uint32_t start = env_->TickMillis();
  while (!StopRequested() && !apply_cancelled_.load()) {
    const uint32_t elapsed = env_->TickMillis() - start;
    if (elapsed >= millis) return true;
    env_->SleepMillis(std::min<uint32_t>(50, millis - elapsed));
  }
  return false;
}

void PatchEngine::DeleteFetchedLists() {
  env_->DeleteFile(InClient("newver.bin"));
  env_->DeleteFile(InClient("verlist.bin"));
}

bool PatchEngine::Refused(const Refusal& refusal) {
  if (refusal.ok()) return false;
  Fail(refusal.text_id, refusal.detail);
  return true;
}

int64_t PatchEngine::UnixNow() { return env_->LocalTimeToUnix(env_->GetLocalTime()); }

bool PatchEngine::FetchStartLists(const std::string& base_url, const std::string& address_file,
                                  const std::string& published) {
  const std::string manifest = InClient(kReleaseManifestName);
  const std::string signature = InClient(kReleaseManifestSignatureName);
  // Every start pays these round trips, so the files go side by side. The
  // lists cannot wait for the manifest's sizes: each is bounded by what its
  // reader takes, as an unsigned release's is, and must then match the
  // manifest.
  std::vector<SmallFile> files;
  if (guard_.enabled()) {
    files.push_back({base_url + kReleaseManifestName, manifest,
                     static_cast<uint32_t>(kMaxReleaseManifestBytes)});
    files.push_back({base_url + kReleaseManifestSignatureName, signature,
                     static_cast<uint32_t>(minisign::kMaxSignatureFileBytes)});
  }
  files.push_back({base_url + "downloadaddr.txt", address_file, kMaxAddressFileBytes});
  files.push_back({base_url + "curver.bin", published, static_cast<uint32_t>(kMaxListFileBytes)});
  const auto remove_all = [&] {
    for (const SmallFile& file : files) env_->DeleteFile(file.path);
  };
  remove_all();
  FetchSmallFiles(&files);

  size_t next = 0;
  if (guard_.enabled()) {
    // A server that has no manifest or no signature is an unsigned one: the
    // client refuses it, saying so rather than how the transfer failed.
    for (const char* name : {kReleaseManifestName, kReleaseManifestSignatureName}) {
      if (!files[next++].fetched) {
        FailTransfer(kStringSignatureMissing, std::string(" (") + name + ")");
        remove_all();
        return false;
      }
    }
    const Refusal refusal = guard_.AcceptManifest(manifest, signature, UnixNow());
    // The guard keeps what it accepted; the files have served their turn.
    env_->DeleteFile(manifest);
    env_->DeleteFile(signature);
    if (Refused(refusal)) {
      remove_all();
      return false;
    }
  }
  for (const auto& [name, fail_id] :
       {std::pair{"downloadaddr.txt", kStringDownloadAddressFetch},
        std::pair{"curver.bin", kStringPublishedListFetch}}) {
    const SmallFile& file = files[next++];
    if (!file.fetched) {
      FailTransfer(fail_id);
      remove_all();
      return false;
    }
    if (guard_.enabled() && Refused(guard_.CheckFile(name, file.path))) {
      remove_all();
      return false;
    }
  }
  // The mirrors downloadaddr.txt lists share the transfers' load; whatever
  // they send is held to the sizes and digests the region server's lists
  // give.
  std::string address_text;
  mirrors_.clear();
  if (ReadFileToString(env_, address_file, &address_text).ok()) {
    mirrors_ = ParseDownloadAddress(address_text).mirrors;
  }
  return true;
}

bool PatchEngine::CommitTrust() {
  // Only a release the client took in (installed, or found itself current
  // with) raises the floor or adds a rotated key; a refused run leaves the
  // state as it was.
  if (!guard_.enabled() || guard_.Commit().ok()) return true;
  Fail(kStringStateNotSaved);
  return false;
}

bool PatchEngine::FetchReleaseFile(const std::string& base_url, const char* name,
                                   const std::string& path, uint32_t max_bytes, uint32_t fail_id) {
  if (guard_.enabled()) {
    uint64_t signed_size = 0;
    if (Refused(guard_.SignedSize(name, &signed_size))) return false;
    // The bound is what the operator signed: a longer body is cut off at
    // that size instead of filling the disk first.
    if (signed_size < max_bytes) max_bytes = static_cast<uint32_t>(signed_size);
    // A file signed as empty still needs a transfer bound above zero, which
    // would mean "the default"; its hash then refuses any byte.
    if (max_bytes == 0) max_bytes = 1;
  }
  if (!FetchSmallFile(base_url + name, path, max_bytes)) {
    FailTransfer(fail_id);
    env_->DeleteFile(path);
    return false;
  }
  if (guard_.enabled() && Refused(guard_.CheckFile(name, path))) {
    env_->DeleteFile(path);
    return false;
  }
  return true;
}

bool PatchEngine::FetchPatchList(const std::string& base_url, const std::string& patch_list) {
  size_hints_.reset();
  if (guard_.enabled() || !downloader_queue_slots_ || !downloader_files_slot_) {
    return FetchReleaseFile(base_url, "verlist.bin", patch_list, kMaxListFileBytes,
                            kStringPatchListFetch);
  }
  // The publisher writes a manifest into unsigned releases too. It vouches
  // for nothing, but it tells the parts' sizes, each of which would cost a
  // size query's round trip; fetched beside the list it costs none. A
  // release without one is asked as before.
  const std::string manifest = InClient(kReleaseManifestName);
  std::vector<SmallFile> files = {
      {base_url + "verlist.bin", patch_list, static_cast<uint32_t>(kMaxListFileBytes)},
      {base_url + kReleaseManifestName, manifest,
       static_cast<uint32_t>(kMaxReleaseManifestBytes)}};
  env_->DeleteFile(manifest);
  FetchSmallFiles(&files);
  if (!files[0].fetched) {
    FailTransfer(kStringPatchListFetch);
    env_->DeleteFile(patch_list);
  } else if (files[1].fetched) {
    TakeSizeHints(manifest, patch_list);
  }
  env_->DeleteFile(manifest);
  return files[0].fetched;
}

void PatchEngine::TakeSizeHints(const std::string& manifest_path,
                                const std::string& patch_list) {
  std::string text;
  ReleaseManifest manifest;
  if (!ReadFileToString(env_, manifest_path, &text).ok() ||
      !ParseReleaseManifest(text, &manifest).ok()) {
    return;
  }
  // A manifest left from an earlier publish, or one a hand-made release
  // never updated, would hold the parts to sizes they no longer have: only
  // one that names this very patch list is taken.
  const ManifestFile* list = manifest.Find("verlist.bin");
  ContentHash hash{};
  uint64_t size = 0;
  if (list == nullptr || !HashFileContent(env_, patch_list, &hash, &size).ok() ||
      size != list->size || hash != list->hash) {
    return;
  }
  size_hints_ = std::move(manifest);
}

bool PatchEngine::HintedSizes(const std::vector<PlannedPart>& planned,
                              std::vector<uint64_t>* sizes) const {
  if (!size_hints_) return false;
  std::vector<uint64_t> hinted;
  for (const PlannedPart& plan : planned) {
    const ManifestFile* file = size_hints_->Find(PartFileName(plan.part->name));
    if (file == nullptr || file->size == 0) return false;
    hinted.push_back(file->size);
  }
  *sizes = std::move(hinted);
  return true;
}

bool PatchEngine::RecordFilePath(std::string_view file_name, std::string* path) {
  Status s = ConfinePath(client_dir_, file_name, NameKind::kBareName, path);
  if (!s.ok()) {
    Fail(kStringNameRefused, " " + std::string(file_name) + " (" + s.message() + ")");
    return false;
  }
  if (PathUnits(*path) > kMaxPathUnits) {
    Fail(kStringPathTooLong, " (" + std::string(file_name) + ")");
    return false;
  }
  return true;
}

bool PatchEngine::CheckRecordNames(const PatchRecord& record) {
  std::string path;
  if (!RecordFilePath(record.archive, &path)) return false;
  if (record.archive.find(".zip") == std::string::npos &&
      !RecordFilePath(record.archive + ".zip", &path)) {
    return false;
  }
  for (const PartEntry& part : record.parts) {
    if (!RecordFilePath(PartFileName(part.name), &path)) return false;
  }
  return true;
}

void PatchEngine::DeleteRecordFiles(const PatchRecord& record) {
  // Names of local records come from curver.bin, which may be damaged:
  // what the rule refuses names nothing inside the client to delete.
  auto remove = [this](const std::string& file_name) {
    std::string path;
    if (ConfinePath(client_dir_, file_name, NameKind::kBareName, &path).ok()) {
      env_->DeleteFile(path);
    }
  };
  for (const PartEntry& part : record.parts) remove(PartFileName(part.name));
  if (!record.archive.empty() && record.archive.find(".zip") == std::string::npos) {
    remove(record.archive + ".zip");  // a join a killed run left behind
  }
}

void PatchEngine::RemoveStaleTemporaries() {
  // Only names with our own suffix are touched; the walk stays inside the
  // client directory and never follows a link.
  std::vector<std::string> pending = {client_dir_};
  while (!pending.empty()) {
    const std::string dir = pending.back();
    pending.pop_back();
    std::vector<std::string> names;
    if (!env_->GetChildren(dir, &names).ok()) continue;
    for (const std::string& name : names) {
      const std::string path = dir + name;
      if (env_->IsSymbolicLink(path)) continue;
      if (env_->IsDirectory(path)) {
        pending.push_back(path + "/");
      } else if (IsTemporaryName(name)) {
        // A file moved aside for its successor whose successor never
        // arrived is the only copy left: it goes back under its name, and
        // the patch that was replacing it is applied again.
        std::string original;
        if (OriginalOfAsideName(name, &original) && !env_->FileExists(dir + original) &&
            env_->RenameFile(path, dir + original).ok()) {
          continue;
        }
        env_->DeleteFile(path);
      }
    }
  }
}

bool PatchEngine::RunUpdate() {
  if (StopRequested()) return false;
  // Every name is joined to the client directory; without one they would
  // land wherever the process happens to be, or at the root.
  if (client_dir_.empty()) {
    Fail(kStringNoClientDir);
    return false;
  }
  if (!SelectRegion()) return false;

  std::unique_ptr<FileLock> lock;
  if (!BeginServerTask(&lock)) return false;

  const int32_t check = CheckVersion();
  if (check <= 0) return check == 0;
  if (DownloadPatches() < 0) return false;

  StopApplyThread();
  if (StopRequested() && apply_result_.load() != 1) {
    Fail(kStringUpdateStopped);
    return false;
  }
  return apply_result_.load() == 1;
}

bool PatchEngine::BeginServerTask(std::unique_ptr<FileLock>* lock) {
  std::string lock_path;
  if (!ClientPath(kUpdateLockName, &lock_path)) return false;
  if (!env_->LockFile(lock_path, lock).ok()) {
    Fail(kStringUpdateRunning);
    return false;
  }
  // Digests are kept for one run: between runs anything may have happened
  // to the files.
  part_digests_.Clear();
  // Every file the run creates is named below the client directory; check
  // once that the longest of them fits.
  std::string longest;
  if (!ClientPath("qmz_GT\\downloadaddr.txt", &longest)) return false;
  RemoveStaleTemporaries();
  // The trust of this run is what the client held when it started.
  if (Refused(guard_.Load(env_, client_dir_))) return false;
  if (guard_.enabled() && !ClientPath(kReleaseManifestSignatureName, &longest)) return false;

  if (!ApplyCaBundle()) return false;
  ReadTransferSettings();
  // Every transfer of the run goes over as many connections: the lists,
  // the size queries and the queue.
  if (downloader_extended_) downloader_->SetConnections(connections_);
  const int connected = ConnectServer();
  if (connected == 0) Fail(kStringConnectFailed);
  return connected == 1;
}

void PatchEngine::StopApplyThread() {
  if (apply_thread_ == nullptr) return;
  apply_thread_->Join();
  apply_thread_.reset();
}

int32_t PatchEngine::CheckVersion() {
  const std::string address_file = InClient("qmz_GT\\downloadaddr.txt");
  const std::string published = InClient("newver.bin");
  const std::string base_url = SplitServerAddress(server_address_).UrlBase() + "/";
  if ((base_url + "downloadaddr.txt").size() > kMaxPathBytes) {
    Fail(kStringPathTooLong);
    return -1;
  }

  if (!FetchStartLists(base_url, address_file, published)) return -1;
  if (!lists_.ReadLocalVersions(env_, InClient("curver.bin"), client_dir_, &part_digests_)) {
    Fail(kStringLocalListBad);
    return -1;
  }
  if (guard_.enabled()) {
    // A validly signed release of another line (an operator may sign
    // several games with one key) is not this client's, whatever its lists
    // say.
    const std::string line =
        lists_.localVersions.empty() ? std::string() : lists_.localVersions.front().guid;
    if (Refused(guard_.CheckLine(line))) {
      env_->DeleteFile(published);
      return -1;
    }
  }
  if (!lists_.ReadRemoteVersions(env_, published)) {
    Fail(kStringPublishedListBad);
    Fail(kStringPublishedListBadAgain);
    env_->DeleteFile(published);
    return -1;
  }

  const std::string local_id =
      lists_.localVersions.empty() ? "local" : lists_.localVersions.front().guid;
  const std::string remote_id =
      lists_.remoteVersions.empty() ? "remote" : lists_.remoteVersions.front().guid;
  if (local_id != remote_id) {
    Fail(kStringOtherReleaseLine);
    env_->DeleteFile(published);
    return -1;
  }
  installed_base_ = lists_.LastInstalledNumber();
  // Versions only grow, and an installed version is always a required one:
  // a client past the newest published required version was given a
  // version the server does not know (a hostile or mistaken patch), and no
  // patch of this release can bring it back. Saying "current" would hide
  // that for ever.
  const int32_t newest_required = NewestRequired(lists_.remoteVersions);
  if (newest_required > 0 && installed_base_ > newest_required) {
    env_->DeleteFile(published);
    Fail(kStringInstalledAhead, " (" + std::to_string(installed_base_) + " > " +
                                    std::to_string(newest_required) + ")");
    return -1;
  }

  bool update_needed = false;
  bool inconsistent = false;
  // The local pass gives the same outcome for every remote record, so it is
  // made once; an inconsistency anywhere ends the check the same way.
  for (const LocalVersionRecord& l : lists_.localVersions) {
    VersionRecord* r = FindNumber(lists_.remoteVersions, l.number);
    if (l.state == 1) {
      if (r != nullptr && r->state != 1) inconsistent = true;
    } else if (l.state == 2) {
      if (r == nullptr || r->state == 1 || r->state == 2) {
        update_needed = true;
      } else {
        inconsistent = true;
      }
    } else {
      inconsistent = true;
    }
  }
  for (const VersionRecord& r : lists_.remoteVersions) {
    LocalVersionRecord* l = FindNumber(lists_.localVersions, r.number);
    if (r.state == 1) {
      if (l == nullptr || l->state == 2) {
        update_needed = true;
      } else if (l->state != 1) {
        inconsistent = true;
      }
    } else if (r.state == 2) {
      if (l == nullptr || l->state == 2) {
        update_needed = true;
      } else {
        inconsistent = true;
      }
    } else {
      inconsistent = true;
    }
  }
  if (lists_.remoteVersions.empty()) {
    // Without remote records the local pass never runs.
    inconsistent = false;
    update_needed = false;
  }
  if (inconsistent) {
    env_->DeleteFile(published);
    FinishWith(kStringListsContradict);
    return -1;
  }
  if (!update_needed) {
    env_->DeleteFile(published);
    // A run killed after its last curver.bin write leaves only these.
    env_->DeleteFile(InClient("verlist.bin"));
    if (!CommitTrust()) return -1;
    FinishWith(kStringClientCurrent);
    return 0;
  }
  return 1;
}

bool PatchEngine::WaitForPromptAnswer() {
  if (sink_ != nullptr) {
    sink_->SetTotalProgress(Text(kStringOptionalQuestion).c_str(), 0, 1, false);
  }
  prompt_pending_.store(true);
  while (prompt_answer_.load() == 0) {
    if (!SleepUnlessStopped(100)) break;
  }
  prompt_pending_.store(false);
  if (sink_ != nullptr) sink_->SetTotalProgress("", 0, 1, false);
  return !StopRequested();
}

bool PatchEngine::PlanPart(const PartEntry& part, std::vector<PlannedPart>* planned) {
  PlannedPart plan;
  plan.part = &part;
  plan.remote = RemoteDir(server_address_);
  if (!plan.remote.empty()) plan.remote += "\\";
  plan.remote = PartFileName(plan.remote + part.name);
  if (!RecordFilePath(PartFileName(part.name), &plan.local)) return false;
  if (plan.remote.size() > kMaxPathBytes) {
    Fail(kStringPathTooLong);
    return false;
  }
  env_->DeleteFile(plan.local);
  part_digests_.Forget(plan.local);
  if (guard_.enabled() &&
      Refused(guard_.SignedSize(PartFileName(part.name), &plan.signed_size))) {
    return false;
  }
  planned->push_back(std::move(plan));
  return true;
}

bool PatchEngine::QueuePlannedParts(const std::vector<PlannedPart>& planned) {
  std::vector<std::string> remotes;
  for (const PlannedPart& plan : planned) remotes.push_back(plan.remote);
  std::vector<uint64_t> sizes;
  if (guard_.enabled() && downloader_queue_slots_) {
    // The signed sizes are the ones that count: asking the server would
    // cost round trips to learn what the signature already says.
    for (const PlannedPart& plan : planned) sizes.push_back(plan.signed_size);
  } else if (!HintedSizes(planned, &sizes)) {
    RemoteSizes(remotes, &sizes);
  }
  for (size_t i = 0; i < planned.size(); ++i) {
    const PlannedPart& plan = planned[i];
    const uint64_t size = sizes[i];
    if (size == 0) {
      FailTransfer(kStringTransferFailed, " (" + plan.remote + ")");
      return false;
    }
    // The queue holds the part to this size, so a size the operator did not
    // sign is refused before a byte of it is stored.
    if (guard_.enabled() && size != plan.signed_size) {
      Fail(kStringFileAltered, " (" + PartFileName(plan.part->name) + ": " +
                                   std::to_string(size) + " bytes, signed " +
                                   std::to_string(plan.signed_size) + ")");
      return false;
    }
    file_sizes_.push_back(size);
    total_bytes_ += size;
    file_names_.push_back(plan.part->name);
    file_digests_.push_back(plan.part->digest);
    file_locals_.push_back(plan.local);
  }
  return true;
}

void PatchEngine::DropUnpublishedPending() {
  // A pending record stays only while the patch list still offers its
  // version for this client. Anything else (a run cut short against a list
  // that has since changed, thousands of records of a hostile list) would
  // keep the client "needing an update" on every run and keep its part
  // files on disk for ever.
  auto offered = [this](int32_t number) {
    if (number <= installed_base_) return false;
    for (const PatchRecord& r : lists_.patches) {
      if (r.number == number) return r.state == 1 || r.state == 2;
    }
    return false;
  };
  auto& local = lists_.localVersions;
  for (auto it = local.begin(); it != local.end();) {
    if (it->state == 2 && !offered(it->number)) {
      DeleteRecordFiles(*it);
      it = local.erase(it);
    } else {
      ++it;
    }
  }
}

void PatchEngine::AdoptPublishedParts(const PatchRecord& published, LocalVersionRecord* local) {
  // The patch list may publish a pending version under other files than a
  // run before saw (a mended or a hostile list). Files the new list does
  // not name would stay on disk for ever, and the old names, written back
  // to curver.bin, would never match again: the record takes the new
  // archive and parts, keeping the digests of files it already has.
  auto named = [&published](const std::string& name) {
    return std::any_of(published.parts.begin(), published.parts.end(),
                       [&](const PartEntry& p) { return p.name == name; });
  };
  PatchRecord stale;
  for (const PartEntry& part : local->parts) {
    if (!named(part.name)) stale.parts.push_back(part);
  }
  if (local->archive != published.archive) stale.archive = local->archive;
  DeleteRecordFiles(stale);
  std::vector<PartEntry> parts;
  for (const PartEntry& p : published.parts) {
    PartEntry adopted;
    adopted.name = p.name;
    for (const PartEntry& own : local->parts) {
      if (own.name == p.name) adopted.digest = own.digest;
    }
    parts.push_back(std::move(adopted));
  }
  local->parts = std::move(parts);
  local->archive = published.archive;
  local->partCount = static_cast<int32_t>(published.parts.size());
}

int32_t PatchEngine::DownloadPatches() {
  const std::string patch_list = InClient("verlist.bin");
  auto fail_and_clean = [this](uint32_t id) {
    Fail(id);
    DeleteFetchedLists();
    return -1;
  };

  env_->DeleteFile(patch_list);
  if (!FetchPatchList(SplitServerAddress(server_address_).UrlBase() + "/", patch_list)) {
    DeleteFetchedLists();
    return -1;
  }
  if (!lists_.ReadPatches(env_, patch_list)) {
    Fail(kStringPatchListBad);
    env_->DeleteFile(InClient("newver.bin"));
    return -1;
  }
  // Every name the run may open, join or delete is checked before the first
  // file is touched; one refused name fails the run and names the record.
  for (const PatchRecord& r : lists_.patches) {
    if (r.number > installed_base_ && !CheckRecordNames(r)) {
      DeleteFetchedLists();
      return -1;
    }
  }
  const int32_t newest_required = NewestRequired(lists_.remoteVersions);
  if (newest_required > installed_base_ &&
      std::none_of(lists_.patches.begin(), lists_.patches.end(), [&](const PatchRecord& r) {
        return r.number == newest_required && r.state == 1;
      })) {
    // Applying what there is would end below the published version and
    // then call the client complete.
    Fail(kStringNoPathToVersion, " (" + std::to_string(newest_required) + ")");
    DeleteFetchedLists();
    return -1;
  }
  DropUnpublishedPending();
  ShowStatus(kStringPatchListLoaded);

  total_bytes_ = 0;
  prompt_answer_.store(0);
  file_sizes_.clear();
  file_names_.clear();
  file_digests_.clear();
  file_locals_.clear();
  parts_vouched_.clear();
  queue_finished_.store(false);
  queue_ok_.store(false);
  apply_cancelled_.store(false);
  watch_reported_.store(false);
  apply_result_.store(0);
  bool ask = true;

  auto has_part = [](const LocalVersionRecord* l, const PartEntry& p) {
    if (l == nullptr) return false;
    for (const PartEntry& own : l->parts) {
      if (own.name == p.name && own.digest == p.digest) return true;
    }
    return false;
  };

  std::vector<PlannedPart> planned;
  for (const PatchRecord& r : lists_.patches) {
    if (r.number <= installed_base_) continue;
    LocalVersionRecord* l = FindNumber(lists_.localVersions, r.number);
    const bool found = l != nullptr;
    if (found && l->state == 2 && (r.state == 1 || r.state == 2)) AdoptPublishedParts(r, l);
    if (!found) {
      LocalVersionRecord added;
      added.stamp = r.stamp;
      added.guid = r.guid;
      added.number = r.number;
      added.state = r.state == 1 ? 3 : r.state;
      added.partCount = static_cast<int32_t>(r.parts.size());
      for (const PartEntry& p : r.parts) added.AddPart(p.name);
      // In number order, not at the end: the installed base is the last
      // installed record of the list, so a pending record of a higher
      // number left by an earlier run must not end up ahead of this one
      // and hide it from curver.bin once both are applied.
      auto& local = lists_.localVersions;
      local.insert(std::find_if(local.begin(), local.end(),
                                [&](const LocalVersionRecord& l) { return l.number > r.number; }),
                   std::move(added));
      // The added record has no digests, so every part is fetched.
      l = nullptr;
    }
    if (r.state == 1 && (!found || l->state == 2)) {
      if (found) l->state = 3;
      for (const PartEntry& p : r.parts) {
        if (has_part(l, p)) continue;
        if (!PlanPart(p, &planned)) {
          DeleteFetchedLists();
          return -1;
        }
      }
    } else if (r.state == 2 && (!found || l->state == 2)) {
      for (const PartEntry& p : r.parts) {
        if (has_part(l, p)) continue;
        if (ask) {
          ask = false;
          if (!WaitForPromptAnswer()) return fail_and_clean(kStringUpdateStopped);
        }
        if (prompt_answer_.load() == 1 && !PlanPart(p, &planned)) {
          DeleteFetchedLists();
          return -1;
        }
      }
    } else if (r.state == 0 && found) {
      l->state = 0;
      DeleteRecordFiles(*l);
    }
    if (StopRequested()) return fail_and_clean(kStringUpdateStopped);
  }
  if (!QueuePlannedParts(planned)) {
    DeleteFetchedLists();
    return -1;
  }
  if (StopRequested()) return fail_and_clean(kStringUpdateStopped);

  // The filesystem that receives the parts is the client's own. Unpacking
  // asks for its own room once an archive is in: split archives are read
  // from their parts, so no joined copy needs any.
  uint64_t free_bytes = 0;
  if (!env_->GetFreeDiskSpace(client_dir_, &free_bytes).ok()) {
    return fail_and_clean(kStringFreeSpaceQuery);
  }
  if (free_bytes < total_bytes_) {
    return fail_and_clean(kStringNoSpace);
  }

  downloader_->SetRemoteDir(RemoteDir(server_address_).c_str());
  if (downloader_extended_) {
    std::string mirrors;
    for (const std::string& mirror : mirrors_) mirrors += mirror + "\n";
    downloader_->SetMirrors(mirrors.c_str());
  }
  for (size_t i = 0; i < file_names_.size(); ++i) {
    const std::string stored = PartFileName(file_names_[i]);
    downloader_->AddRemoteFile(Lower(stored).c_str());
    downloader_->AddLocalFile(InClient(stored).c_str());
    // The downloader checks each part as it arrives, so a mirror's wrong
    // bytes are fetched again elsewhere, and the digest it checked is the
    // part's for the rest of the run.
    if (downloader_extended_) downloader_->AddFileDigest(PlainMd5(file_digests_[i]).c_str());
    if (downloader_queue_slots_) downloader_->AddFileSize(file_sizes_[i]);
  }

  // The pending records reach curver.bin before any byte arrives, so a run
  // killed during the transfer resumes with what is already on disk.
  lists_.DigestLocalVersions(env_, client_dir_, &part_digests_);
  lists_.WriteLocalVersions(env_, InClient("curver.bin"));

  last_tick_ = env_->TickMillis();
  std::unique_ptr<Thread> thread;
  if (!env_->NewThread([this] { return static_cast<uint32_t>(WatchDownloadsGuarded()); },
                       &thread)
           .ok()) {
    return fail_and_clean(kStringThreadFailed);
  }
  apply_thread_ = std::move(thread);
  apply_thread_->Resume();

  const bool queued_ok = downloader_->DownloadQueue() != 0;
  queue_ok_.store(queued_ok);
  queue_finished_.store(true);
  if (!queued_ok) {
    // Nothing may be applied from an incomplete transfer; the apply thread
    // is ended and joined before the task returns.
    apply_cancelled_.store(true);
    StopApplyThread();
    if (StopRequested()) return fail_and_clean(kStringUpdateStopped);
    if (watch_reported_.load()) {
      DeleteFetchedLists();
      return -1;  // the apply thread reported what it saw
    }
    const int failure = downloader_extended_ ? downloader_->GetLastFailure() : kHttpFailureNone;
    // A signed size the server's answer went against is an altered part
    // too, not a transfer that may succeed another time.
    const bool signed_size_broken =
        guard_.enabled() && downloader_queue_slots_ &&
        (failure == kHttpFailureSizeMismatch || failure == kHttpFailureBodyTooLong);
    if ((failure == kHttpFailureDigestMismatch || signed_size_broken) && !file_names_.empty()) {
      // The part the region server itself sent with other bytes than the
      // list names: the queue stops at the lowest item it could not store.
      const size_t index = static_cast<size_t>(std::clamp<int>(
          downloader_->GetCurrentIndex(), 0, static_cast<int>(file_names_.size()) - 1));
      const std::string detail = " (" + PartFileName(file_names_[index]) + ")";
      // With signatures checked, the signed hash is the check that speaks.
      Fail(guard_.enabled() ? kStringFileAltered : kStringWrongDigest, detail);
      DeleteFetchedLists();
      return -1;
    }
    FailTransfer(kStringTransferFailed);
    DeleteFetchedLists();
    return -1;
  }
  return 1;
}

int32_t PatchEngine::WatchDownloadsGuarded() {
  // Nothing may end this thread through terminate: an exception fails the
  // task with a text, and the transfer is ended so the update thread's
  // blocked queue returns.
  std::string what;
  bool out_of_memory = false;
  try {
    return WatchDownloads();
  } catch (const std::bad_alloc&) {
    out_of_memory = true;
  } catch (const std::exception& e) {
    // Copied here: the message dies with the exception.
    try {
      what = " " + std::string(e.what());
    } catch (...) {
    }
  } catch (...) {
  }
  watch_reported_.store(true);
  apply_result_.store(0);
  downloader_->EndTransfers();
  try {
    if (out_of_memory) {
      Fail(kStringOutOfMemory);
    } else {
      Fail(kStringUnexpectedError, what);
    }
  } catch (...) {
  }
  return 0;
}

void PatchEngine::RemoteSizes(const std::vector<std::string>& remotes,
                              std::vector<uint64_t>* sizes) {
  if (downloader_extended_) {
    // Asked all at once, the round trips overlap instead of adding up.
    std::vector<const char*> names;
    for (const std::string& remote : remotes) names.push_back(remote.c_str());
    sizes->assign(remotes.size(), 0);
    if (!remotes.empty()) {
      downloader_->GetFileSizes(static_cast<uint32_t>(remotes.size()), names.data(),
                                sizes->data());
    }
    return;
  }
  sizes->clear();
  for (const std::string& remote : remotes) {
    sizes->push_back(downloader_->GetFileSize(remote.c_str()));
    // Sizes after a failure are not looked at.
    if (sizes->back() == 0) break;
  }
  sizes->resize(remotes.size());
}

uint64_t PatchEngine::ReceivedBytes() {
  return downloader_extended_ ? downloader_->GetReceivedBytes64()
                              : downloader_->GetReceivedBytes();
}

namespace {

// A fraction as two counts the host's int32_t fields hold: parts of 2 GiB
// and more are shown in KiB.
std::pair<int32_t, int32_t> HostFraction(uint64_t done, uint64_t total) {
  while (total > static_cast<uint64_t>(INT32_MAX)) {
    done >>= 10;
    total >>= 10;
  }
  return {static_cast<int32_t>(std::min(done, total)), static_cast<int32_t>(total)};
}

}  // namespace

void PatchEngine::VouchForParts(size_t stored) {
  if (!downloader_extended_) return;
  parts_vouched_.resize(file_locals_.size(), false);
  // Parts finish side by side: those past the lowest unfinished one that
  // are in place are taken as they come, so their hashing overlaps the
  // rest of the transfer. A window past it keeps the polls cheap.
  constexpr size_t kLookAhead = 64;
  const size_t end = std::min(file_locals_.size(), stored + kLookAhead);
  struct ReadyPart {
    size_t index;
    FileInfo state;
    std::string md5;
    std::optional<ContentHash> hash;
  };
  std::vector<ReadyPart> ready;
  for (size_t i = 0; i < end; ++i) {
    if (parts_vouched_[i]) continue;
    const std::string md5 = PlainMd5(file_digests_[i]);
    const std::string& path = file_locals_[i];
    FileInfo state;
    if (md5.empty() || !env_->GetFileInfo(path, &state).ok()) {
      // Below `stored` a part that cannot be vouched for is read later.
      if (i < stored) parts_vouched_[i] = true;
      continue;
    }
    // Past it, only a part whole at its path has taken its name.
    if (i >= stored && state.size != file_sizes_[i]) continue;
    parts_vouched_[i] = true;
    ready.push_back({i, state, Lower(md5), std::nullopt});
  }
  // The signed hash is taken now, while the rest is still in transfer and
  // the parts' bytes are still in memory, rather than in a read of every
  // part once the last arrives; parts found together are hashed side by
  // side.
  if (guard_.enabled() && !ready.empty()) {
    constexpr size_t kHashThreads = 4;
    std::atomic<size_t> next{0};
    RunOnThreads(env_, std::min(kHashThreads, ready.size()), [&](size_t) {
      for (size_t k = next.fetch_add(1); k < ready.size(); k = next.fetch_add(1)) {
        ContentHash computed{};
        uint64_t size = 0;
        if (HashFileContent(env_, file_locals_[ready[k].index], &computed, &size).ok() &&
            size == ready[k].state.size) {
          ready[k].hash = computed;
        }
      }
    });
  }
  for (const ReadyPart& part : ready) {
    part_digests_.Remember(file_locals_[part.index], part.state, {part.md5, part.hash});
  }
}

int32_t PatchEngine::WatchDownloads() {
  int stall_polls = 0;
  int last_index = -1;
  uint64_t previous_bytes = 0;
  uint64_t previous_queue_bytes = 0;
  const size_t count = file_names_.size();
  while (total_bytes_ != 0 && !queue_finished_.load()) {
    const int reported = downloader_->GetCurrentIndex();
    // Before the first item starts or after the last one ends the index
    // may lie outside the queue; it is never used to index it then.
    const size_t index =
        static_cast<size_t>(std::clamp<int>(reported, 0, static_cast<int>(count) - 1));
    const int n = static_cast<int>(index) + 1;
    uint64_t previous = previous_bytes;
    const bool item_starts = static_cast<int>(index) != last_index;
    VouchForParts(index);
    if (item_starts) {
      lists_.DigestLocalVersions(env_, client_dir_, &part_digests_);
      lists_.WriteLocalVersions(env_, InClient("curver.bin"));
      if (sink_ != nullptr) {
        const std::string text =
            Cut(strings_ != nullptr ? strings_->FormatNarrow(kStringPartStarts, n,
                                                             static_cast<int>(count))
                                    : std::string());
        sink_->SetTotalProgress(text.c_str(), n, static_cast<int32_t>(count), true);
      }
      last_index = static_cast<int>(index);
      previous = 0;
    }
    const uint64_t received = ReceivedBytes();
    const uint64_t delta = received >= previous ? received - previous : 0;
    previous_bytes = received;
    // Parts after the lowest unfinished one are in transfer too: bytes of
    // any of them are progress, and the total bar counts them all.
    const uint64_t queue_bytes =
        downloader_queue_slots_ ? downloader_->GetQueueReceivedBytes64() : 0;
    const bool queue_moved = queue_bytes != previous_queue_bytes;
    previous_queue_bytes = queue_bytes;
    // A part's first poll often comes before its first byte (the request is
    // still on its way): no sign of a stall.
    if (received != previous || queue_moved) {
      stall_polls = 0;
    } else if (!(item_starts && received == 0) && ++stall_polls >= kStallPolls) {
      watch_reported_.store(true);
      Fail(kStringStalled);
      SetProgress(1);
      apply_result_.store(-1);
      downloader_->EndTransfers();  // so the blocked queue returns
      return -1;
    }
    const uint32_t now = env_->TickMillis();
    uint32_t dt = now - last_tick_;
    last_tick_ = now;
    if (dt == 0) dt = 1;
    const uint64_t size = file_sizes_[index];
    uint64_t before = 0;
    for (size_t k = 0; k < index; ++k) before += file_sizes_[k];
    if (sink_ != nullptr) {
      // The texts count KiB in 32 bits: up to 4 TiB a part.
      const std::string text =
          Cut(strings_ != nullptr
                  ? strings_->FormatNarrow(kStringPartProgress, n,
                                           static_cast<uint32_t>(received / 1024),
                                           static_cast<uint32_t>(size / 1024),
                                           static_cast<uint32_t>(delta / dt))
                  : std::string());
      const auto [done, whole] = HostFraction(received, size);
      sink_->SetItemProgress(text.c_str(), done, whole, true);
    }
    const double total = static_cast<double>(total_bytes_);
    const double value =
        downloader_queue_slots_
            ? 1000.0 * static_cast<double>(std::min(queue_bytes, total_bytes_)) / total
            : 1000.0 * (static_cast<double>(before) / total +
                        static_cast<double>(std::min(received, size)) / total);
    SetProgress(static_cast<int32_t>(value));
    if (static_cast<size_t>(n) == count && before + received == total_bytes_) break;
    // The end of the queue does not wait for the next poll: the application
    // starts at once instead of idling for up to a second.
    for (uint32_t slept = 0; slept < 1000 && !queue_finished_.load(); slept += 20) {
      if (!SleepUnlessStopped(20)) break;
    }
    if (StopRequested() || apply_cancelled_.load()) break;
  }
  if (total_bytes_ == 0) SetProgress(1000);

  // Apply only what a finished, successful transfer left on disk.
  while (!queue_finished_.load()) {
    if (!SleepUnlessStopped(20)) break;
  }
  if (apply_cancelled_.load() || StopRequested() || !queue_ok_.load()) {
    apply_result_.store(0);
    return 0;
  }
  VouchForParts(file_names_.size());
  const int32_t result = ApplyPatches();
  apply_result_.store(result);
  return result;
}

}  // namespace dizedir
