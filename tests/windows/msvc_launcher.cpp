// A launcher as MSVC builds one, to prove that the Windows modules serve
// it: compiled by clang in Microsoft's ABI (i686-pc-windows-msvc) from the
// public headers alone and linked by lld-link against import libraries
// made from the built DLLs' exports. No MSVC runtime exists here, so the
// program brings its own entry point, heap operators and the few kernel32
// calls it needs.
//
// Every call into the modules is bracketed by two reads of ESP. A callee
// that pops a different number of bytes than the caller pushed (a calling
// convention mismatch) stops the run at once with the call's name, before
// the damaged stack can do anything else.
//
// Run from a client directory holding the four modules, whose IPconfig.dat
// names a host nothing listens on: both tasks fail, without any network.

#include <cstddef>
#include <cstdint>
#include <new>

#include "dizedir/dizedir.h"
#include "dizedir/vk_region.h"

extern "C" {
__declspec(dllimport) void* __stdcall GetStdHandle(unsigned long which);
__declspec(dllimport) int __stdcall WriteFile(void* file, const void* data, unsigned long size,
                                              unsigned long* written, void* overlapped);
__declspec(dllimport) void __stdcall ExitProcess(unsigned code);
__declspec(dllimport) void* __stdcall GetProcessHeap();
__declspec(dllimport) void* __stdcall HeapAlloc(void* heap, unsigned long flags, size_t size);
__declspec(dllimport) int __stdcall HeapFree(void* heap, unsigned long flags, void* block);
__declspec(dllimport) void __stdcall Sleep(unsigned long millis);

// The compiler references this whenever floating point is used; the C
// runtime would define it.
int _fltused = 0;

// Code generation may call these for block copies and fills even here.
// -ffreestanding keeps the loops from being turned back into calls.
void* memset(void* to, int value, size_t size) {
  unsigned char* p = static_cast<unsigned char*>(to);
  while (size-- > 0) *p++ = static_cast<unsigned char>(value);
  return to;
}
void* memcpy(void* to, const void* from, size_t size) {
  unsigned char* p = static_cast<unsigned char*>(to);
  const unsigned char* q = static_cast<const unsigned char*>(from);
  while (size-- > 0) *p++ = *q++;
  return to;
}
}

void* operator new(size_t size) { return HeapAlloc(GetProcessHeap(), 0, size != 0 ? size : 1); }
void operator delete(void* block) noexcept {
  if (block != nullptr) HeapFree(GetProcessHeap(), 0, block);
}
void operator delete(void* block, size_t) noexcept { operator delete(block); }

