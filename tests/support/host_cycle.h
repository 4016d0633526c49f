// The host cycle a launcher built by another compiler walks through the
// plug-in's raw slot indices, written once for every platform. Only the way
// a slot is called differs between platforms, so each host test supplies it
// as a calling convention type `Abi` with
//
//   template <typename R, typename... Args>
//   static R Call(void* object, int slot, Args... args);
//     calls slot `slot` of `object` as a member function returning R;
//   static void ReturnList(void* object, int slot, CVkRegionList* storage);
//     calls a slot that returns a region list by value, building it in
//     `storage`, and checks whatever the convention says comes back;
//   static void Destroy(void* object);
//     destroys and frees `object` through slot 10 as that platform's
//     launcher would, and checks whatever comes back.
//
// Thread-safety: one test thread.

#ifndef DIZEDIR_TESTS_SUPPORT_HOST_CYCLE_H_
#define DIZEDIR_TESTS_SUPPORT_HOST_CYCLE_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "dizedir/dizedir.h"
#include "plugin_host.h"
#include "support/scratch_dir.h"

namespace dizedir {

inline void** SlotTable(void* object) { return *reinterpret_cast<void***>(object); }

// A fresh client directory holding the built modules, and a working
// directory elsewhere, so nothing is found through the current directory.
class HostClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = scratch_.path();
    client_ = root_ / "client";
    std::filesystem::create_directories(client_);
    std::filesystem::create_directories(root_ / "elsewhere");
    previous_dir_ = std::filesystem::current_path();
  }
  void TearDown() override { std::filesystem::current_path(previous_dir_); }

  void Install(bool with_strings = true) {
    for (const char* module : kClientModules) {
      if (!with_strings && std::string(module) == "ResChn.dll") continue;
      std::filesystem::copy_file(std::filesystem::path(DIZEDIR_MODULE_DIR) / module,
                                 client_ / module);
    }
    std::filesystem::current_path(root_ / "elsewhere");
  }

  ScratchDir scratch_{"host"};
  std::filesystem::path root_, client_, previous_dir_;
};

template <class Abi, typename R, typename... Args>
R CallSlot(void* object, int slot, Args... args) {
  return Abi::template Call<R, Args...>(object, slot, args...);
}

// The number of regions of the list a by-value slot returns. The storage
// starts as garbage, so a slot that never builds the list shows up as a
// wild count (or a sanitizer report), not as a lucky zero.
template <class Abi>
unsigned ListSlotCount(void* object, int slot) {
  alignas(CVkRegionList) unsigned char storage[sizeof(CVkRegionList)];
  std::memset(storage, 0xAB, sizeof storage);
  auto* list = reinterpret_cast<CVkRegionList*>(storage);
  Abi::ReturnList(object, slot, list);
  const unsigned count = list->GetCount();
  list->~CVkRegionList();
  return count;
}

template <class Abi>
int PollSlot(void* plugin, char16_t* status) {
  float total = -1, item = -1;
  char16_t total_text[256], item_text[256];
  return CallSlot<Abi, int, float*, float*, char16_t*, char16_t*, char16_t*>(
      plugin, 5, &total, &item, total_text, item_text, status);
}

template <class Abi>
int PollUntilEnded(void* plugin, char16_t* status) {
  int result;
  while ((result = PollSlot<Abi>(plugin, status)) == kPollRunning) {
  }
  return result;
}

