// PatchEngine: the worker behind the plug-in. It runs the two tasks, the
// server list and the update, and holds what they share: the region list,
// the downloader, the current server and the download queue. It reports to
// the host only through the ProgressSink it is given.
//
// Thread-safety: one task runs at a time, in a thread the plug-in starts.
// RequestStop, AnswerPrompt, IsPromptPending and StopRequested may be called
// from any thread at any time; everything else belongs to the task thread,
// or to the host thread while no task runs.

#ifndef DIZEDIR_ENGINE_PATCH_ENGINE_H_
#define DIZEDIR_ENGINE_PATCH_ENGINE_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "dizedir/dizedir.h"
#include "dizedir/http_interface.h"
#include "dizedir/vk_region.h"
#include "engine/release_guard.h"
#include "engine/tree_repair.h"
#include "lists/part_digest_cache.h"
#include "lists/version_lists.h"
#include "platform/env.h"
#include "platform/http/downloader_slots.h"

namespace dizedir {

class StringTable;
struct ZipArchive;

// How the engine obtains and releases its downloader; the exports of the
// downloader module by default, a fake in tests.
struct DownloaderModule {
  std::function<HttpInterface*()> get = &GetHttpInterface;
  std::function<void(HttpInterface*)> stop = &StopDll;
  // How many slots its interface has; fewer than kDownloaderSlots means the
  // calls of an older module (one connection, 32-bit sizes, no mirrors).
  std::function<uint32_t()> slots = &http::LoadedDownloaderSlots;
};

// The downloader slots the engine uses beyond the first 29: connections,
// sizes at once, 64-bit sizes, mirrors and digests.
inline constexpr uint32_t kDownloaderSlots = 35;
// With two more, the sizes the engine already trusts (a signed release's)
// go to the downloader directly instead of being asked of the server, and
// the total bar counts the bytes of every part in transfer.
inline constexpr uint32_t kDownloaderQueueSlots = 37;
// With one more, small files needed together are fetched side by side.
inline constexpr uint32_t kDownloaderFilesSlots = 38;

// Fixed path and address buffers of the stored formats hold 259 bytes and a
// terminator; anything longer is refused rather than cut.
inline constexpr size_t kMaxPathBytes = 259;
// A path on the local disk holds 259 UTF-16 units and a terminator, the
// Windows limit (PathUnits counts them).
inline constexpr size_t kMaxPathUnits = 259;
// The most connections ng.ini may ask transfers to use at once.
inline constexpr int kMaxConnections = 16;
// The host part of a server address goes into a 64-byte buffer.
inline constexpr size_t kMaxHostBytes = 63;

// String IDs of failures the system reports beyond the original set.
enum ExtraStringId : uint32_t {
  kStringHostTooLong = 300,
  kStringPathTooLong = 301,
  kStringThreadFailed = 302,
  kStringHostFileTooLong = 303,
  kStringHostFileEmpty = 304,
  kStringRegionMissing = 305,
  kStringUpdateRunning = 306,
  kStringExtractFailed = 307,
  kStringPackWriteFailed = 308,
  kStringUpdateStopped = 309,
  kStringListWriteFailed = 310,
  kStringNameRefused = 311,
  kStringNoClientDir = 312,
  kStringOutOfMemory = 313,
  kStringUnexpectedError = 314,
  kStringInstalledAhead = 315,
  kStringNoPathToVersion = 316,
  kStringServerListUnusable = 317,
  kStringDiskFull = 318,
  kStringPatchNotInstalled = 319,
  kStringSentTooMuch = 320,
  kStringTooSlow = 321,
  kStringUnusableAnswer = 322,
  kStringConnectionLost = 323,
  kStringDownloadWrite = 324,
  // 325-340 are the release signatures' (engine/release_guard.h).
  kStringTlsUntrusted = 341,
  kStringTlsWrongName = 342,
  kStringTlsExpired = 343,
  kStringTlsFailed = 344,
  kStringCaBundleUnusable = 345,
  kStringServerListInsecure = 346,
  // Verify, repair and install.
  kStringTreeChecking = 347,
  kStringTreeIntact = 348,
  kStringTreeProblems = 349,
  kStringTreeListFetch = 350,
  kStringTreeListBad = 351,
  kStringTreeListOther = 352,
  kStringTreeFetching = 353,
  kStringTreeFetchFailed = 354,
  kStringTreeObjectDamaged = 355,
  kStringTreeRepairFailed = 356,
  kStringTreePlacing = 357,
  kStringTreeStillDamaged = 358,
  kStringTreeRepaired = 359,
  kStringTreeInstalled = 360,
  kStringTreeUnreadable = 361,
  kStringTreeFailurePrefix = 362,
};

// The file an update holds locked in the client directory, so that two
// launchers never interleave their writes to one client.
inline constexpr const char* kUpdateLockName = "dizedir.lock";

class PatchEngine {
 public:
  // `strings` may be null (every text is then empty); it must outlive the
  // engine, as must `env`.
  PatchEngine(Env* env, const StringTable* strings,
              DownloaderModule downloader_module = DownloaderModule());
  PatchEngine(const PatchEngine&) = delete;
  PatchEngine& operator=(const PatchEngine&) = delete;
  // Stops and joins the apply thread if one still runs, then releases the
  // region list and the downloader.
  ~PatchEngine();

