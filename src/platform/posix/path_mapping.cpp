#include "platform/posix/path_mapping.h"

#include <algorithm>

namespace dizedir {

std::string MapWindowsPath(const std::string& path) {
  std::string mapped = path;
  std::replace(mapped.begin(), mapped.end(), '\\', '/');
  return mapped;
}

}  // namespace dizedir
