// The verify, repair and install tasks: the client directory compared with
// the tree manifest of its version, and what differs fetched from the
// release's content store and put back (engine/tree_repair.h).
//
// Why a rerun after a kill converges: nothing is trusted from an earlier
// run but the objects already fetched, and each of those is checked against
// its hash as it is decoded; the verify that starts every run finds what is
// still wrong, and every change the repair makes is whole or not made.
// curver.bin is written only after the tree is whole, so a client killed
// while installing still says it holds no version and installs again.

#include <algorithm>
#include <atomic>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "engine/patch_engine.h"
#include "engine/server_address.h"
#include "engine/tree_repair.h"
#include "lists/content_store.h"
#include "lists/list_text.h"
#include "lists/tree_manifest.h"
#include "lists/version_lists.h"
#include "platform/case_fold.h"
#include "plugin/string_table.h"

namespace dizedir {
namespace {

constexpr uint32_t kStringLocalListBad = 220;
constexpr uint32_t kStringPublishedListBad = 230;
constexpr uint32_t kStringOtherReleaseLine = 222;
constexpr uint32_t kStringFreeSpaceQuery = 228;
constexpr uint32_t kStringNoSpace = 229;

// The share of the total bar each step of a repair takes.
struct Phase {
  int index;
  int count;
};

int32_t Thousandths(uint64_t done, uint64_t total) {
  if (total == 0) return 0;
  return static_cast<int32_t>(std::min<uint64_t>(done, total) * 1000 / total);
}

std::string Count(size_t n) { return " " + std::to_string(n); }

// The sizes come from a manifest the server wrote: sizes whose sum wraps
// past 2^64 must not pass for a sum that fits the disk.
uint64_t SaturatingAdd(uint64_t a, uint64_t b) {
  return b > std::numeric_limits<uint64_t>::max() - a ? std::numeric_limits<uint64_t>::max()
                                                      : a + b;
}

}  // namespace

void PatchEngine::SetInstallAddress(std::string_view address) {
  install_address_.assign(address);
}

size_t PatchEngine::FindingCount() const {
  std::lock_guard<std::mutex> lock(findings_mu_);
  return findings_.size();
}

bool PatchEngine::GetFinding(size_t index, TreeFinding* finding) const {
  std::lock_guard<std::mutex> lock(findings_mu_);
  if (index >= findings_.size()) return false;
  *finding = findings_[index];
  return true;
}

void PatchEngine::KeepFindings(std::vector<TreeFinding> findings) {
  std::lock_guard<std::mutex> lock(findings_mu_);
  findings_ = std::move(findings);
}

bool PatchEngine::RunVerify() { return RunTreeTask(TreeTask::kVerify); }
bool PatchEngine::RunRepair() { return RunTreeTask(TreeTask::kRepair); }
bool PatchEngine::RunInstall() { return RunTreeTask(TreeTask::kInstall); }

void PatchEngine::ShowTreeProgress(std::string_view item, uint64_t done, uint64_t total,
                                   int phase, int phases) {
  const int32_t item_value = Thousandths(done, total);
  const int32_t total_value = (phase * 1000 + item_value) / std::max(phases, 1);
  if (sink_ != nullptr) {
    // The status line names the step; the bars say how far it got and
    // which file it is at.
    sink_->SetItemProgress(std::string(item).c_str(), item_value, 1000, true);
    sink_->SetTotalProgress("", total_value, 1000, true);
  }
  SetProgress(total_value);
}

bool PatchEngine::RunTreeTask(TreeTask task) {
  KeepFindings({});
  if (StopRequested()) return false;
  if (client_dir_.empty()) {
    Fail(kStringNoClientDir);
    return false;
  }
  if (task == TreeTask::kInstall) {
    if (install_address_.empty() || install_address_.size() > kMaxPathBytes) {
      Fail(install_address_.empty() ? kStringRegionMissing : kStringPathTooLong);
      return false;
    }
    // A region's address has no scheme for plain http; people type one.
    std::string_view address = install_address_;
    constexpr std::string_view kPlain = "http://";
    if (address.size() > kPlain.size() &&
        EqualsIgnoreCaseUtf8(address.substr(0, kPlain.size()), kPlain)) {
      address.remove_prefix(kPlain.size());
    }
    server_address_.assign(address);
    server_port_ = SplitServerAddress(server_address_).secure ? 443 : 80;
    if (downloader_ != nullptr) {
      downloader_->SetHost(SplitServerAddress(server_address_).HostText().c_str());
    }
  } else if (!SelectRegion()) {
    return false;
  }

  std::unique_ptr<FileLock> lock;
  if (!BeginServerTask(&lock)) return false;

  TreeManifest tree;
  bool list_missing = false;
  if (!FetchTreeManifest(&tree, &list_missing)) return false;

  const int phases = task == TreeTask::kVerify ? 1 : 4;
  std::vector<TreeFinding> findings;
  if (!VerifyTree(tree, 0, phases, &findings)) return false;
  const size_t problems = static_cast<size_t>(
      std::count_if(findings.begin(), findings.end(), IsRepairable));
  KeepFindings(findings);
  if (task == TreeTask::kVerify) {
    // Without a list of its own the client was compared with the newest
    // version; a repair writes the list.
    if (list_missing && sink_ != nullptr) sink_->SetNoticeText(Text(kStringLocalListBad).c_str());
    if (problems == 0) {
      FinishWith(kStringTreeIntact);
    } else if (sink_ != nullptr) {
      // The findings are the answer; the task itself did its job.
      sink_->Finish((Text(kStringTreeProblems) + Count(problems)).c_str());
    }
    return true;
  }

  // The directory is the engine's own, and every file in it is deleted
  // once the repair is over: a link standing at its name (a junction on
  // Windows) would send the objects, and their removal, wherever it points,
  // and a file there would block every repair. Either goes, never what a
  // link points at.
  const std::string repair_dir = InClient(kRepairDirName);
  if (env_->IsSymbolicLink(repair_dir) ||
      (env_->FileExists(repair_dir) && !env_->IsDirectory(repair_dir))) {
    if (!env_->DeleteDirectory(repair_dir).ok()) env_->DeleteFile(repair_dir);
    if (env_->FileExists(repair_dir) || env_->IsSymbolicLink(repair_dir)) {
      Fail(kStringDownloadWrite, " (" + std::string(kRepairDirName) + ")");
      return false;
    }
  }
  const std::string object_dir = repair_dir + "\\";
  if (problems > 0) {
    if (!FetchObjects(tree, findings, object_dir, phases)) return false;
    ShowStatus(kStringTreePlacing);
    const Status placed = RepairClientTree(
        env_, client_dir_, tree, findings, object_dir,
        [&](uint64_t done, uint64_t total, std::string_view path) {
          ShowTreeProgress(path, done, total, 2, phases);
          return !StopRequested();
        });
    if (!placed.ok()) return FailRepair(placed, object_dir);
    if (!VerifyTree(tree, 3, phases, &findings)) return false;
    KeepFindings(findings);
    const size_t left = static_cast<size_t>(
        std::count_if(findings.begin(), findings.end(), IsRepairable));
    if (left > 0) {
      Fail(kStringTreeStillDamaged, Count(left));
      return false;
    }
  }
  if (list_missing) {
    // The tree is whole now: only from here on may the client say it holds
    // this version.
    LocalVersionRecord installed;
    installed.stamp = installed_stamp_;
    installed.guid = tree.line;
    installed.number = tree.version;
    installed.state = 1;
    lists_.localVersions = {installed};
    if (!lists_.WriteLocalVersions(env_, InClient("curver.bin"))) {
      Fail(kStringListWriteFailed);
      return false;
    }
  }
  RemoveFetchedObjects(object_dir);
  if (!CommitTrust()) return false;
  FinishWith(task == TreeTask::kInstall ? kStringTreeInstalled : kStringTreeRepaired);
  return true;
}

bool PatchEngine::FetchTreeManifest(TreeManifest* tree, bool* list_missing) {
  const std::string base_url = SplitServerAddress(server_address_).UrlBase() + "/";
  if ((base_url + "downloadaddr.txt").size() > kMaxPathBytes) {
    Fail(kStringPathTooLong);
    return false;
  }
  const std::string address_file = InClient("qmz_GT\\downloadaddr.txt");
  const std::string published = InClient("newver.bin");
  ShowStatus(kStringTreeChecking);
  if (!FetchStartLists(base_url, address_file, published)) return false;
  const bool remote_ok = lists_.ReadRemoteVersions(env_, published);
  env_->DeleteFile(published);
  if (!remote_ok || lists_.remoteVersions.empty()) {
    Fail(kStringPublishedListBad);
    return false;
  }
  const std::string remote_line = lists_.remoteVersions.front().guid;

  // The version to compare with: the installed one, or, for a client that
  // holds no readable list of its own (a new install, a deleted or damaged
  // curver.bin), the newest the server requires. A verify says the list
  // is missing; a repair writes it once the tree is whole.
  const std::string local_list = InClient("curver.bin");
  // Only the records are wanted: the parts a pending update left are not
  // read just to digest them.
  std::string local_text;
  lists_.localVersions.clear();
  const bool local_read =
      ReadFileToString(env_, local_list, &local_text, kMaxListFileBytes).ok() &&
      DecodeLocalVersions(local_text, &lists_.localVersions);
  int32_t version = local_read ? lists_.LastInstalledNumber() : 0;
  *list_missing = version == 0;
  if (!*list_missing) {
    if (lists_.localVersions.front().guid != remote_line) {
      Fail(kStringOtherReleaseLine);
      return false;
    }
  } else {
    for (const VersionRecord& r : lists_.remoteVersions) {
      if (r.state == 1 && r.number > version) {
        version = r.number;
        installed_stamp_ = r.stamp;
      }
    }
    if (version == 0) {
      Fail(kStringPublishedListBad);
      return false;
    }
  }
  if (guard_.enabled() && Refused(guard_.CheckLine(remote_line))) return false;

  const std::string name = TreeManifestFileName(version);
  std::string path;
  if (!ClientPath(name, &path)) return false;
  if (!FetchReleaseFile(base_url, name.c_str(), path, static_cast<uint32_t>(kMaxTreeManifestBytes),
                        kStringTreeListFetch)) {
    return false;
  }
  std::string text;
  Status s = ReadFileToString(env_, path, &text, kMaxTreeManifestBytes);
  env_->DeleteFile(path);
  if (s.ok()) s = ParseTreeManifest(text, tree);
  if (!s.ok()) {
    Fail(kStringTreeListBad, " " + s.message());
    return false;
  }
  if (tree->line != remote_line || tree->version != version) {
    Fail(kStringTreeListOther, " (" + name + ")");
    return false;
  }
  return true;
}

bool PatchEngine::VerifyTree(const TreeManifest& tree, int phase, int phases,
                             std::vector<TreeFinding>* findings) {
  ShowStatus(kStringTreeChecking);
  const Status s = VerifyClientTree(
      env_, client_dir_, tree,
      [&](uint64_t done, uint64_t total, std::string_view path) {
        ShowTreeProgress(path, done, total, phase, phases);
        return !StopRequested();
      },
      findings);
  if (StopRequested()) {
    Fail(kStringUpdateStopped);
    return false;
  }
  if (!s.ok()) {
    Fail(kStringTreeUnreadable, " " + s.message());
    return false;
  }
  return true;
}

bool PatchEngine::FetchObjects(const TreeManifest& tree, const std::vector<TreeFinding>& findings,
                               const std::string& object_dir, int phases) {
  const std::vector<NeededObject> needed = ObjectsToFetch(tree, findings);
  std::vector<const NeededObject*> queued;
  uint64_t fetch_bytes = 0, write_bytes = 0;
  for (const NeededObject& object : needed) {
    write_bytes = SaturatingAdd(write_bytes, object.content_size);
    // An object an earlier run stored whole is kept; its hash is checked
    // when it is decoded, like any other.
    uint64_t size = 0;
    if (env_->GetFileSize(FetchedObjectPath(object_dir, object.hash), &size).ok() &&
        size == object.object_size) {
      continue;
    }
    queued.push_back(&object);
    fetch_bytes = SaturatingAdd(fetch_bytes, object.object_size);
  }
  uint64_t free_bytes = 0;
  if (!env_->GetFreeDiskSpace(client_dir_, &free_bytes).ok()) {
    Fail(kStringFreeSpaceQuery);
    return false;
  }
  if (free_bytes < SaturatingAdd(fetch_bytes, write_bytes)) {
    Fail(kStringNoSpace);
    return false;
  }
  if (queued.empty()) return true;
  // Every object's path has the same length: one check covers them all.
  std::string longest;
  if (!ClientPath(FetchedObjectPath(std::string(kRepairDirName) + "\\", queued.front()->hash),
                  &longest)) {
    return false;
  }
  if (!env_->CreateDirectories(object_dir).ok()) {
    Fail(kStringDownloadWrite, " (" + std::string(kRepairDirName) + ")");
    return false;
  }

  ShowStatus(kStringTreeFetching);
  std::string remote_dir(SplitServerAddress(server_address_).remote_dir());
  downloader_->SetRemoteDir(remote_dir.c_str());
  std::vector<uint64_t> asked;
  if (!downloader_queue_slots_) {
    // An older downloader cannot be told the sizes: it is asked them, and
    // each answer must be the one the manifest gives, so the queue holds
    // every object to its size.
    std::vector<std::string> remotes;
    for (const NeededObject* object : queued) {
      remotes.push_back((remote_dir.empty() ? "" : remote_dir + "\\") +
                        StoreObjectName(object->hash));
    }
    RemoteSizes(remotes, &asked);
    for (size_t i = 0; i < queued.size(); ++i) {
      if (asked[i] != queued[i]->object_size) {
        if (asked[i] == 0) {
          FailTransfer(kStringTreeFetchFailed, " (" + StoreObjectName(queued[i]->hash) + ")");
        } else {
          Fail(kStringSentTooMuch, " (" + StoreObjectName(queued[i]->hash) + ")");
        }
        return false;
      }
    }
  }
  if (downloader_extended_) {
    std::string mirrors;
    for (const std::string& mirror : mirrors_) mirrors += mirror + "\n";
    downloader_->SetMirrors(mirrors.c_str());
  }
  for (const NeededObject* object : queued) {
    downloader_->AddRemoteFile(StoreObjectUrlPath(object->hash).c_str());
    downloader_->AddLocalFile(FetchedObjectPath(object_dir, object->hash).c_str());
    if (downloader_queue_slots_) downloader_->AddFileSize(object->object_size);
  }

  // The queue blocks this thread; a watcher shows how far it got.
  std::atomic<bool> finished{false};
  std::unique_ptr<Thread> watcher;
  if (downloader_queue_slots_ &&
      env_->NewThread(
              [&]() -> uint32_t {
                while (!finished.load()) {
                  ShowTreeProgress("",
                                   downloader_->GetQueueReceivedBytes64(), fetch_bytes, 1,
                                   phases);
                  env_->SleepMillis(100);
                }
                return 0;
              },
              &watcher)
          .ok()) {
    watcher->Resume();
  } else {
    watcher.reset();
  }
  const bool ok = downloader_->DownloadQueue() != 0;
  finished.store(true);
  if (watcher != nullptr) watcher->Join();
  if (ok) return true;
  if (StopRequested()) {
    Fail(kStringUpdateStopped);
  } else {
    FailTransfer(kStringTreeFetchFailed);
  }
  return false;
}

bool PatchEngine::FailRepair(const Status& status, const std::string& object_dir) {
  if (StopRequested() || status.IsAborted()) {
    Fail(kStringUpdateStopped);
    return false;
  }
  if (status.IsNoSpace()) {
    Fail(kStringDiskFull);
    return false;
  }
  if (status.IsCorruption()) {
    // A fetched object that is not what its name says came from the server
    // (or a mirror) as it is: it goes, so the next run fetches it again
    // rather than failing on it for ever.
    bool object_named = false;
    const std::string& message = status.message();
    for (size_t at = 0; at + 64 <= message.size(); ++at) {
      ContentHash hash{};
      if (!ParseContentHashHex(std::string_view(message).substr(at, 64), &hash)) continue;
      object_named = env_->DeleteFile(FetchedObjectPath(object_dir, hash)).ok() || object_named;
      at += 63;
    }
    if (object_named) {
      Fail(kStringTreeObjectDamaged, " " + status.message());
      return false;
    }
  }
  Fail(kStringTreeRepairFailed, " " + status.message());
  return false;
}

void PatchEngine::RemoveFetchedObjects(const std::string& object_dir) {
  // Only what this task puts there: two levels of directories, then the
  // objects (and a transfer's temporaries beside them).
  std::vector<std::string> first, second, objects;
  if (!env_->GetChildren(object_dir, &first).ok()) return;
  for (const std::string& a : first) {
    const std::string dir_a = object_dir + a + "\\";
    second.clear();
    env_->GetChildren(dir_a, &second);
    for (const std::string& b : second) {
      const std::string dir_b = dir_a + b + "\\";
      objects.clear();
      env_->GetChildren(dir_b, &objects);
      for (const std::string& name : objects) env_->DeleteFile(dir_b + name);
      env_->DeleteDirectory(dir_b);
    }
    env_->DeleteDirectory(dir_a);
  }
  env_->DeleteDirectory(object_dir);
}

}  // namespace dizedir
