// The text table the string library is built from, and its translation into
// a resource script. One line per string, "ID<TAB>text"; lines starting with
// '#' and empty lines are ignored; a text is everything after the tab,
// spaces at either end included, with the escapes \n, \t and \\.
//
// Thread-safety: pure functions.

#ifndef DIZEDIR_TOOLS_MKRESCHN_STRING_SOURCE_H_
#define DIZEDIR_TOOLS_MKRESCHN_STRING_SOURCE_H_

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

namespace mkreschn {

// ID -> text (UTF-8, escapes resolved), in ascending ID order.
using StringSource = std::map<uint32_t, std::string>;

// Parses and checks a whole table: IDs 0 to 65535, each once, non-empty
// valid UTF-8 texts without raw control characters, and the printf formats
// that the update driver fills (247, 248) carrying exactly the integer
// conversions it passes, in order. On failure returns false and sets *error
// to "line N: reason".
bool ParseStringSource(std::string_view text, StringSource* strings,
                       std::string* error);

// A resource script with one STRINGTABLE holding every string as UTF-8, for
// windres told that code page (-c 65001).
std::string WriteResourceScript(const StringSource& strings);

}  // namespace mkreschn

#endif  // DIZEDIR_TOOLS_MKRESCHN_STRING_SOURCE_H_