  // The back pointers: where reports go, and the plug-in object whose
  // SetProgressValue slot publishes the progress value.
  void SetPlugin(ProgressSink* sink, DizedirInterface* control);

  // The directory every file name is relative to, with its trailing
  // separator. False (and unchanged) when it would not leave room for names.
  bool SetClientDir(std::string_view dir);
  const std::string& client_dir() const { return client_dir_; }

  // The two tasks; each reports its failures through the sink.
  bool RunServerList();
  bool RunUpdate();
  // The tasks that compare the client with the release of its version: a
  // verify keeps what it found for FindingCount and GetFinding; a repair
  // then fetches and puts back what is missing or damaged and verifies
  // again; an install is a repair from the server SetInstallAddress names,
  // without a server list, of the newest version when the client holds
  // none. They run in the update's place and take its lock.
  bool RunVerify();
  bool RunRepair();
  bool RunInstall();
  void SetInstallAddress(std::string_view address);
  // The findings of the last verify (of a repair, its last); callable from
  // any thread.
  size_t FindingCount() const;
  bool GetFinding(size_t index, TreeFinding* finding) const;

  // Reads the client's patchone.ini into the region list, the first-group
  // count, the current region and the url. A missing file or key reads as
  // empty.
  void ParseRegionList();
  // Takes the current region's server address and port and gives the
  // downloader its host; false (reported) when there is no such region or
  // its address does not fit.
  bool SelectRegion();

  // The steps of the update task. CheckVersion: 1 an update is needed, 0 the
  // client is current, -1 failed. DownloadPatches: 1 the transfer completed
  // and the apply thread runs, -1 failed. ApplyPatches: 1 applied, 0 failed.
  int32_t CheckVersion();
  int32_t DownloadPatches();
  int32_t ApplyPatches();

  const VersionLists& lists() const { return lists_; }
  int32_t installed_base() const { return installed_base_; }

  // 1 connected; 0 the server did not answer (the caller reports it);
  // -1 refused and already reported.
  int ConnectServer();

  // Cooperative stop of the running task: the task, its apply thread and
  // the downloader's transfer all end promptly. Cleared when a task starts.
  void RequestStop();
  bool StopRequested() const { return stop_requested_.load(); }
  void ClearStop() { stop_requested_.store(false); }

  // The answer to the optional-patch question: 1 download, other nonzero
  // values skip, 0 not answered yet.
  void AnswerPrompt(int32_t answer) { prompt_answer_.store(answer); }
  bool IsPromptPending() const { return prompt_pending_.load(); }

