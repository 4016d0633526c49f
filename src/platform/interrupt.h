// InterruptWatch: notices an interrupt from the user (Ctrl-C) or a polite
// termination request, so that a long-running command can wind its work
// down cleanly instead of dying in the middle of a write. A second request
// while the first is still being handled ends the process at once with
// status 130, for a user who does not want to wait.
//
// Thread-safety: one watch exists per process at a time. Interrupted and
// WaitFor may be called from any thread.

#ifndef DIZEDIR_PLATFORM_INTERRUPT_H_
#define DIZEDIR_PLATFORM_INTERRUPT_H_

#include <cstdint>
#include <memory>

#include "platform/status.h"

namespace dizedir {

// The exit status of a command ended by the user.
inline constexpr int kInterruptedExitStatus = 130;

class InterruptWatch {
 public:
  // Starts watching; Busy when another watch already exists.
  static Status Install(std::unique_ptr<InterruptWatch>* watch);

  // Stops watching; the process's previous reactions come back.
  virtual ~InterruptWatch() = default;

  virtual bool Interrupted() = 0;
  // Waits up to `millis`, returning early (true) once interrupted; returns
  // at once when that already happened.
  virtual bool WaitFor(uint32_t millis) = 0;
};

}  // namespace dizedir

#endif  // DIZEDIR_PLATFORM_INTERRUPT_H_
