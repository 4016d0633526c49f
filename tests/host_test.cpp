// Drives the built modules the way a launcher compiled elsewhere would: the
// modules are copied into a fresh client directory, the process works from
// another directory, and every operation goes through its raw slot index.

#include <gtest/gtest.h>

#include "dizedir/dizedir.h"
#include "support/host_cycle.h"

namespace dizedir {
namespace {

// Slot calls on the Itanium ABI.
struct ItaniumSlots {
  // A member call: `this` first, then the arguments.
  template <typename R, typename... Args>
  static R Call(void* object, int slot, Args... args) {
    using Fn = R (*)(void*, Args...);
    return reinterpret_cast<Fn>(SlotTable(object)[slot])(object, args...);
  }
  // A member returning a class by value: the caller's storage comes first,
  // ahead of `this`.
  static void ReturnList(void* object, int slot, CVkRegionList* storage) {
    using Fn = void (*)(CVkRegionList*, void*);
    reinterpret_cast<Fn>(SlotTable(object)[slot])(storage, object);
  }
  // One disposal operation, no arguments.
  static void Destroy(void* object) { Call<void>(object, 10); }
};

class HostTest : public HostClientTest {};

TEST_F(HostTest, WalksTheHostCycleThroughRawSlots) {
  Install();
  WalkHostCycle<ItaniumSlots>(client_);
}

TEST_F(HostTest, DisposalSlotDestroysAndStopIsSafeToRepeat) {
  Install();
  CheckDisposal<ItaniumSlots>(client_);
}

}  // namespace
}  // namespace dizedir