  uint8_t current_region() const { return current_region_; }
  void set_current_region(uint8_t index) { current_region_ = index; }
  uint8_t primary_region_count() const { return primary_region_count_; }
  const std::u16string& url() const { return url_; }
  const CVkRegionList& region_list() const { return *region_list_; }
  HttpInterface* downloader() const { return downloader_; }
  const std::string& server_address() const { return server_address_; }
  uint32_t server_port() const { return server_port_; }
  void SetServer(std::string_view address, uint32_t port);
  // How long the fetch of one small file (a list, the server list) may
  // take in all; tests shorten it.
  void set_small_file_deadline(uint32_t millis) { small_file_deadline_millis_ = millis; }

 private:
  // Reports: the string's text followed by `detail`.
  void Fail(uint32_t string_id, std::string_view detail = {});
  // Reports a failed transfer: `string_id` says what was being fetched, the
  // downloader's reason says why; a full disk is said first.
  void FailTransfer(uint32_t string_id, std::string_view detail = {});
  // The string that says why the downloader's last transfer failed; 0 when
  // it gave no reason with a text of its own.
  uint32_t TransferReason() const;
  // Hands the downloader the CA bundle ng.ini names (SETTING, CABundle), a
  // file inside the client directory, or takes a bundle set before back.
  // False (reported) when the name is refused or the file is not usable:
  // no transfer may then trust anything else instead.
  bool ApplyCaBundle();
  // Reads how many connections ng.ini allows transfers (SETTING,
  // Connections; 0: the downloader's default).
  void ReadTransferSettings();
  // DownloadFile of a small file whose reader accepts at most `max_bytes`.
  bool FetchSmallFile(const std::string& url, const std::string& path, uint32_t max_bytes);
  // A small file for FetchSmallFiles, and whether it was stored.
  struct SmallFile {
    std::string url;
    std::string path;
    uint32_t max_bytes = 0;
    bool fetched = false;
  };
  // FetchSmallFile of every file, side by side where the downloader can,
  // else one after another up to the first that fails (the rest are then
  // not fetched). Either way TransferReason tells the first failure in the
  // list's order.
  void FetchSmallFiles(std::vector<SmallFile>* files);
  // Reports a refusal of the release guard; true when there was one.
  bool Refused(const Refusal& refusal);
  // FetchSmallFile of the release file `name`; with signatures checked, the
  // transfer is bounded by the size the manifest signs and the file must
  // match it. False when reported (with `fail_id` for a failed transfer);
  // the file is then gone.
  bool FetchReleaseFile(const std::string& base_url, const char* name, const std::string& path,
                        uint32_t max_bytes, uint32_t fail_id);
  // Fetches what every update start needs from the update server:
  // downloadaddr.txt to `address_file`, curver.bin to `published` and,
  // with signatures checked, release.manifest and its signature, which the
  // guard must accept and the two lists match; then takes the mirrors
  // downloadaddr.txt lists. False when reported; the files are then gone.
  bool FetchStartLists(const std::string& base_url, const std::string& address_file,
                       const std::string& published);
  // The current time for manifest expiry, Unix seconds.
  int64_t UnixNow();
  // Has the guard remember the release the client took in; false when
  // reported.
  bool CommitTrust();
  std::string Text(uint32_t string_id) const;
  // client_dir() + name, or false (reported) when that exceeds the path
  // limit of the stored formats.
  bool ClientPath(std::string_view name, std::string* path);
  // client_dir() + name without a limit check, for names whose length the
  // caller has already bounded.
  std::string InClient(std::string_view name) const;
  void ShowStatus(uint32_t string_id);
  void FinishWith(uint32_t string_id);
  void SetProgress(int32_t value);
  // Sleeps up to `millis`, returning early (false) on a stop request.
  bool SleepUnlessStopped(uint32_t millis);

