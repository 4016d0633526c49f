// The host's view of the dizedir plug-in: the two exports, the control
// interface a launcher drives, the progress sink the engine reports through
// and the plug-in info record. A host needs no other header.
//
// Slot numbers are part of the contract on every compiler. Slot 10 takes
// one slot everywhere: on Windows it is what MSVC puts in a vtable for a
// virtual destructor, the scalar deleting destructor, so a launcher built by
// MSVC can `delete` the object through this interface; elsewhere it is one
// disposal operation, since a C++ virtual destructor takes two slots on the
// Itanium ABI and would shift every later slot. PluginDllStop stays the
// documented way to destroy the object on every platform.
//
// Thread-safety: the host drives the control interface from one thread. The
// plug-in's task threads report through ProgressSink concurrently; the
// plug-in guards what PollStatus reads.

#ifndef DIZEDIR_DIZEDIR_H_
#define DIZEDIR_DIZEDIR_H_

#include <cstddef>
#include <cstdint>
#include <new>

#include "dizedir/vk_region.h"

#if defined(_WIN32)
#if defined(DIZEDIR_BUILDING_PLUGIN)
#define DIZEDIR_PLUGIN_API __declspec(dllexport)
#else
#define DIZEDIR_PLUGIN_API __declspec(dllimport)
#endif
#else
#define DIZEDIR_PLUGIN_API __attribute__((visibility("default")))
#endif

// 32-bit GCC on Windows passes the storage of a by-value result in ECX,
// where MSVC (and so a launcher) passes `this`, the storage going first on
// the stack and coming back in EAX. On that compiler the two list slots are
// declared with the storage explicit, which is MSVC's layout of the same
// call; WaitServerList() and WaitUpdateRegionList() stay as plain members.
// An implementation marks its by-value members DIZEDIR_LIST_SLOT_OVERRIDE
// and adds DIZEDIR_LIST_SLOT_ADAPTERS to its class.
#if defined(_WIN32) && defined(__i386__) && defined(__GNUC__) && !defined(__clang__)
#define DIZEDIR_LIST_SLOTS_TAKE_STORAGE 1
#define DIZEDIR_LIST_SLOT_OVERRIDE
#define DIZEDIR_LIST_SLOT_ADAPTERS                                          \
  CVkRegionList* WaitServerListInto(CVkRegionList* storage) override {      \
    return new (storage) CVkRegionList(WaitServerList());                   \
  }                                                                         \
  CVkRegionList* WaitUpdateRegionListInto(CVkRegionList* storage) override { \
    return new (storage) CVkRegionList(WaitUpdateRegionList());             \
  }
#else
#define DIZEDIR_LIST_SLOTS_TAKE_STORAGE 0
#define DIZEDIR_LIST_SLOT_OVERRIDE override
#define DIZEDIR_LIST_SLOT_ADAPTERS
#endif

// Slot 10 as MSVC lays it out: a virtual destructor is one slot holding the
// scalar deleting destructor, `void* __thiscall (unsigned flags)`, which
// destroys the object, frees it when bit 0 of `flags` is set and returns
// `this`. MSVC (and clang in its mode) gets that from a plain virtual
// destructor. GCC on Windows would lay a virtual destructor out the Itanium
// way, in two slots, so there slot 10 is declared as that member itself
// (DeletingDestructor) and an implementation follows MSVC's contract.
// Other platforms keep the one-slot Dispose().
#if defined(_MSC_VER)
#define DIZEDIR_SLOT10_IS_DESTRUCTOR 1
#define DIZEDIR_SLOT10_IS_DELETING_MEMBER 0
#elif defined(_WIN32)
#define DIZEDIR_SLOT10_IS_DESTRUCTOR 0
#define DIZEDIR_SLOT10_IS_DELETING_MEMBER 1
#else
#define DIZEDIR_SLOT10_IS_DESTRUCTOR 0
#define DIZEDIR_SLOT10_IS_DELETING_MEMBER 0
#endif

