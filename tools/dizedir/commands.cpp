#include "commands.h"

#include <cstdio>
#include <memory>
#include <string>

#include "command_exit.h"
#include "platform/env.h"
#include "platform/text.h"
#include "plugin_host.h"
#include "tools/common/json_output.h"

namespace dizedir {
namespace {

[[noreturn]] void Die(const std::string& message) {
  std::fprintf(stderr, "dizedir: %s\n", message.c_str());
  ExitWithStatus(1);
}

std::unique_ptr<PluginHost> LoadOrDie(const std::string& client_dir) {
  std::unique_ptr<PluginHost> host;
  Status s = PluginHost::Load(client_dir, &host);
  if (!s.ok()) Die(s.ToString());
  return host;
}

}  // namespace

void RunInfo(const std::string& client_dir, bool json) {
  std::unique_ptr<PluginHost> host = LoadOrDie(client_dir);
  DizedirInterface* plugin = host->Create();
  if (plugin == nullptr) Die("the plug-in could not create its object");
  plugin->InitClientDir();
  PluginInfoRecord info;
  plugin->GetPluginInfo(&info);
  const std::string name = Utf16ToUtf8(info.moduleName);
  const std::string description = Utf16ToUtf8(info.description);
  if (json) {
    const JsonDocument document = {{"module", name},
                                   {"first", info.first},
                                   {"description", description},
                                   {"second", info.second}};
    std::printf("%s\n", JsonLine(document).c_str());
  } else {
    std::printf("module       %s\nfirst        %d\ndescription  %s\nsecond       %d\n",
                name.c_str(), info.first, description.c_str(), info.second);
  }
}

namespace {

// Polls the running task until it ends, the way a launcher's timer does.
int PollUntilEnded(DizedirInterface* plugin, std::u16string* status) {
  char16_t total_text[256] = {0}, item_text[256] = {0}, status_text[256] = {0};
  float total = 0, item = 0;
  int result;
  while ((result = plugin->PollStatus(&total, &item, total_text, item_text,
                                      status_text)) == kPollRunning) {
    Env::Default()->SleepMillis(20);
  }
  *status = status_text;
  return result;
}

std::string Narrow(const char16_t* text) { return Utf16ToUtf8(text != nullptr ? text : u""); }

}  // namespace

void RunServers(const std::string& client_dir, bool json) {
  std::unique_ptr<PluginHost> host = LoadOrDie(client_dir);
  DizedirInterface* plugin = host->Create();
  if (plugin == nullptr) Die("the plug-in could not create its object");
  plugin->InitClientDir();
  plugin->StartServerList();
  std::u16string status;
  const int result = PollUntilEnded(plugin, &status);
  const CVkRegionList regions = plugin->WaitServerList();
  if (result == kPollFailed) Die(Utf16ToUtf8(status));

  const unsigned primary = plugin->GetPrimaryRegionCount();
  const unsigned current = plugin->GetCurrentRegion();
  const std::string url = Narrow(plugin->GetUrl());
  if (json) {
    JsonDocument list = JsonDocument::array();
    for (unsigned i = 0; i < regions.GetCount(); ++i) {
      const CVkRegion* r = regions.GetAt(i);
      list.push_back({{"index", i},
                      {"name", Narrow(r->name)},
                      {"server", Narrow(r->serverAddress)},
                      {"port", r->port},
                      {"gatewayHost", Narrow(r->gatewayHost)},
                      {"gatewayPort", r->gatewayPort},
                      {"gatewayRest", Narrow(r->gatewayRest)},
                      {"mainRegion", Narrow(r->mainRegion)},
                      {"primary", i < primary},
                      {"current", i == current}});
    }
    const JsonDocument document = {{"regions", std::move(list)},
                                   {"primaryRegionCount", primary},
                                   {"currentRegion", current},
                                   {"url", url}};
    std::printf("%s\n", JsonLine(document).c_str());
    return;
  }
  // A task that succeeded may still have something to say (a server list
  // that was refused, so the previous one is shown).
  if (!status.empty()) std::printf("%s\n", Utf16ToUtf8(status).c_str());
  std::printf("%-3s %-5s %-20s %-28s %-22s %s\n", "", "index", "name", "server", "gateway",
              "main region");
  for (unsigned i = 0; i < regions.GetCount(); ++i) {
    const CVkRegion* r = regions.GetAt(i);
    const std::string gateway =
        Narrow(r->gatewayHost) + ":" + std::to_string(r->gatewayPort) + Narrow(r->gatewayRest);
    std::printf("%-3s %-5u %-20s %-28s %-22s %s\n", i == current ? "*" : "", i,
                Narrow(r->name).c_str(), Narrow(r->serverAddress).c_str(), gateway.c_str(),
                Narrow(r->mainRegion).c_str());
  }
  std::printf("first group: %u region(s)   current: %u   url: %s\n", primary, current,
              url.c_str());
}

}  // namespace dizedir
