// Drives the built Windows modules the way a launcher compiled by another
// compiler would: the modules are copied into a fresh client directory, the
// process works from another directory, and every operation goes through
// its raw slot index with the thiscall convention of 32-bit Windows.

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

// A member call on 32-bit Windows: `this` in ECX, the arguments on the
// stack, popped by the callee.
template <typename R, typename... Args>
R CallSlot(void* object, int slot, Args... args) {
  using Fn = R(__attribute__((thiscall)) *)(void*, Args...);
  return reinterpret_cast<Fn>(VTable(object)[slot])(object, args...);
}

// A member returning a class by value: `this` in ECX, the caller's storage
// as the first stack argument, and that same address back in EAX. Gives
// the number of regions of the returned list.
unsigned CallListSlot(void* object, int slot) {
  using Fn = CVkRegionList*(__attribute__((thiscall)) *)(void*, CVkRegionList*);
  alignas(CVkRegionList) unsigned char storage[sizeof(CVkRegionList)];
  std::memset(storage, 0xAB, sizeof storage);
  auto* list = reinterpret_cast<CVkRegionList*>(storage);
  CVkRegionList* returned = reinterpret_cast<Fn>(VTable(object)[slot])(object, list);
  EXPECT_EQ(returned, list) << "slot " << slot;
  const unsigned count = list->GetCount();
  list->~CVkRegionList();
  return count;
}

class HostWin32Test : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = scratch_.path();
    client_ = root_ / "client";
    fs::create_directories(client_);
    fs::create_directories(root_ / "elsewhere");
    previous_dir_ = fs::current_path();
  }
  void TearDown() override { fs::current_path(previous_dir_); }

  void Install(bool with_strings) {
    for (const char* module : kClientModules) {
      if (!with_strings && std::string(module) == "ResChn.dll") continue;
      fs::copy_file(fs::path(DIZEDIR_MODULE_DIR) / module, client_ / module);
    }
    fs::current_path(root_ / "elsewhere");
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

TEST_F(HostWin32Test, WalksTheHostCycleThroughRawThiscallSlots) {
  Install(true);
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

  EXPECT_EQ(CallListSlot(plugin, 6), 0u);  // WaitServerList before any task

  // Server-list task without IPconfig.dat: it fails, with a status text.
  ASSERT_TRUE(CallSlot<bool>(plugin, 2));
  char16_t status[256] = {0};
  int result;
  while ((result = Poll(plugin, status)) == kPollRunning) {
  }
  EXPECT_EQ(result, kPollFailed);
  EXPECT_NE(status[0], 0);
  EXPECT_EQ(CallListSlot(plugin, 6), 0u);

  // Update task from region 3, which does not exist.
  ASSERT_TRUE((CallSlot<bool, uint8_t>(plugin, 3, 3)));
  EXPECT_EQ(CallSlot<uint8_t>(plugin, 13), 3);  // GetCurrentRegion
  while ((result = Poll(plugin, status)) == kPollRunning) {
  }
  EXPECT_EQ(result, kPollFailed);
  EXPECT_EQ(CallListSlot(plugin, 8), 0u);  // WaitUpdateRegionList
  EXPECT_TRUE(CallSlot<bool>(plugin, 7));  // WaitUpdate: nothing left to wait for
  EXPECT_TRUE(CallSlot<bool>(plugin, 1));  // StopUpdate with no task running

  CallSlot<void, int32_t>(plugin, 15, 512);  // SetProgressValue
  EXPECT_EQ(CallSlot<int32_t>(plugin, 11), 512);
  CallSlot<void, int32_t>(plugin, 16, 2);  // AnswerPrompt
  EXPECT_FALSE(CallSlot<bool>(plugin, 17));  // IsPromptPending
  host->Stop();
}

TEST_F(HostWin32Test, DisposalSlotDestroysAndStopIsSafeToRepeat) {
  Install(true);
  std::unique_ptr<SharedLibrary> library;
  ASSERT_TRUE(LoadSharedLibrary((client_ / "dizedir.dll").string(), &library).ok());
  auto get = reinterpret_cast<DizedirInterface* (*)()>(library->Symbol("GetDizedirInterface"));
  auto stop = reinterpret_cast<int32_t (*)()>(library->Symbol("PluginDllStop"));
  ASSERT_NE(get, nullptr);
  ASSERT_NE(stop, nullptr);
  EXPECT_EQ(stop(), 0);  // nothing created yet

  DizedirInterface* first = get();
  ASSERT_NE(first, nullptr);
  get();  // replaces the remembered object
  CallSlot<void>(first, 10);
  EXPECT_NE(stop(), 0);  // destroys the second
  EXPECT_EQ(stop(), 0);  // and forgets it
}

TEST_F(HostWin32Test, WithoutTheStringLibraryThePlugInRefusesToLoad) {
  Install(false);
  std::unique_ptr<PluginHost> host;
  const Status s = PluginHost::Load(client_.string(), &host);
  EXPECT_FALSE(s.ok());
  EXPECT_EQ(host, nullptr);
  // The host process goes on; it is the launch that is abandoned.
  fs::copy_file(fs::path(DIZEDIR_MODULE_DIR) / "ResChn.dll", client_ / "ResChn.dll");
  EXPECT_TRUE(PluginHost::Load(client_.string(), &host).ok());
}

}  // namespace
}  // namespace dizedir
