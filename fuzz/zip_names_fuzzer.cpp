// fuzz_zip_names: any bytes as a stored zip item name. The cleaned name never
// begins with a separator or a drive, is what is left at the end of the
// stored name, is stable under a second clean-up, and is called contained
// only when no component climbs with "..". A target resolved as inside the
// base directory is, in the narrow form that is opened, contained, free of
// the temporary suffix and, for a file, not empty.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "codec/zip_names.h"
#include "platform/env.h"
#include "platform/text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace dizedir;
  const std::u16string stored =
      Utf8ToUtf16(std::string(reinterpret_cast<const char*>(data), size));
  const std::u16string name = ZipCleanName(stored);
  if (!name.empty() && (name[0] == u'/' || name[0] == u'\\')) std::abort();
  if (name.size() >= 2 && name[1] == u':') std::abort();
  if (name.size() > stored.size() ||
      stored.compare(stored.size() - name.size(), name.size(), name) != 0) {
    std::abort();
  }
  if (ZipCleanName(name) != name) std::abort();
  if (ZipNameIsContained(name)) {
    size_t start = 0;
    for (size_t i = 0; i <= name.size(); ++i) {
      if (i == name.size() || name[i] == u'/' || name[i] == u'\\') {
        if (name.compare(start, i - start, u"..") == 0 && i - start == 2) {
          std::abort();
        }
        start = i + 1;
      }
    }
  }
  for (bool is_directory : {false, true}) {
    std::string relative;
    if (ZipResolveTarget(u"base\\", stored, is_directory, &relative) !=
        ZipTarget::kInside) {
      continue;
    }
    if (!ZipNameIsContained(NarrowToUtf16(relative)) ||
        relative.find(kTempSuffix) != std::string::npos ||
        (!is_directory && relative.empty())) {
      std::abort();
    }
  }
  return 0;
}
