#include "platform/shared_library.h"

#include "platform/win32/win32_util.h"

namespace dizedir {
namespace {

class Win32SharedLibrary final : public SharedLibrary {
 public:
  explicit Win32SharedLibrary(HMODULE module) : module_(module) {}
  // Never unloaded, as on POSIX (RTLD_NODELETE): a thread or a static may
  // still point into the module.
  ~Win32SharedLibrary() override = default;
  void* Symbol(const char* name) override {
    return reinterpret_cast<void*>(GetProcAddress(module_, name));
  }

 private:
  const HMODULE module_;
};

}  // namespace

Status LoadSharedLibrary(const std::string& path,
                         std::unique_ptr<SharedLibrary>* library) {
  library->reset();
  // Loaded by full path with the altered search order, so the modules
  // beside it (Http.dll, VkMain.dll) are found there and not in the host's
  // directory.
  HMODULE module = LoadLibraryExW(win32::Widen(path).c_str(), nullptr,
                                  LOAD_WITH_ALTERED_SEARCH_PATH);
  if (module == nullptr) return win32::ErrorStatus(path + ": cannot load", GetLastError());
  *library = std::make_unique<Win32SharedLibrary>(module);
  return Status::OK();
}

}  // namespace dizedir
