// SharedLibrary: a module loaded at run time and the symbols it exports,
// the way a launcher loads the plug-in.
//
// Thread-safety: loading and lookup are safe from any thread; the module
// stays loaded until the object is destroyed.

#ifndef DIZEDIR_PLATFORM_SHARED_LIBRARY_H_
#define DIZEDIR_PLATFORM_SHARED_LIBRARY_H_

#include <memory>
#include <string>

#include "platform/status.h"

namespace dizedir {

class SharedLibrary {
 public:
  virtual ~SharedLibrary() = default;
  // The address of an exported symbol; null when absent.
  virtual void* Symbol(const char* name) = 0;
};

// Loads the module at `path` (a native path). The module's own
// dependencies are found as its RUNPATH says.
Status LoadSharedLibrary(const std::string& path,
                         std::unique_ptr<SharedLibrary>* library);

}  // namespace dizedir

#endif  // DIZEDIR_PLATFORM_SHARED_LIBRARY_H_
