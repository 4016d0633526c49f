// Ctrl-C, Ctrl-Break and the console closing through a console control
// handler. The handler runs on a thread of its own that the OS starts, so
// it may signal an event; a second request ends the process at once.

#include <atomic>

#include "platform/interrupt.h"
#include "platform/win32/win32_util.h"

namespace dizedir {
namespace {

// A control handler receives no context pointer, so what it touches has to
// be reachable without one. Only the installed watch sets these.
std::atomic<int> requests_seen{0};
std::atomic<HANDLE> wake_event{nullptr};
std::atomic<bool> watch_exists{false};

BOOL WINAPI OnControl(DWORD type) {
  switch (type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
      break;
    default:
      return FALSE;
  }
  if (requests_seen.fetch_add(1) > 0) ExitProcess(kInterruptedExitStatus);
  const HANDLE event = wake_event.load();
  if (event != nullptr) SetEvent(event);
  return TRUE;
}

class Win32InterruptWatch final : public InterruptWatch {
 public:
  explicit Win32InterruptWatch(HANDLE event) : event_(event) {}

  Status Start() {
    if (!SetConsoleCtrlHandler(&OnControl, TRUE)) {
      return win32::ErrorStatus("SetConsoleCtrlHandler", GetLastError());
    }
    installed_ = true;
    return Status::OK();
  }

  ~Win32InterruptWatch() override {
    if (installed_) SetConsoleCtrlHandler(&OnControl, FALSE);
    wake_event.store(nullptr);
    CloseHandle(event_);
    requests_seen.store(0);
    watch_exists.store(false);
  }

  bool Interrupted() override { return requests_seen.load() > 0; }

  bool WaitFor(uint32_t millis) override {
    if (Interrupted()) return true;
    // A manual-reset event stays set, so every later wait returns at once.
    WaitForSingleObject(event_, millis == 0xffffffffu ? INFINITE - 1 : millis);
    return Interrupted();
  }

 private:
  const HANDLE event_;
  bool installed_ = false;
};

}  // namespace

Status InterruptWatch::Install(std::unique_ptr<InterruptWatch>* watch) {
  watch->reset();
  if (watch_exists.exchange(true)) return Status::Busy("an interrupt watch already exists");
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (event == nullptr) {
    watch_exists.store(false);
    return win32::ErrorStatus("event for the interrupt watch", GetLastError());
  }
  requests_seen.store(0);
  wake_event.store(event);
  auto win = std::make_unique<Win32InterruptWatch>(event);
  Status s = win->Start();
  if (!s.ok()) return s;  // the destructor undoes what was done
  *watch = std::move(win);
  return Status::OK();
}

}  // namespace dizedir
