// Drives the built Windows modules the way a launcher compiled by another
// compiler would: the modules are copied into a fresh client directory, the
// process works from another directory, and every operation goes through
// its raw slot index with the thiscall convention of 32-bit Windows.

#include <gtest/gtest.h>

#include <filesystem>

#include "dizedir/dizedir.h"
#include "plugin_host.h"
#include "support/host_cycle.h"

namespace dizedir {
namespace {

namespace fs = std::filesystem;

// Slot calls as MSVC makes them on 32-bit Windows.
struct ThiscallSlots {
  // `this` in ECX, the arguments on the stack, popped by the callee.
  template <typename R, typename... Args>
  static R Call(void* object, int slot, Args... args) {
    using Fn = R(__attribute__((thiscall)) *)(void*, Args...);
    return reinterpret_cast<Fn>(SlotTable(object)[slot])(object, args...);
  }
  // A member returning a class by value: `this` in ECX, the caller's
  // storage as the first stack argument, and that same address back in EAX.
  static void ReturnList(void* object, int slot, CVkRegionList* storage) {
    using Fn = CVkRegionList*(__attribute__((thiscall)) *)(void*, CVkRegionList*);
    CVkRegionList* returned = reinterpret_cast<Fn>(SlotTable(object)[slot])(object, storage);
    EXPECT_EQ(returned, storage) << "slot " << slot;
  }
  // MSVC's scalar deleting destructor, as `delete` calls it: flags 1 (free
  // after destroying), `this` back in EAX.
  static void Destroy(void* object) {
    void* returned = Call<void*, unsigned>(object, 10, 1u);
    EXPECT_EQ(returned, object);
  }
};

class HostWin32Test : public HostClientTest {};

TEST_F(HostWin32Test, WalksTheHostCycleThroughRawThiscallSlots) {
  Install();
  WalkHostCycle<ThiscallSlots>(client_);
}

TEST_F(HostWin32Test, DisposalSlotDestroysAndStopIsSafeToRepeat) {
  Install();
  CheckDisposal<ThiscallSlots>(client_);
}

TEST_F(HostWin32Test, WithoutTheStringLibraryThePlugInRefusesToLoad) {
  Install(/*with_strings=*/false);
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
