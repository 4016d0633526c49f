// Subprocess: starts a program as a child process, so tests can stop it by a
// signal at any moment (crash tests) and collect how it ended.
//
// Thread-safety: one object per child, used by one thread.

#ifndef DIZEDIR_TESTS_SUPPORT_SUBPROCESS_H_
#define DIZEDIR_TESTS_SUPPORT_SUBPROCESS_H_

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/status.h"

namespace dizedir {

// The path of `name` in the usual program directories (the sbin ones too)
// or on PATH; empty when it is nowhere.
std::string FindProgram(const std::string& name);

class Subprocess {
 public:
  struct Options {
    // Sends the child's standard output and error to /dev/null.
    bool quiet = false;
    // Sends them to this file (created or truncated) instead.
    std::string output_file;
    // Descriptors the child gets: {its number in the child, the parent's
    // descriptor it copies}, for programs that talk over given descriptors.
    std::vector<std::pair<int, int>> descriptors;

    // Options with the output discarded.
    static Options Quiet() {
      Options options;
      options.quiet = true;
      return options;
    }
  };

  // Starts `program` (a path; no search of PATH) with `args` after its name.
  static Status Spawn(const std::string& program,
                      const std::vector<std::string>& args,
                      const Options& options,
                      std::unique_ptr<Subprocess>* result);

  // What RunQuietly gives when the program could not be started.
  static constexpr int kSpawnFailed = -1000;

  // Spawn, with the child's standard output and error both sent to
  // `output_file` (created or truncated).
  static Status SpawnToFile(const std::string& program,
                            const std::vector<std::string>& args,
                            const std::string& output_file,
                            std::unique_ptr<Subprocess>* result);

  // Runs `program` with its output in `output_file` and waits for it:
  // Wait's result, or kSpawnFailed.
  static int RunToFile(const std::string& program,
                       const std::vector<std::string>& args,
                       const std::string& output_file);

  // Runs `program` with its output discarded and waits for it: Wait's
  // result. With `kill_after` it is killed once that much time has passed.
  static int RunQuietly(const std::string& program,
                        const std::vector<std::string>& args,
                        std::optional<std::chrono::milliseconds> kill_after =
                            std::nullopt);

  Subprocess(const Subprocess&) = delete;
  Subprocess& operator=(const Subprocess&) = delete;
  // Kills a child that is still running and reaps it.
  ~Subprocess();

  // Sends a signal (SIGKILL when 0). Harmless once the child has ended.
  void Kill(int signal = 0);
  // Waits for the child: its exit code, or minus the signal that ended it.
  // Later calls return the same value.
  int Wait();

 private:
  explicit Subprocess(int pid) : pid_(pid) {}

  int pid_;
  bool reaped_ = false;
  int result_ = 0;
};

}  // namespace dizedir

#endif  // DIZEDIR_TESTS_SUPPORT_SUBPROCESS_H_
