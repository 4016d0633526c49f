#include "platform/shared_library.h"

#include <dlfcn.h>

namespace dizedir {
namespace {

class PosixSharedLibrary final : public SharedLibrary {
 public:
  explicit PosixSharedLibrary(void* handle) : handle_(handle) {}
  ~PosixSharedLibrary() override { dlclose(handle_); }
  void* Symbol(const char* name) override { return dlsym(handle_, name); }

 private:
  void* const handle_;
};

}  // namespace

Status LoadSharedLibrary(const std::string& path,
                         std::unique_ptr<SharedLibrary>* library) {
  library->reset();
  // RTLD_LOCAL keeps the plug-in's internals out of the host's namespace.
  // RTLD_NODELETE: a module never goes away under a thread or a static that
  // still points into it (its libraries keep global state of their own).
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
  if (handle == nullptr) {
    const char* why = dlerror();
    return Status::IOError(path + ": " + (why != nullptr ? why : "cannot load"));
  }
  *library = std::make_unique<PosixSharedLibrary>(handle);
  return Status::OK();
}

}  // namespace dizedir
