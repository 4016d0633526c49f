#include "tree_commands.h"

#include <cstdio>
#include <string>

#include "command_exit.h"
#include "platform/env.h"
#include "plugin_host.h"
#include "tools/common/json_output.h"
#include "update_command.h"

namespace dizedir {
namespace {

void Anchor() {}

// Where this program's build or installation keeps the modules: client/
// beside the bin/ directory holding the program.
std::string DefaultModuleDir() {
  return Env::Default()->ModuleDirectory(reinterpret_cast<const void*>(&Anchor)) +
         "../client/";
}

std::string WithSlash(std::string dir) {
  if (!dir.empty() && dir.back() != '/' && dir.back() != '\\') dir += '/';
  return dir;
}

[[noreturn]] void Die(const std::string& message) {
  std::fprintf(stderr, "dizedir: %s\n", message.c_str());
  ExitWithStatus(1);
}

std::vector<DizedirFinding> CollectFindings(DizedirInterface* plugin) {
  std::vector<DizedirFinding> findings;
  const int32_t count = plugin->GetFindingCount();
  for (int32_t i = 0; i < count; ++i) {
    DizedirFinding finding{};
    if (!plugin->GetFinding(i, &finding)) break;
    finding.path[sizeof(finding.path) - 1] = 0;
    findings.push_back(finding);
  }
  return findings;
}

// Prints what the task found and gives the exit status: `status` when the
// task failed or was stopped, else 0, or kVerifyFoundProblems for a verify
// that found something to repair.
int ReportFindings(DizedirInterface* plugin, int status, bool verify, bool json) {
  if (status != 0 && status != 1) return status;  // stopped: nothing to say
  const std::vector<DizedirFinding> findings = CollectFindings(plugin);
  size_t problems = 0;
  for (const DizedirFinding& f : findings) problems += FindingIsProblem(f) ? 1 : 0;
  if (json) {
    JsonDocument list = JsonDocument::array();
    for (const DizedirFinding& f : findings) {
      JsonDocument item = {{"kind", FindingKindName(f.kind)}, {"path", std::string(f.path)}};
      if (f.kind >= kFindingMissingEntry && f.kind <= kFindingExtraEntry) item["entry"] = f.entryId;
      list.push_back(std::move(item));
    }
    const JsonDocument document = {{"findings", std::move(list)},
                                   {"problems", problems},
                                   {"extra", findings.size() - problems},
                                   {"intact", status == 0 && problems == 0}};
    std::printf("%s\n", JsonLine(document).c_str());
  } else {
    for (const DizedirFinding& f : findings) std::printf("%s\n", FindingLine(f).c_str());
    if (status == 0) {
      std::printf("%zu missing or damaged, %zu extra (left as they are)\n", problems,
                  findings.size() - problems);
    }
  }
  std::fflush(stdout);
  if (status != 0) return status;
  return verify && problems > 0 ? kVerifyFoundProblems : 0;
}

}  // namespace

void RunVerifyOrRepair(const TreeFlags& flags, ClientTask task) {
  UpdateOptions options;
  options.task = task;
  if (flags.region >= 0) options.region = static_cast<uint8_t>(flags.region);
  options.output = OutputFor(flags.json);
  const int status = RunPluginTask(flags.client, options, [&](DizedirInterface* plugin, int s) {
    return ReportFindings(plugin, s, task == ClientTask::kVerify, flags.json);
  });
  if (status != 0) ExitWithStatus(status);
}

namespace {

void CopyFile(Env* env, const std::string& from, const std::string& to) {
  std::string data;
  Status s = ReadFileToString(env, from, &data);
  // A rename over a loaded module is safe; the running process keeps the
  // old mapping.
  if (s.ok()) s = WriteFileAtomically(env, to, data);
  if (!s.ok()) Die(s.ToString());
}

void CopyModules(Env* env, const std::string& module_dir, const std::string& target) {
  const std::string source = WithSlash(module_dir.empty() ? DefaultModuleDir() : module_dir);
  for (const char* module : kClientModules) {
    CopyFile(env, source + module, target + module);
    std::printf("installed %s\n", (target + module).c_str());
  }
}

}  // namespace

void RunInstall(const TreeFlags& flags) {
  Env* env = Env::Default();
  if (!flags.client.empty() && !flags.directory.empty() && flags.client != flags.directory) {
    Die("install: give the client directory once, as DIR or --client DIR");
  }
  const std::string dir = flags.client.empty() ? flags.directory : flags.client;
  if (dir.empty()) Die("install: name the client directory (DIR or --client DIR)");
  const std::string target = WithSlash(dir);
  Status s = env->CreateDirectories(target);
  if (!s.ok()) Die(s.ToString());

  // --from once named only where the modules come from, and a directory
  // holding them still does.
  const bool from_modules =
      !flags.from.empty() && env->IsDirectory(flags.from) &&
      env->FileExists(WithSlash(flags.from) + kPluginModule);
  CopyModules(env, from_modules ? flags.from : flags.modules, target);
  if (flags.from.empty() || from_modules) return;

  if (!flags.public_key.empty()) {
    CopyFile(env, flags.public_key, target + "dizedir.pub");
    std::printf("trusting %s for this client's releases\n", flags.public_key.c_str());
  }
  UpdateOptions options;
  options.task = ClientTask::kInstall;
  options.install_address = flags.from;
  options.output = OutputFor(flags.json);
  const int status = RunPluginTask(dir, options, [&](DizedirInterface* plugin, int result) {
    return ReportFindings(plugin, result, false, flags.json);
  });
  if (status != 0) ExitWithStatus(status);
}

const char* FindingKindName(int32_t kind) {
  switch (kind) {
    case kFindingMissingFile: return "missing";
    case kFindingDamagedFile: return "damaged";
    case kFindingExtraFile: return "extra";
    case kFindingDamagedPackTable: return "damaged-table";
    case kFindingMissingEntry: return "missing-entry";
    case kFindingDamagedEntry: return "damaged-entry";
    case kFindingExtraEntry: return "extra-entry";
    default: return "unknown";
  }
}

bool FindingIsProblem(const DizedirFinding& finding) {
  return finding.kind != kFindingExtraFile;
}

std::string FindingLine(const DizedirFinding& finding) {
  char kind[16];
  std::snprintf(kind, sizeof kind, "%-14s", FindingKindName(finding.kind));
  std::string line = std::string(kind) + finding.path;
  if (finding.kind >= kFindingMissingEntry && finding.kind <= kFindingExtraEntry) {
    line += " entry " + std::to_string(finding.entryId);
  }
  return line;
}

}  // namespace dizedir
