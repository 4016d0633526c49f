#include "launcher_command.h"

#include <cstdio>
#include <memory>
#include <string>

#include "command_exit.h"
#include "failure_advice.h"
#include "launcher_server.h"
#include "launcher_session.h"
#include "platform/env.h"
#include "platform/interrupt.h"
#include "platform/start_program.h"
#include "plugin/string_table.h"
#include "plugin_host.h"
#include "update_command.h"

namespace dizedir {
namespace {

[[noreturn]] void Die(const std::string& message) {
  std::fprintf(stderr, "dizedir: %s\n", message.c_str());
  ExitWithStatus(1);
}

std::string WithSlash(std::string dir) {
  if (!dir.empty() && dir.back() != '/' && dir.back() != '\\') dir += '/';
  return dir;
}

}  // namespace

void RunLauncher(const LauncherFlags& flags) {
  // Watching begins before the plug-in loads, so that no interrupt can
  // kill the process halfway through a write.
  std::unique_ptr<InterruptWatch> interrupt;
  Status s = InterruptWatch::Install(&interrupt);
  if (!s.ok()) Die(s.ToString());
  std::unique_ptr<PluginHost> host;
  s = PluginHost::Load(flags.client, &host);
  if (!s.ok()) Die(s.ToString());
  DizedirInterface* plugin = host->Create();
  if (plugin == nullptr) Die("the plug-in could not create its object");
  plugin->InitClientDir();

  Env* env = Env::Default();
  const std::string client_dir = WithSlash(flags.client);
  // Failures are recognised by the texts of the client's own string
  // library, whatever language it speaks; without it they all get the
  // general advice.
  std::unique_ptr<StringTable> strings;
  StringTable::Open(env, client_dir + "ResChn.dll", &strings);
  const FailureAdvisor advisor([&strings](uint32_t id) {
    return strings != nullptr ? strings->LookupNarrow(id) : std::string();
  });

  LauncherSessionOptions session_options;
  session_options.env = env;
  session_options.client_dir = client_dir;
  session_options.tree_tasks = host->slots() >= kDizedirTreeSlots;
  session_options.advisor = &advisor;
  session_options.start_program = StartDetachedProgram;
  LauncherSession session(plugin, session_options);

  LauncherServerOptions server_options;
  server_options.env = env;
  server_options.branding_dir = client_dir + "launcher";
  server_options.port = flags.port;
  s = NewLauncherToken(&server_options.token);
  if (!s.ok()) Die(s.ToString());
  std::unique_ptr<LauncherServer> server;
  s = LauncherServer::Start(&session, server_options, &server);
  if (!s.ok()) Die(s.ToString());

  std::printf("open %s\n", server->url().c_str());
  std::fflush(stdout);
  if (!flags.no_browser) {
    s = OpenInBrowser(server->url());
    if (!s.ok()) {
      std::fprintf(stderr, "dizedir: no browser could be started (%s); open the address above\n",
                   s.ToString().c_str());
    }
  }

  const int status = session.Run([&](uint32_t millis) { return interrupt->WaitFor(millis); });
  server->Stop();
  if (status == kInterruptedExitStatus && session.View().paused) {
    std::fprintf(stderr, "%s\n", kStoppedMessage);
  }
  if (status != 0) ExitWithStatus(status);
}

}  // namespace dizedir
