#include "platform/posix/path_mapping.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <string_view>

#include "platform/case_fold.h"

namespace dizedir {

namespace {

// lstat, not stat: a dangling symbolic link is still an entry with that
// name, and the caller may mean the link itself.
bool EntryExists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

// The entry of `dir` that equals `name` ignoring case; the smallest such
// name when several do, so the answer does not depend on directory order.
bool FindIgnoringCase(const std::string& dir, std::string_view name,
                      std::string* found) {
  DIR* stream = ::opendir(dir.c_str());
  if (stream == nullptr) return false;
  bool any = false;
  while (const struct dirent* entry = ::readdir(stream)) {
    const std::string_view child(entry->d_name);
    if (EqualsIgnoreCaseUtf8(child, name) && (!any || child < *found)) {
      found->assign(child);
      any = true;
    }
  }
  ::closedir(stream);
  return any;
}

}  // namespace

std::string MapWindowsPath(const std::string& path) {
  std::string mapped = path;
  std::replace(mapped.begin(), mapped.end(), '\\', '/');
  if (mapped.empty() || EntryExists(mapped)) return mapped;

  // Most misses are in the last component or two (a file a patch names in
  // other case), so look for the longest existing directory from the end
  // before listing anything.
  size_t known = 0;
  for (size_t slash = mapped.find_last_of('/'); slash != std::string::npos;
       slash = slash == 0 ? std::string::npos
                          : mapped.find_last_of('/', slash - 1)) {
    if (slash == 0) break;  // the root always exists
    if (mapped[slash - 1] == '/') continue;
    if (EntryExists(mapped.substr(0, slash))) {
      known = slash;
      break;
    }
  }

  std::string out = mapped.substr(0, known);
  size_t pos = known;
  while (pos < mapped.size()) {
    if (mapped[pos] == '/') {
      out.push_back('/');
      ++pos;
      continue;
    }
    size_t next = mapped.find('/', pos);
    if (next == std::string::npos) next = mapped.size();
    const std::string_view component(mapped.data() + pos, next - pos);
    if (component == "." || component == ".." ||
        EntryExists(out + std::string(component))) {
      out.append(component);
    } else {
      std::string match;
      if (!FindIgnoringCase(out.empty() ? "." : out, component, &match)) {
        // Nothing below a missing entry can exist either.
        out.append(mapped, pos, std::string::npos);
        return out;
      }
      out += match;
    }
    pos = next;
  }
  return out;
}

}  // namespace dizedir
