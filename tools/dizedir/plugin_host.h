// PluginHost: loads a client directory's dizedir.so the way a launcher does
// and hands out the plug-in object through the module's two exports.
//
// Thread-safety: one thread drives a PluginHost and the object it created.

#ifndef DIZEDIR_TOOLS_DIZEDIR_PLUGIN_HOST_H_
#define DIZEDIR_TOOLS_DIZEDIR_PLUGIN_HOST_H_

#include <memory>
#include <string>

#include "dizedir/dizedir.h"
#include "platform/shared_library.h"
#include "platform/status.h"

namespace dizedir {

class PluginHost {
 public:
  // Loads the client directory's plug-in module. A module that finds no string library
  // beside it ends the process, as it would end a launcher.
  static Status Load(const std::string& client_dir,
                     std::unique_ptr<PluginHost>* host);

  ~PluginHost();  // destroys the object if still alive, then unloads

  // How many slots the module's objects have: kDizedirTreeSlots, or
  // kFirstPluginSlots for a module that predates the verify slots.
  uint32_t slots() const { return slots_; }

  // A new plug-in object (the previous one, if any, is stopped first).
  DizedirInterface* Create();
  // Destroys the current object.
  void Stop();

 private:
  PluginHost() = default;

  std::unique_ptr<SharedLibrary> library_;
  DizedirInterface* (*get_interface_)() = nullptr;
  int32_t (*stop_)() = nullptr;
  DizedirInterface* object_ = nullptr;
  uint32_t slots_ = 0;
};

inline constexpr uint32_t kFirstPluginSlots = 18;

// Module file names a client directory holds beside the game; the first
// is the plug-in.
#if defined(_WIN32)
inline constexpr const char* kClientModules[] = {"dizedir.dll", "Http.dll",
                                                 "VkMain.dll", "ResChn.dll"};
#else
inline constexpr const char* kClientModules[] = {"dizedir.so", "dizhttp.so",
                                                 "vkmain.so", "ResChn.dll"};
#endif
inline constexpr const char* kPluginModule = kClientModules[0];

}  // namespace dizedir

#endif  // DIZEDIR_TOOLS_DIZEDIR_PLUGIN_HOST_H_
