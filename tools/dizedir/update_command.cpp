#include "update_command.h"

#include <cctype>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include "command_exit.h"
#include "platform/env.h"
#include "platform/interrupt.h"
#include "platform/terminal.h"
#include "platform/text.h"
#include "plugin_host.h"
#include "progress_view.h"
#include "status_poller.h"

namespace dizedir {
namespace {

class ProgressDisplay {
 public:
  ProgressDisplay(ProgressOutput output, UpdateConsole* console)
      : output_(output), console_(console) {}

  void Show(const ProgressSnapshot& snapshot) {
    const uint32_t now = console_->NowMillis();
    meter_.Add(now, snapshot);
    const ProgressEstimate estimate = meter_.Estimate();
    switch (output_) {
      case ProgressOutput::kJson:
        console_->WriteOutput(FormatJsonLine(snapshot) + "\n");
        break;
      case ProgressOutput::kTerminal: {
        const std::string frame =
            terminal_.Redraw(FormatTerminalLines(snapshot, estimate, console_->Columns()));
        if (!frame.empty()) console_->WriteOutput(frame);
        break;
      }
      case ProgressOutput::kPlain:
        for (const std::string& line : plain_.Next(now, snapshot, estimate)) {
          console_->WriteOutput(line + "\n");
        }
        break;
    }
  }

  // Text written after this goes below the frame, which is not redrawn
  // over it.
  void Release() { terminal_.Release(); }

 private:
  ProgressOutput output_;
  UpdateConsole* console_;
  ProgressMeter meter_;
  TerminalView terminal_;
  PlainView plain_;
};

bool IsYes(const std::string& answer) {
  std::string word;
  for (char c : answer) {
    if (!std::isspace(static_cast<unsigned char>(c))) {
      word += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
  }
  return word == "y" || word == "yes";
}

void ReportFailure(UpdateConsole* console, const std::string& status) {
  console->WriteError("dizedir: " + (status.empty() ? std::string("the task failed") : status) +
                      "\n");
}

// 1 download the optional patches, 2 skip them, nullopt the user
// interrupted instead of answering.
std::optional<int32_t> AnswerFor(const UpdateOptions& options, UpdateConsole* console,
                                 ProgressDisplay* display) {
  switch (options.optional) {
    case OptionalPatches::kYes: return 1;
    case OptionalPatches::kNo: return 2;
    case OptionalPatches::kAsk: break;
  }
  display->Release();
  // Standard output belongs to the launcher in JSON mode.
  const auto write = [&](std::string_view text) {
    if (options.output == ProgressOutput::kJson) {
      console->WriteError(text);
    } else {
      console->WriteOutput(text);
    }
  };
  write(kOptionalQuestion);
  const std::optional<std::string> answer = console->ReadAnswer();
  // Without an echo the next output would run on after the question.
  if (!console->InputEchoes()) write("\n");
  if (!answer && console->Interrupted()) return std::nullopt;
  return answer && IsYes(*answer) ? 1 : 2;
}

int Stopped(UpdateConsole* console) {
  console->WriteError(std::string(kStoppedMessage) + "\n");
  return kInterruptedExitStatus;
}

}  // namespace

namespace {

bool StartTask(DizedirInterface* plugin, const UpdateOptions& options, uint8_t region) {
  switch (options.task) {
    case ClientTask::kUpdate: return plugin->StartUpdate(region);
    case ClientTask::kVerify: return plugin->StartVerify(region);
    case ClientTask::kRepair: return plugin->StartRepair(region);
    case ClientTask::kInstall: return plugin->StartInstall(options.install_address.c_str());
  }
  return false;
}

}  // namespace

int DriveUpdate(DizedirInterface* plugin, const UpdateOptions& options, UpdateConsole* console) {
  ProgressSnapshot snapshot;
  // The region list lives in the plug-in object, so a fresh process always
  // fetches it before it can pick a region; an install names its server.
  if (options.task != ClientTask::kInstall) {
    plugin->StartServerList();
    StatusPoller poller(plugin);
    while ((snapshot = poller.Poll(false)).result == kPollRunning) {
      // The server-list task cannot be stopped; its own time-outs bound it.
      if (console->WaitForInterrupt(kPollIntervalMillis)) break;
    }
    plugin->WaitServerList();
    if (console->Interrupted()) return Stopped(console);
    if (snapshot.result == kPollFailed) {
      ReportFailure(console, snapshot.status);
      return 1;
    }
  }

  const uint8_t region = options.region ? *options.region : plugin->GetCurrentRegion();
  if (!StartTask(plugin, options, region)) {
    ReportFailure(console, "the task could not start");
    return 1;
  }
  StatusPoller poller(plugin);
  ProgressDisplay display(options.output, console);
  bool answered = false;
  bool interrupted = false;
  for (;;) {
    snapshot = poller.Poll(true);
    display.Show(snapshot);
    if (snapshot.result != kPollRunning) break;
    if (!snapshot.prompt_pending) {
      answered = false;
    } else if (!answered) {
      // The engine looks for the answer only now and then, so the question
      // stays pending a while after it was answered; ask once.
      answered = true;
      const std::optional<int32_t> answer = AnswerFor(options, console, &display);
      if (!answer) {
        interrupted = true;
        break;
      }
      plugin->AnswerPrompt(*answer);
    }
    if (console->WaitForInterrupt(kPollIntervalMillis)) {
      interrupted = true;
      break;
    }
  }

  if (interrupted) {
    plugin->StopUpdate();
    plugin->WaitUpdate();
    display.Show(poller.Poll(true));
    display.Release();
    return Stopped(console);
  }
  plugin->WaitUpdate();
  display.Release();
  if (snapshot.result == kPollFailed) {
    ReportFailure(console, snapshot.status);
    return 1;
  }
  return 0;
}

namespace {

class ProcessConsole final : public UpdateConsole {
 public:
  ProcessConsole(Env* env, InterruptWatch* interrupt) : env_(env), interrupt_(interrupt) {}

