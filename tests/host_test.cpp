// Drives the built modules the way a launcher compiled elsewhere would: the
// modules are copied into a fresh client directory, the process works from
// another directory, and every operation goes through its raw slot index.

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "dizedir/dizedir.h"
#include "plugin_host.h"
#include "support/scratch_dir.h"

namespace dizedir {
namespace {

namespace fs = std::filesystem;

void** VTable(void* object) { return *reinterpret_cast<void***>(object); }

// A member call on the Itanium ABI: `this` first, then the arguments.
template <typename R, typename... Args>
R CallSlot(void* object, int slot, Args... args) {
  using Fn = R (*)(void*, Args...);
  return reinterpret_cast<Fn>(VTable(object)[slot])(object, args...);
}

// A member returning a class by value: the caller's storage comes first,
// ahead of `this`. Gives the number of regions of the returned list.
unsigned CallListSlot(void* object, int slot) {
  using Fn = void (*)(CVkRegionList*, void*);
  alignas(CVkRegionList) unsigned char storage[sizeof(CVkRegionList)];
  auto* list = reinterpret_cast<CVkRegionList*>(storage);
  reinterpret_cast<Fn>(VTable(object)[slot])(list, object);
  const unsigned count = list->GetCount();
  list->~CVkRegionList();
  return count;
}

class HostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = scratch_.path();
    client_ = root_ / "client";
    fs::create_directories(client_);
    fs::create_directories(root_ / "elsewhere");
    for (const char* module : kClientModules) {
      fs::copy_file(fs::path(DIZEDIR_MODULE_DIR) / module, client_ / module);
    }
    previous_dir_ = fs::current_path();
    fs::current_path(root_ / "elsewhere");
  }
  void TearDown() override {
    fs::current_path(previous_dir_);
  }

  ScratchDir scratch_{"host"};
  fs::path root_, client_, previous_dir_;
};

int Poll(void* plugin, char16_t* status) {
  float total = -1, item = -1;
  char16_t total_text[256], item_text[256];
  return CallSlot<int, float*, float*, char16_t*, char16_t*, char16_t*>(
      plugin, 5, &total, &item, total_text, item_text, status);
}

TEST_F(HostTest, WalksTheHostCycleThroughRawSlots) {
  std::unique_ptr<PluginHost> host;
  ASSERT_TRUE(PluginHost::Load(client_.string(), &host).ok());
  DizedirInterface* plugin = host->Create();
  ASSERT_NE(plugin, nullptr);

  EXPECT_TRUE(CallSlot<bool>(plugin, 0));  // InitClientDir

  PluginInfoRecord info;
  std::memset(&info, 0x7f, sizeof info);
  CallSlot<void, PluginInfoRecord*>(plugin, 9, &info);
  EXPECT_EQ(std::u16string(info.moduleName), u"qmz.dll");
  EXPECT_EQ(info.first, -1);
  EXPECT_EQ(info.description[0], 0);
  EXPECT_EQ(info.second, 8);

  EXPECT_EQ(std::u16string(CallSlot<const char16_t*>(plugin, 14)), u"");  // GetUrl
  EXPECT_EQ(CallSlot<uint8_t>(plugin, 12), 0);  // GetPrimaryRegionCount
  EXPECT_TRUE((CallSlot<bool, int32_t>(plugin, 4, 99)));  // Reserved

  // No server-list thread yet: the empty list comes back at once.
  EXPECT_EQ(CallListSlot(plugin, 6), 0u);

  // Server-list task: start, poll until it ends, wait for the list.
  ASSERT_TRUE(CallSlot<bool>(plugin, 2));
  char16_t status[256] = {0};
  int result;
  while ((result = Poll(plugin, status)) == kPollRunning) {
  }
  EXPECT_NE(result, kPollRunning);
  CallListSlot(plugin, 6);

  // Update task from region 3.
  ASSERT_TRUE((CallSlot<bool, uint8_t>(plugin, 3, 3)));
  EXPECT_EQ(CallSlot<uint8_t>(plugin, 13), 3);  // GetCurrentRegion
  while (Poll(plugin, status) == kPollRunning) {
  }
  CallListSlot(plugin, 8);  // WaitUpdateRegionList
  EXPECT_TRUE(CallSlot<bool>(plugin, 7));  // WaitUpdate: nothing left to wait for
  EXPECT_TRUE(CallSlot<bool>(plugin, 1));  // StopUpdate with no task running

  CallSlot<void, int32_t>(plugin, 15, 512);  // SetProgressValue
  EXPECT_EQ(CallSlot<int32_t>(plugin, 11), 512);
  CallSlot<void, int32_t>(plugin, 16, 2);  // AnswerPrompt
  EXPECT_FALSE(CallSlot<bool>(plugin, 17));  // IsPromptPending
  host->Stop();
}

TEST_F(HostTest, DisposalSlotDestroysAndStopIsSafeToRepeat) {
  std::unique_ptr<SharedLibrary> library;
  ASSERT_TRUE(LoadSharedLibrary((client_ / "dizedir.so").string(), &library).ok());
  auto get = reinterpret_cast<DizedirInterface* (*)()>(library->Symbol("GetDizedirInterface"));
  auto stop = reinterpret_cast<int32_t (*)()>(library->Symbol("PluginDllStop"));
  ASSERT_NE(get, nullptr);
  ASSERT_NE(stop, nullptr);
  EXPECT_EQ(stop(), 0);  // nothing created yet

  // Slot 10 alone destroys an object (ASan would report a double free or a
  // leak if it were a two-slot destructor pair or did nothing).
  DizedirInterface* first = get();
  ASSERT_NE(first, nullptr);
  DizedirInterface* second = get();  // replaces the remembered object
  CallSlot<void>(first, 10);
  EXPECT_NE(stop(), 0);  // destroys `second`
  EXPECT_EQ(stop(), 0);  // and forgets it
  (void)second;
}

}  // namespace
}  // namespace dizedir