  // Takes the digests the downloader checked queued parts against as
  // theirs for the run, so no part is read again just to digest it: the
  // first `stored` parts, and any later one already at its path (the
  // downloader names a part only once its digest matched).
  void VouchForParts(size_t stored);
  // What every task that talks to the update server does first: takes the
  // client's lock (held in *lock), clears what an earlier run left, loads
  // the trust, the CA bundle and the transfer settings and connects. False
  // when reported.
  bool BeginServerTask(std::unique_ptr<FileLock>* lock);
  enum class TreeTask { kVerify, kRepair, kInstall };
  bool RunTreeTask(TreeTask task);
  // Fetches the lists and the tree manifest of the version to compare
  // with: the installed one, or the newest required one when the client
  // holds no list of its own (*list_missing). False when reported.
  bool FetchTreeManifest(TreeManifest* tree, bool* list_missing);
  // VerifyClientTree with progress as step `phase` of `phases`; false when
  // reported (stopped, or the directory could not be read).
  bool VerifyTree(const TreeManifest& tree, int phase, int phases,
                  std::vector<TreeFinding>* findings);
  // Fetches the objects a repair of `findings` needs into `object_dir`,
  // bounded by the sizes the manifest gives; false when reported.
  bool FetchObjects(const TreeManifest& tree, const std::vector<TreeFinding>& findings,
                    const std::string& object_dir, int phases);
  // Reports a failed repair (a damaged object is deleted first); false.
  bool FailRepair(const Status& status, const std::string& object_dir);
  void RemoveFetchedObjects(const std::string& object_dir);
  void KeepFindings(std::vector<TreeFinding> findings);
  // The bars at `done` of `total` in step `phase` of `phases`, at `item`.
  void ShowTreeProgress(std::string_view item, uint64_t done, uint64_t total, int phase,
                        int phases);

  // The apply thread's body: watches the transfer, then applies.
  int32_t WatchDownloads();
  // WatchDownloads with every exception turned into a reported failure.
  int32_t WatchDownloadsGuarded();
  // Waits for the optional-patch answer; false when stopped first.
  bool WaitForPromptAnswer();
  // A part to fetch, before its size is known.
  struct PlannedPart {
    const PartEntry* part = nullptr;  // in lists_.patches
    std::string remote;               // relative to the server's root
    std::string local;
    uint64_t signed_size = 0;         // when signatures are checked
  };
  // Checks a part's names and clears its way; false when reported.
  bool PlanPart(const PartEntry& part, std::vector<PlannedPart>* planned);
  // Sizes every planned part and queues them; false when reported.
  bool QueuePlannedParts(const std::vector<PlannedPart>& planned);
  // The sizes of parts on the server, 0 where one cannot be had (and for
  // those after it, which are not asked).
  void RemoteSizes(const std::vector<std::string>& remotes, std::vector<uint64_t>* sizes);
  // Fetches verlist.bin to `patch_list` (FetchReleaseFile's contract) and,
  // for an unsigned release, its manifest beside it for HintedSizes.
  bool FetchPatchList(const std::string& base_url, const std::string& patch_list);
  // Keeps the manifest at `manifest_path` as size hints when it names
  // `patch_list` with that file's very size and hash: then it was written
  // with this list.
  void TakeSizeHints(const std::string& manifest_path, const std::string& patch_list);
  // The sizes the hints give every planned part; false when one is missing.
  bool HintedSizes(const std::vector<PlannedPart>& planned, std::vector<uint64_t>* sizes) const;
  // Bytes of the downloader's current queue item so far.
  uint64_t ReceivedBytes();
  // Joins and stops the apply thread, if one runs.
  void StopApplyThread();
  // Removes the temporaries a killed run left in the client directory.
  void RemoveStaleTemporaries();
  // Applies the patch of `record`, the `index`th (from 0) of the `count`
  // this run applies.
  int32_t ApplyPatch(const PatchRecord& record, size_t index, size_t count);
  // One item of a patch on its way from the archive to its place.
  struct StagedItem {
    enum Kind { kPlain, kMerge, kDeleteList, kMoveList, kWholePack };
    int index = 0;          // in the archive
    std::string name;       // the same as narrow text, for the handlers' rules
    std::string shown;      // the same as UTF-8, for texts
    std::string target;     // confined, relative to the client directory, narrow
    std::string staged;     // where it is unpacked first; empty for a directory
    bool directory = false;
    Kind kind = kPlain;
  };
  // Checks every item's name and kind; 0 (reported) at the first refusal.
  int32_t ScanItems(ZipArchive* zip, const std::string& archive,
                    std::vector<StagedItem>* staged);
  // Unpacks one item under its temporary name (packs are checked there).
  int32_t StageItem(ZipArchive* zip, const StagedItem& item);
  // Moves one unpacked item into place and runs its handler.
  int32_t PlaceItem(const StagedItem& item);
  // client_dir() + a file name taken from a list record, through the name
  // rule; false (reported, naming it) when refused or too long.
  bool RecordFilePath(std::string_view file_name, std::string* path);
  // RecordFilePath on the archive, its joined name and every part file.
  bool CheckRecordNames(const PatchRecord& record);
  // Deletes the part files (and a leftover join) of a record, skipping
  // names the rule refuses.
  void DeleteRecordFiles(const PatchRecord& record);
  // Removes pending local records whose version the patch list no longer
  // offers, with their files.
  void DropUnpublishedPending();
  // Makes a pending record name the files the patch list now publishes for
  // its version, deleting the ones it no longer names.
  void AdoptPublishedParts(const PatchRecord& published, LocalVersionRecord* local);
  void DeleteFetchedLists();
  bool VerifyParts();
  Env* const env_;
  const StringTable* const strings_;
  const DownloaderModule downloader_module_;

