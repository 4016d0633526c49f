#include "platform/text.h"

namespace dizedir {

// Linux has no system code page that old tools would have written in.
std::string LegacyTextToUtf8(std::string_view text) { return std::string(text); }

}  // namespace dizedir
