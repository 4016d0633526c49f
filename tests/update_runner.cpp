// update_runner: the smallest launcher there is, for tests that kill it or
// time it. It loads CLIENT_DIR/dizedir.so, runs the server-list task and
// then the update task from the list's current region, answers "skip" to
// the optional-patch question, and polls until the task ends.
//
//   update_runner CLIENT_DIR [TRACE_FILE]
//
// Exit status 0 when the client is current or updated, 1 when a task
// failed (its status text on standard error), 2 when the plug-in does not
// load. Standard output gets the final status text and the peak resident
// memory of the process. TRACE_FILE, when given, gets one line per change
// of what the host sees, flushed at once so that a killed run still tells
// how far it got:
//
//   MILLIS \t PROGRESS \t TOTAL_FRACTION \t ITEM_FRACTION \t STATUS \t TOTAL_TEXT \t ITEM_TEXT

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <system_error>
#include <thread>

#include "platform/text.h"
#include "plugin_host.h"

namespace dizedir {
namespace {

constexpr int kPollMillis = 5;
constexpr size_t kTextUnits = 256;

// VmHWM of this process in KiB, 0 when the system does not say.
long PeakResidentKib() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  }
  return 0;
}

class Tracer {
 public:
  // Times count from `start`, the start of the program, so that a test
  // can relate them to the moment it started the process.
  Tracer(const char* path, std::chrono::steady_clock::time_point start)
      : file_(path != nullptr ? std::fopen(path, "w") : nullptr), start_(start) {}
  ~Tracer() {
    if (file_ != nullptr) std::fclose(file_);
  }

  void Add(const std::string& line) {
    if (file_ == nullptr || line == last_) return;
    last_ = line;
    const long millis = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                              std::chrono::steady_clock::now() - start_)
                                              .count());
    std::fprintf(file_, "%ld\t%s\n", millis, line.c_str());
    std::fflush(file_);
  }

 private:
  std::FILE* file_;
  std::chrono::steady_clock::time_point start_;
  std::string last_;
};

// Polls until the running task ends; its PollStatus result and status text.
int PollUntilEnded(DizedirInterface* plugin, bool update_task, Tracer* tracer,
                   std::string* status) {
  char16_t total_text[kTextUnits] = {}, item_text[kTextUnits] = {}, status_text[kTextUnits] = {};
  for (;;) {
    float total = 0, item = 0;
    const int result = plugin->PollStatus(&total, &item, total_text, item_text, status_text);
    total_text[kTextUnits - 1] = item_text[kTextUnits - 1] = status_text[kTextUnits - 1] = 0;
    *status = Utf16ToUtf8(status_text);
    if (update_task) {
      char numbers[64];
      std::snprintf(numbers, sizeof numbers, "%d\t%.4f\t%.4f", plugin->GetProgressValue(),
                    total, item);
      tracer->Add(std::string(numbers) + "\t" + *status + "\t" + Utf16ToUtf8(total_text) +
                  "\t" + Utf16ToUtf8(item_text));
      if (plugin->IsPromptPending()) plugin->AnswerPrompt(2);
    }
    if (result != kPollRunning) return result;
    std::this_thread::sleep_for(std::chrono::milliseconds(kPollMillis));
  }
}

int Run(const std::string& client_dir, const char* trace_path) {
  Tracer tracer(trace_path, std::chrono::steady_clock::now());
  // A launcher runs with the client directory as its current directory.
  std::error_code ignored;
  std::filesystem::current_path(client_dir, ignored);
  std::unique_ptr<PluginHost> host;
  const Status loaded = PluginHost::Load(client_dir, &host);
  if (!loaded.ok()) {
    std::fprintf(stderr, "update_runner: %s\n", loaded.ToString().c_str());
    return 2;
  }
  DizedirInterface* plugin = host->Create();
  if (plugin == nullptr) {
    std::fprintf(stderr, "update_runner: the plug-in made no object\n");
    return 2;
  }
  plugin->InitClientDir();

  std::string status;
  plugin->StartServerList();
  int result = PollUntilEnded(plugin, false, &tracer, &status);
  plugin->WaitServerList();
  if (result == kPollDone) {
    if (!plugin->StartUpdate(plugin->GetCurrentRegion())) {
      std::fprintf(stderr, "update_runner: the update task did not start\n");
      return 1;
    }
    result = PollUntilEnded(plugin, true, &tracer, &status);
    plugin->WaitUpdate();
  }
  host->Stop();
  std::printf("status\t%s\npeak-rss-kib\t%ld\n", status.c_str(), PeakResidentKib());
  if (result != kPollDone) {
    std::fprintf(stderr, "%s\n", status.c_str());
    return 1;
  }
  return 0;
}

}  // namespace
}  // namespace dizedir

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    std::fprintf(stderr, "usage: update_runner CLIENT_DIR [TRACE_FILE]\n");
    return 2;
  }
  std::string dir = argv[1];
  if (!dir.empty() && dir.back() != '/') dir += '/';
  return dizedir::Run(dir, argc == 3 ? argv[2] : nullptr);
}