  ProgressSink* sink_ = nullptr;
  DizedirInterface* control_ = nullptr;

  int32_t installed_base_ = 0;
  std::atomic<int32_t> prompt_answer_{0};
  std::atomic<bool> prompt_pending_{false};
  std::unique_ptr<CVkRegionList> region_list_;
  uint8_t current_region_ = 0;
  uint8_t primary_region_count_ = 0;
  HttpInterface* downloader_ = nullptr;
  // The downloader has the slots up to kDownloaderSlots, and up to
  // kDownloaderQueueSlots.
  bool downloader_extended_ = false;
  bool downloader_queue_slots_ = false;
  // And up to kDownloaderFilesSlots.
  bool downloader_files_slot_ = false;
  std::u16string url_;
  // As the region list gives it, scheme and all (engine/server_address.h).
  std::string server_address_;
  uint32_t server_port_ = 0;
  // The downloader holds a CA bundle from ng.ini.
  bool ca_bundle_set_ = false;
  std::string client_dir_;
  uint32_t small_file_deadline_millis_ = 120000;

  VersionLists lists_;
  // Connections the downloader may use at once; 0: its default.
  uint32_t connections_ = 0;
  // Base URLs of the mirrors downloadaddr.txt lists.
  std::vector<std::string> mirrors_;
  // What this run has read of its part files.
  PartDigestCache part_digests_;
  // An unsigned release's manifest, untrusted like any server answer: the
  // part sizes it tells stand in for size queries (see TakeSizeHints).
  std::optional<ReleaseManifest> size_hints_;
  ReleaseGuard guard_;
  std::vector<uint64_t> file_sizes_;
  std::vector<std::string> file_names_;
  std::vector<std::string> file_digests_;
  std::vector<std::string> file_locals_;  // where each queued part is stored
  // Queued parts whose digest the downloader's check stands for, by index.
  std::vector<bool> parts_vouched_;
  uint64_t total_bytes_ = 0;
  uint32_t last_tick_ = 0;

  // Of the tree tasks.
  std::string install_address_;
  std::string installed_stamp_;  // of the version an install writes
  mutable std::mutex findings_mu_;
  std::vector<TreeFinding> findings_;  // guarded by findings_mu_

  std::unique_ptr<Thread> apply_thread_;
  std::atomic<int32_t> apply_result_{0};
  std::atomic<bool> stop_requested_{false};
  // Set by the update thread once DownloadQueue has returned, with its
  // result; the apply thread applies nothing before that.
  std::atomic<bool> queue_finished_{false};
  std::atomic<bool> queue_ok_{false};
  // Ends the apply thread without applying (failed queue or a stop).
  std::atomic<bool> apply_cancelled_{false};
  // The apply thread has reported why the transfer ended (a stall, an
  // error of its own); the update thread adds no text of its own then.
  std::atomic<bool> watch_reported_{false};
};

}  // namespace dizedir

#endif  // DIZEDIR_ENGINE_PATCH_ENGINE_H_
