#include "platform/http/downloader_slots.h"

#include "dizedir/http_interface.h"

#if defined(_WIN32)
#include <windows.h>
#else
#ifndef _GNU_SOURCE
#define _GNU_SOURCE  // dladdr
#endif
#include <dlfcn.h>
#endif

namespace dizedir::http {

namespace {

using SlotsFunction = uint32_t (*)();

}  // namespace

uint32_t LoadedDownloaderSlots() {
  // The address of the imported GetHttpInterface names the module that
  // serves it, whatever its file is called.
  const void* served = reinterpret_cast<const void*>(&GetHttpInterface);
#if defined(_WIN32)
  HMODULE module = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                              GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          static_cast<LPCWSTR>(served), &module)) {
    return 0;
  }
  const auto slots = reinterpret_cast<SlotsFunction>(
      reinterpret_cast<void*>(GetProcAddress(module, "GetHttpInterfaceSlots")));
  return slots != nullptr ? slots() : 0;
#else
  Dl_info info;
  if (dladdr(served, &info) == 0 || info.dli_fname == nullptr) return 0;
  // Already loaded, so this only takes a reference, dropped below.
  void* module = dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD);
  if (module == nullptr) return 0;
  const auto slots = reinterpret_cast<SlotsFunction>(
      dlsym(module, "GetHttpInterfaceSlots"));
  const uint32_t count = slots != nullptr ? slots() : 0;
  dlclose(module);
  return count;
#endif
}

}  // namespace dizedir::http
