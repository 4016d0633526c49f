// SIGINT and SIGTERM through a self-pipe: the handler may only touch
// async-signal-safe state, so it bumps a counter and writes one byte that
// wakes any poll() waiting in WaitFor.

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>

#include "platform/interrupt.h"

namespace dizedir {
namespace {

// A signal handler receives no context pointer, so what it touches has to
// be reachable without one. Only the installed watch sets these.
std::atomic<int> signals_seen{0};
std::atomic<int> wake_fd{-1};
std::atomic<bool> watch_exists{false};

void OnSignal(int) {
  const int saved_errno = errno;
  if (signals_seen.fetch_add(1) > 0) _exit(kInterruptedExitStatus);
  const int fd = wake_fd.load();
  if (fd >= 0) {
    const char byte = 1;
    // A full pipe already wakes the reader; nothing to do on failure.
    [[maybe_unused]] ssize_t ignored = write(fd, &byte, 1);
  }
  errno = saved_errno;
}

class PosixInterruptWatch final : public InterruptWatch {
 public:
  PosixInterruptWatch(int read_fd, int write_fd) : read_fd_(read_fd), write_fd_(write_fd) {}

  Status Start() {
    struct sigaction action = {};
    action.sa_handler = &OnSignal;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a blocking read of the user's answer must return so
    // that the program notices the interrupt.
    action.sa_flags = 0;
    if (sigaction(SIGINT, &action, &old_int_) != 0) return Status::IOError("sigaction SIGINT");
    int_installed_ = true;
    if (sigaction(SIGTERM, &action, &old_term_) != 0) return Status::IOError("sigaction SIGTERM");
    term_installed_ = true;
    return Status::OK();
  }

  ~PosixInterruptWatch() override {
    if (term_installed_) sigaction(SIGTERM, &old_term_, nullptr);
    if (int_installed_) sigaction(SIGINT, &old_int_, nullptr);
    wake_fd.store(-1);
    close(read_fd_);
    close(write_fd_);
    signals_seen.store(0);
    watch_exists.store(false);
  }

  bool Interrupted() override { return signals_seen.load() > 0; }

  bool WaitFor(uint32_t millis) override {
    if (Interrupted()) return true;
    // The byte stays in the pipe, so every later wait returns at once too.
    struct pollfd wake = {read_fd_, POLLIN, 0};
    const int timeout = millis > 0x7fffffffu ? 0x7fffffff : static_cast<int>(millis);
    poll(&wake, 1, timeout);
    return Interrupted();
  }

 private:
  int read_fd_;
  int write_fd_;
  struct sigaction old_int_ = {};
  struct sigaction old_term_ = {};
  bool int_installed_ = false;
  bool term_installed_ = false;
};

}  // namespace

Status InterruptWatch::Install(std::unique_ptr<InterruptWatch>* watch) {
  watch->reset();
  if (watch_exists.exchange(true)) return Status::Busy("an interrupt watch already exists");
  int fds[2];
  if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
    watch_exists.store(false);
    return Status::IOError("pipe for the interrupt watch");
  }
  signals_seen.store(0);
  wake_fd.store(fds[1]);
  auto posix = std::make_unique<PosixInterruptWatch>(fds[0], fds[1]);
  Status s = posix->Start();
  if (!s.ok()) return s;  // the destructor undoes what was done
  *watch = std::move(posix);
  return Status::OK();
}

}  // namespace dizedir
