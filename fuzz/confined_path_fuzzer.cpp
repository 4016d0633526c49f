// fuzz_confined_path: any bytes as a name from outside. A name that passes
// joins below the base with no component that climbs, no root, no drive or
// stream, no control character; confining it again changes nothing; and the
// UTF-16 check agrees with the narrow one.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/confined_path.h"
#include "platform/text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace dizedir;
  const std::string name(reinterpret_cast<const char*>(data), size);
  for (NameKind kind : {NameKind::kBareName, NameKind::kRelativePath}) {
    std::string confined;
    const bool ok = ConfineName(name, kind, &confined).ok();
    if (IsConfinedName(Utf8ToUtf16(name), kind) != ok && Utf16ToUtf8(Utf8ToUtf16(name)) == name) {
      std::abort();
    }
    if (!ok) continue;
    if (confined.empty() || confined.front() == '\\') std::abort();
    if (kind == NameKind::kBareName && confined.find('\\') != std::string::npos) std::abort();
    size_t start = 0;
    for (size_t i = 0; i <= confined.size(); ++i) {
      if (i < confined.size() && confined[i] != '\\') {
        const auto c = static_cast<unsigned char>(confined[i]);
        if (c < 0x20 || c == ':' || c == '/') std::abort();
        continue;
      }
      const std::string component = confined.substr(start, i - start);
      if (component.empty() || component == "." || component == ".." ||
          component.back() == '.' || component.back() == ' ') {
        std::abort();
      }
      start = i + 1;
    }
    std::string again;
    if (!ConfineName(confined, NameKind::kRelativePath, &again).ok() || again != confined) {
      std::abort();
    }
    std::string path;
    if (!ConfinePath("/client/", name, kind, &path).ok() || path != "/client/" + confined) {
      std::abort();
    }
  }
  return 0;
}