// Copied to the host by GetPluginInfo; constant.
struct PluginInfoRecord {
  char16_t moduleName[260];  // "qmz.dll"
  int32_t first;             // -1
  char16_t description[260];  // empty
  int32_t second;            // 8
};
static_assert(sizeof(PluginInfoRecord) == 1048, "PluginInfoRecord is the host's 1048-byte record");
static_assert(offsetof(PluginInfoRecord, first) == 520, "first follows moduleName");
static_assert(offsetof(PluginInfoRecord, description) == 524, "description follows first");
static_assert(offsetof(PluginInfoRecord, second) == 1044, "second follows description");

// What PollStatus returns.
enum DizedirPollResult : int { kPollRunning = 0, kPollDone = 1, kPollFailed = 2 };

// One difference a verify found between the client and its release, as
// GetFinding copies it.
enum DizedirFindingKind : int32_t {
  kFindingMissingFile = 1,       // a file or pack of the release is not there
  kFindingDamagedFile = 2,       // a file differs in size or content
  kFindingExtraFile = 3,         // not the release's; a repair leaves it
  kFindingDamagedPackTable = 4,  // a pack that cannot be read as one
  kFindingMissingEntry = 5,      // an entry missing from a pack
  kFindingDamagedEntry = 6,      // an entry that differs
  kFindingExtraEntry = 7,        // an entry the release's pack does not hold
};
struct DizedirFinding {
  int32_t kind;       // a DizedirFindingKind
  uint32_t entryId;   // for the entry kinds
  // Relative to the client directory, components joined by backslashes,
  // UTF-8 and NUL-terminated.
  char path[520];
};
static_assert(sizeof(DizedirFinding) == 528, "DizedirFinding is a 528-byte record");

// The slots after 17 exist only in a plug-in module that exports
// GetDizedirInterfaceSlots and answers more than 18 there; a host asks
// before it uses them.
enum : uint32_t { kDizedirTreeSlots = 23 };

class DizedirInterface {
 public:
  // 0. Fixes the client directory: the directory of the loaded plug-in.
  virtual bool InitClientDir() = 0;
  // 1. Asks the update task to stop; true when it has ended or will end
  // within two seconds. A wait operation still follows.
  virtual bool StopUpdate() = 0;
  // 2. Starts the server-list task.
  virtual bool StartServerList() = 0;
  // 3. Starts the update task from the region at `region_index`.
  virtual bool StartUpdate(uint8_t region_index) = 0;
  // 4. Does nothing.
  virtual bool Reserved(int32_t value) = 0;
  // 5. Fractions and texts of the running task; each text buffer holds at
  // least 256 UTF-16 units. Returns a DizedirPollResult.
  virtual int PollStatus(float* total_fraction, float* item_fraction,
                         char16_t* total_text, char16_t* item_text,
                         char16_t* status_text) = 0;
#if DIZEDIR_LIST_SLOTS_TAKE_STORAGE
  // 6. Waits for the server-list task; constructs a copy of the region list
  // in `storage` and returns `storage`.
  virtual CVkRegionList* WaitServerListInto(CVkRegionList* storage) = 0;
  // 7. Waits for the update task.
  virtual bool WaitUpdate() = 0;
  // 8. Waits for the update task; a copy of the region list, as slot 6.
  virtual CVkRegionList* WaitUpdateRegionListInto(CVkRegionList* storage) = 0;
#else
  // 6. Waits for the server-list task; a copy of the region list.
  virtual CVkRegionList WaitServerList() = 0;
  // 7. Waits for the update task.
  virtual bool WaitUpdate() = 0;
  // 8. Waits for the update task; a copy of the region list.
  virtual CVkRegionList WaitUpdateRegionList() = 0;
#endif
  // 9. Copies the PluginInfoRecord.
  virtual void GetPluginInfo(PluginInfoRecord* info) = 0;
#if DIZEDIR_SLOT10_IS_DESTRUCTOR
  // 10. The scalar deleting destructor: `delete` destroys and frees the
  // object in the plug-in's own heap.
  virtual ~DizedirInterface() {}
#elif DIZEDIR_SLOT10_IS_DELETING_MEMBER
  // 10. MSVC's scalar deleting destructor: destroys the object, frees it
  // when bit 0 of `flags` is set, returns `this`.
  virtual void* DeletingDestructor(unsigned flags) = 0;
#else
  // 10. Destroys and frees the object.
  virtual void Dispose() = 0;
#endif
  // 11. Progress in thousandths during download and application.
  virtual int32_t GetProgressValue() = 0;
  // 12. Number of regions of the first group.
  virtual uint8_t GetPrimaryRegionCount() = 0;
  // 13. Index of the current region.
  virtual uint8_t GetCurrentRegion() = 0;
  // 14. The server list's url text; valid until the server-list task runs
  // again or the object is destroyed.
  virtual const char16_t* GetUrl() = 0;
  // 15. Stores the progress value (the engine calls this itself).
  virtual void SetProgressValue(int32_t value) = 0;

