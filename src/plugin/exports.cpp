// The plug-in module's two exports and the module-wide state its contract
// requires: the string table opened at load and the remembered object.

#include <cstdlib>
#include <memory>
#include <new>

#include "dizedir/dizedir.h"
#include "platform/env.h"
#include "plugin/dizedir_plugin.h"
#include "plugin/string_table.h"

namespace dizedir {
namespace {

// Any address inside this module locates the module, and with it the client
// directory and the string library beside it.
void ModuleAnchor() {}

const void* AnchorAddress() { return reinterpret_cast<const void*>(&ModuleAnchor); }

std::unique_ptr<StringTable> OpenStringsOrAbandonLaunch() {
  Env* env = Env::Default();
  const std::string dir = env->ModuleDirectory(AnchorAddress());
  std::unique_ptr<StringTable> strings;
  if (dir.empty() || !StringTable::Open(env, dir + "ResChn.dll", &strings).ok()) {
    // Without its texts the plug-in cannot tell the player anything; the
    // launch is abandoned rather than run mute.
    env->ShowFatalMessage(u"Missing file! \nProgram can't be launched");
#if defined(_WIN32)
    return nullptr;  // DllMain refuses the load
#else
    std::_Exit(EXIT_FAILURE);
#endif
  }
  return strings;
}

// Opened while the module loads, before any export can be called.
const std::unique_ptr<StringTable> g_strings = OpenStringsOrAbandonLaunch();
DizedirPlugin* g_remembered = nullptr;

}  // namespace
}  // namespace dizedir

#if defined(_WIN32)
// The loader runs the module's static constructors before this; a FALSE
// for the process attach (reason 1) makes LoadLibrary fail, which is how a
// DLL abandons its launch.
extern "C" int __stdcall DllMain(void*, unsigned long reason, void*) {
  return reason != 1 || dizedir::g_strings != nullptr;
}
#endif

extern "C" DIZEDIR_PLUGIN_API DizedirInterface* GetDizedirInterface() {
  using namespace dizedir;
  // Null is the contract's answer when the object cannot be made; an
  // exception from inside its construction must not reach the host.
  try {
    g_remembered = new DizedirPlugin(Env::Default(), g_strings.get(), AnchorAddress());
    g_remembered->ForgetOnDestruction(&g_remembered);
  } catch (...) {
    g_remembered = nullptr;
  }
  return g_remembered;
}

extern "C" DIZEDIR_PLUGIN_API int32_t PluginDllStop() {
  using namespace dizedir;
  if (g_remembered == nullptr) return 0;
  DizedirPlugin* plugin = g_remembered;
  // Cleared first, so a second call cannot destroy freed memory.
  g_remembered = nullptr;
  delete plugin;
  return 1;
}

extern "C" DIZEDIR_PLUGIN_API uint32_t GetDizedirInterfaceSlots() { return kDizedirTreeSlots; }