  void WriteOutput(std::string_view text) override { Write(stdout, text); }
  void WriteError(std::string_view text) override { Write(stderr, text); }
  uint32_t NowMillis() override { return env_->TickMillis(); }
  bool WaitForInterrupt(uint32_t millis) override { return interrupt_->WaitFor(millis); }
  bool Interrupted() override { return interrupt_->Interrupted(); }
  int Columns() override { return TerminalColumns(); }
  bool InputEchoes() override { return IsTerminal(StandardStream::kInput); }
  std::optional<std::string> ReadAnswer() override {
    std::string line;
    if (!ReadInputLine(&line, [this] { return !interrupt_->Interrupted(); })) return std::nullopt;
    return line;
  }

 private:
  static void Write(std::FILE* stream, std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fflush(stream);
  }

  Env* env_;
  InterruptWatch* interrupt_;
};

}  // namespace

ProgressOutput OutputFor(bool json) {
  return json ? ProgressOutput::kJson
         : IsTerminal(StandardStream::kOutput) ? ProgressOutput::kTerminal
                                               : ProgressOutput::kPlain;
}

namespace {

[[noreturn]] void Die(const std::string& message) {
  std::fprintf(stderr, "dizedir: %s\n", message.c_str());
  ExitWithStatus(1);
}

}  // namespace

int RunPluginTask(const std::string& client_dir, const UpdateOptions& options,
                  const std::function<int(DizedirInterface*, int)>& finish) {
  // Watching begins before the plug-in loads, so that no interrupt can
  // kill the process halfway through a write.
  std::unique_ptr<InterruptWatch> interrupt;
  Status s = InterruptWatch::Install(&interrupt);
  if (!s.ok()) Die(s.ToString());
  std::unique_ptr<PluginHost> host;
  s = PluginHost::Load(client_dir, &host);
  if (!s.ok()) Die(s.ToString());
  if (options.task != ClientTask::kUpdate && host->slots() < kDizedirTreeSlots) {
    Die(client_dir + ": the client's plug-in is too old to verify, repair or install; "
        "install a newer one first");
  }
  DizedirInterface* plugin = host->Create();
  if (plugin == nullptr) Die("the plug-in could not create its object");
  plugin->InitClientDir();

  ProcessConsole console(Env::Default(), interrupt.get());
  const int status = DriveUpdate(plugin, options, &console);
  return finish ? finish(plugin, status) : status;
}

void RunUpdateCommand(const UpdateFlags& flags) {
  UpdateOptions options;
  if (flags.region >= 0) options.region = static_cast<uint8_t>(flags.region);
  if (flags.optional == "yes") {
    options.optional = OptionalPatches::kYes;
  } else if (flags.optional == "ask" ||
             (flags.optional.empty() && IsTerminal(StandardStream::kInput))) {
    options.optional = OptionalPatches::kAsk;
  } else {
    options.optional = OptionalPatches::kNo;
  }
  options.output = OutputFor(flags.json);
  const int status = RunPluginTask(flags.client, options, nullptr);
  if (status != 0) ExitWithStatus(status);
}

}  // namespace dizedir
