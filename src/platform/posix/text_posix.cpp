// Narrow text on Linux is UTF-8, so the narrow conversions are the UTF-8 ones.

#include "platform/text.h"

namespace dizedir {

std::u16string NarrowToUtf16(std::string_view narrow) {
  return Utf8ToUtf16(narrow);
}

std::string Utf16ToNarrow(std::u16string_view wide) {
  return Utf16ToUtf8(wide);
}

}  // namespace dizedir