  // Extension slots, which a host written against 0-15 never sees.
  // 16. Answers the optional-patch question: 1 downloads the optional
  // patches, any other nonzero value skips them.
  virtual void AnswerPrompt(int32_t answer) = 0;
  // 17. True while the update task waits for that answer.
  virtual bool IsPromptPending() = 0;

  // Slots 18-22: "verify game files". Each task runs in place of an update
  // (one of them at a time), is polled through PollStatus and
  // GetProgressValue, stopped by StopUpdate and waited for by WaitUpdate.
  // 18. Compares every file and pack entry of the client with the release
  // of its installed version on the update server of the region at
  // `region_index`; done when it could compare, whatever it found.
  virtual bool StartVerify(uint8_t region_index) = 0;
  // 19. The verify, then fetches and puts back what is missing or damaged
  // and verifies again; done when the client then holds the release whole.
  // Files the release does not own are left as they are.
  virtual bool StartRepair(uint8_t region_index) = 0;
  // 20. A repair from the server at `server_address` (UTF-8, as a region
  // gives it: host[:port][/dir], optionally after http:// or https://),
  // without a server list: of the newest version when the client directory
  // holds none yet, which installs a whole client.
  virtual bool StartInstall(const char* server_address) = 0;
  // 21. How many findings the last verify (or the repair's last) made.
  virtual int32_t GetFindingCount() = 0;
  // 22. Copies finding `index`; false past the end.
  virtual bool GetFinding(int32_t index, DizedirFinding* finding) = 0;

#if DIZEDIR_LIST_SLOTS_TAKE_STORAGE
  CVkRegionList WaitServerList() { return TakeList(&DizedirInterface::WaitServerListInto); }
  CVkRegionList WaitUpdateRegionList() {
    return TakeList(&DizedirInterface::WaitUpdateRegionListInto);
  }
#endif

#if !DIZEDIR_SLOT10_IS_DESTRUCTOR
 protected:
  ~DizedirInterface() = default;
#endif

#if DIZEDIR_LIST_SLOTS_TAKE_STORAGE
 private:
  CVkRegionList TakeList(CVkRegionList* (DizedirInterface::*slot)(CVkRegionList*)) {
    alignas(CVkRegionList) unsigned char storage[sizeof(CVkRegionList)];
    CVkRegionList* list = (this->*slot)(reinterpret_cast<CVkRegionList*>(storage));
    CVkRegionList copy(*list);
    list->~CVkRegionList();
    return copy;
  }
#endif
};

// The engine's only way of reporting. Texts are UTF-8 on every platform;
// fractions are two counts.
class ProgressSink {
 public:
  virtual void SetStatusText(const char* text) = 0;                        // 0
  virtual void SetNoticeText(const char* text) = 0;                        // 1
  virtual void SetItemProgress(const char* text, int32_t done,
                               int32_t total, bool update_fraction) = 0;   // 2
  virtual void SetTotalProgress(const char* text, int32_t done,
                                int32_t total, bool update_fraction) = 0;  // 3
  virtual void Finish(const char* text) = 0;                               // 4
  virtual bool ReservedCheck() = 0;                                        // 5
  virtual void Fail(const char* text) = 0;                                 // 6

 protected:
  ~ProgressSink() = default;
};

extern "C" {
// Creates a new plug-in object and remembers it; null when out of memory.
DIZEDIR_PLUGIN_API DizedirInterface* GetDizedirInterface();
// Stops and destroys the remembered object; 0 when there is none.
DIZEDIR_PLUGIN_API int32_t PluginDllStop();
// How many slots the object's interface has (kDizedirTreeSlots); a module
// without this export has 18.
DIZEDIR_PLUGIN_API uint32_t GetDizedirInterfaceSlots();
}

#endif  // DIZEDIR_DIZEDIR_H_