// Every slot once, on a client directory without a server list: both tasks
// start and fail, the accessors answer from the object's own state.
template <class Abi>
void WalkHostCycle(const std::filesystem::path& client) {
  std::unique_ptr<PluginHost> host;
  ASSERT_TRUE(PluginHost::Load(client.string(), &host).ok());
  DizedirInterface* plugin = host->Create();
  ASSERT_NE(plugin, nullptr);

  EXPECT_TRUE((CallSlot<Abi, bool>(plugin, 0)));  // InitClientDir

  // Filled with a pattern first, so a record copied short or misplaced
  // leaves bytes that no field check accepts.
  PluginInfoRecord info;
  std::memset(&info, 0x7f, sizeof info);
  CallSlot<Abi, void, PluginInfoRecord*>(plugin, 9, &info);
  EXPECT_EQ(std::u16string(info.moduleName), u"qmz.dll");
  EXPECT_EQ(info.first, -1);
  EXPECT_EQ(info.description[0], 0);
  EXPECT_EQ(info.second, 8);

  EXPECT_EQ(std::u16string(CallSlot<Abi, const char16_t*>(plugin, 14)), u"");  // GetUrl
  EXPECT_EQ((CallSlot<Abi, uint8_t>(plugin, 12)), 0);  // GetPrimaryRegionCount
  EXPECT_TRUE((CallSlot<Abi, bool, int32_t>(plugin, 4, 99)));  // Reserved

  // No server-list thread yet: the empty list comes back at once.
  EXPECT_EQ(ListSlotCount<Abi>(plugin, 6), 0u);  // WaitServerList

  // Server-list task without IPconfig.dat: it fails, with a status text.
  ASSERT_TRUE((CallSlot<Abi, bool>(plugin, 2)));
  char16_t status[256] = {0};
  EXPECT_EQ(PollUntilEnded<Abi>(plugin, status), kPollFailed);
  EXPECT_NE(status[0], 0);
  EXPECT_EQ(ListSlotCount<Abi>(plugin, 6), 0u);

  // Update task from region 3, which does not exist.
  ASSERT_TRUE((CallSlot<Abi, bool, uint8_t>(plugin, 3, 3)));
  EXPECT_EQ((CallSlot<Abi, uint8_t>(plugin, 13)), 3);  // GetCurrentRegion
  EXPECT_EQ(PollUntilEnded<Abi>(plugin, status), kPollFailed);
  EXPECT_EQ(ListSlotCount<Abi>(plugin, 8), 0u);  // WaitUpdateRegionList
  EXPECT_TRUE((CallSlot<Abi, bool>(plugin, 7)));  // WaitUpdate: nothing left to wait for
  EXPECT_TRUE((CallSlot<Abi, bool>(plugin, 1)));  // StopUpdate with no task running

  CallSlot<Abi, void, int32_t>(plugin, 15, 512);  // SetProgressValue
  EXPECT_EQ((CallSlot<Abi, int32_t>(plugin, 11)), 512);  // GetProgressValue
  CallSlot<Abi, void, int32_t>(plugin, 16, 2);  // AnswerPrompt
  EXPECT_FALSE((CallSlot<Abi, bool>(plugin, 17)));  // IsPromptPending
  host->Stop();
}

// Slot 10 alone destroys an object; the module's stop export destroys the
// remembered one and then has nothing left, also when the host destroyed
// the remembered object through slot 10 itself. Under ASan a two-slot
// destructor pair or a stop after slot 10 shows up as a double free, a slot
// that does nothing as a leak.
template <class Abi>
void CheckDisposal(const std::filesystem::path& client) {
  std::unique_ptr<SharedLibrary> library;
  ASSERT_TRUE(LoadSharedLibrary((client / kPluginModule).string(), &library).ok());
  auto get = reinterpret_cast<DizedirInterface* (*)()>(library->Symbol("GetDizedirInterface"));
  auto stop = reinterpret_cast<int32_t (*)()>(library->Symbol("PluginDllStop"));
  ASSERT_NE(get, nullptr);
  ASSERT_NE(stop, nullptr);
  EXPECT_EQ(stop(), 0);  // nothing created yet

  DizedirInterface* first = get();
  ASSERT_NE(first, nullptr);
  get();  // replaces the remembered object
  Abi::Destroy(first);
  EXPECT_NE(stop(), 0);  // destroys the second
  EXPECT_EQ(stop(), 0);  // and forgets it

  DizedirInterface* third = get();
  ASSERT_NE(third, nullptr);
  Abi::Destroy(third);   // the remembered one, destroyed by the host
  EXPECT_EQ(stop(), 0);  // leaves nothing to stop
}

}  // namespace dizedir

#endif  // DIZEDIR_TESTS_SUPPORT_HOST_CYCLE_H_