namespace {

// ---- Output and verdicts ---------------------------------------------------

void Print(const char* text) {
  unsigned long size = 0;
  while (text[size] != 0) ++size;
  unsigned long written = 0;
  WriteFile(GetStdHandle(static_cast<unsigned long>(-11)), text, size, &written, nullptr);
}

void PrintNumber(long value) {
  char digits[16];
  char* p = digits + sizeof digits;
  *--p = 0;
  const bool negative = value < 0;
  unsigned long magnitude = negative ? 0ul - static_cast<unsigned long>(value)
                                     : static_cast<unsigned long>(value);
  do {
    *--p = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  if (negative) *--p = '-';
  Print(p);
}

int g_checks = 0;
int g_failures = 0;

void Expect(bool ok, const char* what) {
  ++g_checks;
  if (ok) return;
  ++g_failures;
  Print("FAILED: ");
  Print(what);
  Print("\n");
}

__attribute__((always_inline)) inline uintptr_t StackPointer() {
  uintptr_t esp;
  __asm__ volatile("movl %%esp, %0" : "=r"(esp) : : "memory");
  return esp;
}

void CheckStack(uintptr_t before, uintptr_t after, const char* call) {
  ++g_checks;
  if (before == after) return;
  Print("FAILED: ESP moved by ");
  PrintNumber(static_cast<long>(after - before));
  Print(" bytes across ");
  Print(call);
  Print("\n");
  ExitProcess(3);
}

// Runs the statement(s) and fails the run when ESP is not where it was.
#define CHECKED(call, ...)                     \
  do {                                         \
    const uintptr_t esp_before = StackPointer(); \
    __VA_ARGS__;                               \
    CheckStack(esp_before, StackPointer(), call); \
  } while (0)

bool Same(const char16_t* a, const char16_t* b) {
  if (a == nullptr || b == nullptr) return a == b;
  while (*a != 0 && *a == *b) ++a, ++b;
  return *a == *b;
}

// ---- The region list through VkMain.dll's MSVC names -----------------------

// The constructors as MSVC code holds them, through the import table: a
// plain call with `this` in ECX whose EAX must come back as `this`, which
// MSVC may use in place of its own copy of the pointer. (clang itself keeps
// its copy, so the ordinary expressions below would not notice.)
extern "C" {
extern void* const kRegionConstructor __asm__("__imp_??0CVkRegion@@QAE@PB_S0I0I00@Z");
extern void* const kRegionCopyConstructor __asm__("__imp_??0CVkRegion@@QAE@ABV0@@Z");
extern void* const kListConstructor __asm__("__imp_??0CVkRegionList@@QAE@XZ");
extern void* const kListCopyConstructor __asm__("__imp_??0CVkRegionList@@QAE@ABV0@@Z");
}
typedef void*(__thiscall* RegionConstructor)(void*, const char16_t*, const char16_t*, uint32_t,
                                              const char16_t*, uint32_t, const char16_t*,
                                              const char16_t*);
typedef void*(__thiscall* CopyConstructor)(void*, const void*);
typedef void*(__thiscall* DefaultConstructor)(void*);

alignas(CVkRegion) unsigned char g_region_storage[sizeof(CVkRegion)];
alignas(CVkRegionList) unsigned char g_list_storage[sizeof(CVkRegionList)];

void ConstructorsReturnThis(const CVkRegion& region, const CVkRegionList& list) {
  void* returned = nullptr;
  CHECKED("CVkRegion::CVkRegion (import)",
          returned = reinterpret_cast<RegionConstructor>(kRegionConstructor)(
              g_region_storage, u"west", u"10.1.1.1", 81, u"gw", 1, u"", u"west"));
  Expect(returned == g_region_storage, "CVkRegion's constructor returns this");
  CVkRegion* built = reinterpret_cast<CVkRegion*>(g_region_storage);
  Expect(Same(built->serverAddress, u"10.1.1.1") && built->port == 81,
         "CVkRegion's constructor fills the record");
  CHECKED("CVkRegion::~CVkRegion", built->~CVkRegion());

  CHECKED("CVkRegion::CVkRegion(const CVkRegion&) (import)",
          returned = reinterpret_cast<CopyConstructor>(kRegionCopyConstructor)(g_region_storage,
                                                                               &region));
  Expect(returned == g_region_storage, "CVkRegion's copy constructor returns this");
  CHECKED("CVkRegion::~CVkRegion", built->~CVkRegion());

  CHECKED("CVkRegionList::CVkRegionList (import)",
          returned = reinterpret_cast<DefaultConstructor>(kListConstructor)(g_list_storage));
  Expect(returned == g_list_storage, "CVkRegionList's constructor returns this");
  CVkRegionList* made = reinterpret_cast<CVkRegionList*>(g_list_storage);
  unsigned count = 99;
  CHECKED("CVkRegionList::GetCount", count = made->GetCount());
  Expect(count == 0, "a new list is empty");
  CHECKED("CVkRegionList::~CVkRegionList", made->~CVkRegionList());

  CHECKED("CVkRegionList::CVkRegionList(const CVkRegionList&) (import)",
          returned = reinterpret_cast<CopyConstructor>(kListCopyConstructor)(g_list_storage,
                                                                             &list));
  Expect(returned == g_list_storage, "CVkRegionList's copy constructor returns this");
  CHECKED("CVkRegionList::GetCount", count = made->GetCount());
  Expect(count == list.GetCount(), "the copy made through the import has every region");
  CHECKED("CVkRegionList::~CVkRegionList", made->~CVkRegionList());
}

// A list made here, by MSVC code, holding two regions.
CVkRegionList* MakeList(CVkRegion* north, CVkRegion* south) {
  CVkRegionList* list = nullptr;
  CHECKED("new CVkRegionList", list = new CVkRegionList);
  CHECKED("CVkRegionList::AddRegion", list->AddRegion(*north));
  CHECKED("CVkRegionList::AddRegion", list->AddRegion(*south));
  return list;
}

// `return new CVkRegionList(list);` as MSVC code writes it.
__declspec(noinline) CVkRegionList* CopyOnHeap(const CVkRegionList& list) {
  return new CVkRegionList(list);
}

void RegionListThroughMsvcNames() {
  alignas(CVkRegion) static unsigned char north_storage[sizeof(CVkRegion)];
  alignas(CVkRegion) static unsigned char south_storage[sizeof(CVkRegion)];
  CVkRegion* north = nullptr;
  CVkRegion* south = nullptr;
  CHECKED("CVkRegion::CVkRegion",
          north = new (north_storage) CVkRegion(u"north", u"10.0.0.1/patch", 80, u"gw.north",
                                                7000, u" x", u"main"));
  Expect(Same(north->name, u"north") && Same(north->serverAddress, u"10.0.0.1/patch") &&
             north->port == 80 && Same(north->gatewayHost, u"gw.north") &&
             north->gatewayPort == 7000 && Same(north->gatewayRest, u" x") &&
             Same(north->mainRegion, u"main"),
         "the members MSVC code reads hold the constructor's values");
  CHECKED("CVkRegion::CVkRegion(const CVkRegion&)",
          south = new (south_storage) CVkRegion(*north));
  Expect(Same(south->serverAddress, north->serverAddress) &&
             south->serverAddress != north->serverAddress,
         "a copied region holds its own copy of the texts");
  CVkRegion other(u"south", u"10.0.0.2", 8080, u"", 0, u"", u"");
  CVkRegion* assigned = nullptr;
  CHECKED("CVkRegion::operator=", assigned = &(*south = other));
  Expect(assigned == south, "CVkRegion::operator= returns *this");
  Expect(Same(south->name, u"south") && south->port == 8080, "assignment copies the record");

  CVkRegionList* list = MakeList(north, south);
  unsigned count = 0;
  CHECKED("CVkRegionList::GetCount", count = list->GetCount());
  Expect(count == 2, "two regions added, two counted");
  CVkRegion* at = nullptr;
  CHECKED("CVkRegionList::GetAt", at = list->GetAt(1));
  Expect(at != nullptr && Same(at->name, u"south") && at->port == 8080,
         "GetAt(1) is the second region added");
  CHECKED("CVkRegionList::GetAt", at = list->GetAt(2));
  Expect(at == nullptr, "GetAt past the end is null");

  CVkRegionList* copy = nullptr;
  CHECKED("new CVkRegionList(const CVkRegionList&)", copy = CopyOnHeap(*list));
  Expect(copy != nullptr && copy->GetCount() == 2, "the copy on the heap has both regions");
  Expect(copy->GetAt(0) != list->GetAt(0) && Same(copy->GetAt(0)->name, u"north"),
         "the copy is independent of the original");

  CVkRegionList target;
  CVkRegionList* result = nullptr;
  CHECKED("CVkRegionList::operator=", result = &(target = *copy));
  Expect(result == &target, "CVkRegionList::operator= returns *this");
  CHECKED("CVkRegionList::RemoveAll", copy->RemoveAll());
  Expect(copy->GetCount() == 0 && target.GetCount() == 2,
         "RemoveAll empties one list and leaves the assigned one");

  ConstructorsReturnThis(*north, *list);

  CHECKED("delete CVkRegionList", delete copy);
  CHECKED("delete CVkRegionList", delete list);
  CHECKED("CVkRegion::~CVkRegion", south->~CVkRegion());
  CHECKED("CVkRegion::~CVkRegion", north->~CVkRegion());
}

// ---- The plug-in through every slot ----------------------------------------

char16_t g_total_text[256];
char16_t g_item_text[256];
char16_t g_status_text[256];

int PollUntilEnded(DizedirInterface* plugin) {
  for (int i = 0; i < 6000; ++i) {
    float total = -1, item = -1;
    int result = -1;
    CHECKED("PollStatus (slot 5)",
            result = plugin->PollStatus(&total, &item, g_total_text, g_item_text, g_status_text));
    Expect(total >= 0.0f && total <= 1.0f && item >= 0.0f && item <= 1.0f,
           "PollStatus gives fractions");
    if (result != kPollRunning) return result;
    Sleep(10);
  }
  Expect(false, "a task ends within a minute");
  return -1;
}

// A by-value slot as MSVC calls it: the caller's storage after `this`, and
// that same address back in EAX, where MSVC code may take it from.
typedef CVkRegionList*(__thiscall* ListSlot)(DizedirInterface*, CVkRegionList*);

void ListSlotReturnsStorage(DizedirInterface* plugin, int slot, const char* call) {
  ListSlot fn = reinterpret_cast<ListSlot>((*reinterpret_cast<void***>(plugin))[slot]);
  CVkRegionList* storage = reinterpret_cast<CVkRegionList*>(g_list_storage);
  CVkRegionList* returned = nullptr;
  CHECKED(call, returned = fn(plugin, storage));
  Expect(returned == storage, "a by-value slot returns the caller's storage");
  CHECKED("CVkRegionList::~CVkRegionList", storage->~CVkRegionList());
}

void EverySlot(DizedirInterface* plugin) {
  bool ok = false;
  CHECKED("InitClientDir (slot 0)", ok = plugin->InitClientDir());
  Expect(ok, "InitClientDir");

  static PluginInfoRecord info;
  memset(&info, 0x7f, sizeof info);
  CHECKED("GetPluginInfo (slot 9)", plugin->GetPluginInfo(&info));
  Expect(Same(info.moduleName, u"qmz.dll") && info.first == -1 && info.description[0] == 0 &&
             info.second == 8,
         "GetPluginInfo fills the record");

  const char16_t* url = nullptr;
  CHECKED("GetUrl (slot 14)", url = plugin->GetUrl());
  Expect(Same(url, u""), "GetUrl is empty before any server list");
  uint8_t count = 99;
  CHECKED("GetPrimaryRegionCount (slot 12)", count = plugin->GetPrimaryRegionCount());
  Expect(count == 0, "no regions before any server list");
  CHECKED("Reserved (slot 4)", ok = plugin->Reserved(99));
  Expect(ok, "Reserved");

  // No task has run: the list comes back empty at once. The launcher then
  // fills the plug-in's copy with its own regions and frees it.
  unsigned regions = 99;
  CHECKED("WaitServerList (slot 6)", {
    CVkRegionList list = plugin->WaitServerList();
    regions = list.GetCount();
    CVkRegion region(u"east", u"10.0.0.3", 80, u"", 0, u"", u"east");
    list.AddRegion(region);
    CVkRegionList copy(list);
    regions += 10 * copy.GetCount();
  });
  Expect(regions == 10, "WaitServerList gives an empty list that MSVC code can fill and copy");
  ListSlotReturnsStorage(plugin, 6, "WaitServerList (slot 6, raw)");

  // The server-list host does not answer: the task fails with a text.
  CHECKED("StartServerList (slot 2)", ok = plugin->StartServerList());
  Expect(ok, "StartServerList");
  g_status_text[0] = 0;
  Expect(PollUntilEnded(plugin) == kPollFailed, "the server-list task fails");
  Expect(g_status_text[0] != 0, "a failed task says why");
  CHECKED("WaitServerList (slot 6)", regions = plugin->WaitServerList().GetCount());
  Expect(regions == 0, "a failed server list leaves the list empty");

  // An update from region 3 of an empty list fails as cleanly.
  CHECKED("StartUpdate (slot 3)", ok = plugin->StartUpdate(3));
  Expect(ok, "StartUpdate");
  uint8_t current = 0;
  CHECKED("GetCurrentRegion (slot 13)", current = plugin->GetCurrentRegion());
  Expect(current == 3, "GetCurrentRegion is the index StartUpdate stored");
  Expect(PollUntilEnded(plugin) == kPollFailed, "an update without regions fails");
  CHECKED("WaitUpdateRegionList (slot 8)", regions = plugin->WaitUpdateRegionList().GetCount());
  Expect(regions == 0, "WaitUpdateRegionList gives the empty list");
  ListSlotReturnsStorage(plugin, 8, "WaitUpdateRegionList (slot 8, raw)");
  CHECKED("WaitUpdate (slot 7)", ok = plugin->WaitUpdate());
  Expect(ok, "WaitUpdate");
  CHECKED("StopUpdate (slot 1)", ok = plugin->StopUpdate());
  Expect(ok, "StopUpdate with no task running");

  int32_t progress = 0;
  CHECKED("SetProgressValue (slot 15)", plugin->SetProgressValue(512));
  CHECKED("GetProgressValue (slot 11)", progress = plugin->GetProgressValue());
  Expect(progress == 512, "GetProgressValue gives what SetProgressValue stored");
  CHECKED("AnswerPrompt (slot 16)", plugin->AnswerPrompt(2));
  CHECKED("IsPromptPending (slot 17)", ok = plugin->IsPromptPending());
  Expect(!ok, "no prompt is pending");

  // Verify game files: the plug-in says it has the slots, and each task
  // fails cleanly here (no regions; a server nothing listens on).
  uint32_t slots = 0;
  CHECKED("GetDizedirInterfaceSlots", slots = GetDizedirInterfaceSlots());
  Expect(slots == kDizedirTreeSlots, "the plug-in has the verify slots");
  CHECKED("StartVerify (slot 18)", ok = plugin->StartVerify(5));
  Expect(ok, "StartVerify");
  Expect(PollUntilEnded(plugin) == kPollFailed, "a verify without regions fails");
  CHECKED("GetCurrentRegion (slot 13)", current = plugin->GetCurrentRegion());
  Expect(current == 5, "StartVerify stores its region");
  CHECKED("WaitUpdate (slot 7)", ok = plugin->WaitUpdate());
  CHECKED("StartRepair (slot 19)", ok = plugin->StartRepair(6));
  Expect(ok, "StartRepair");
  Expect(PollUntilEnded(plugin) == kPollFailed, "a repair without regions fails");
  CHECKED("WaitUpdate (slot 7)", ok = plugin->WaitUpdate());
  CHECKED("StartInstall (slot 20)", ok = plugin->StartInstall("127.0.0.1:1"));
  Expect(ok, "StartInstall");
  g_status_text[0] = 0;
  Expect(PollUntilEnded(plugin) == kPollFailed, "an install from a silent server fails");
  Expect(g_status_text[0] != 0, "and says why");
  CHECKED("WaitUpdate (slot 7)", ok = plugin->WaitUpdate());
  int32_t findings = -1;
  CHECKED("GetFindingCount (slot 21)", findings = plugin->GetFindingCount());
  Expect(findings == 0, "nothing was compared, so nothing was found");
  static DizedirFinding finding;
  finding.kind = 99;
  CHECKED("GetFinding (slot 22)", ok = plugin->GetFinding(0, &finding));
  Expect(!ok && finding.kind == 99, "GetFinding past the end gives nothing");
}

void PlugInThroughEverySlot() {
  int32_t stopped = -1;
  CHECKED("PluginDllStop", stopped = PluginDllStop());
  Expect(stopped == 0, "PluginDllStop before any object does nothing");

  DizedirInterface* plugin = nullptr;
  CHECKED("GetDizedirInterface", plugin = GetDizedirInterface());
  Expect(plugin != nullptr, "GetDizedirInterface gives an object");
  if (plugin == nullptr) return;
  EverySlot(plugin);
  // Slot 10: MSVC's scalar deleting destructor, called with flag 1.
  CHECKED("delete (slot 10)", delete plugin);
  CHECKED("PluginDllStop", stopped = PluginDllStop());
  Expect(stopped == 0, "PluginDllStop after delete finds nothing left to destroy");

  DizedirInterface* second = nullptr;
  CHECKED("GetDizedirInterface", second = GetDizedirInterface());
  Expect(second != nullptr, "GetDizedirInterface gives a second object");
  if (second == nullptr) return;
  bool ok = false;
  CHECKED("InitClientDir (slot 0)", ok = second->InitClientDir());
  Expect(ok, "InitClientDir on the second object");
  CHECKED("PluginDllStop", stopped = PluginDllStop());
  Expect(stopped != 0, "PluginDllStop destroys the second object");
  CHECKED("PluginDllStop", stopped = PluginDllStop());
  Expect(stopped == 0, "and then has nothing left");
}

}  // namespace

extern "C" void LauncherStart() {
  RegionListThroughMsvcNames();
  PlugInThroughEverySlot();
  Print("msvc_launcher: ");
  PrintNumber(g_checks);
  Print(" checks, ");
  PrintNumber(g_failures);
  Print(" failed\n");
  ExitProcess(g_failures == 0 ? 0 : 1);
}
