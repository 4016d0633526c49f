// How dizedir-publish shows a version list to an operator: which of the
// three list files a name denotes, and each record as one line of named
// fields, as plain text or as JSON.
//
// Thread-safety: pure functions.

#ifndef DIZEDIR_TOOLS_PUBLISH_LIST_PRINTER_H_
#define DIZEDIR_TOOLS_PUBLISH_LIST_PRINTER_H_

#include <optional>
#include <string>
#include <string_view>

#include "lists/version_record.h"
#include "tools/common/json_output.h"

namespace dizedir::publish {

enum class ListKind {
  kInstalled,  // curver.bin as a client keeps it
  kPublished,  // newver.bin; the server publishes it as curver.bin
  kPatches,    // verlist.bin
};

// "curver", "newver", "verlist" (also with ".bin", any case).
std::optional<ListKind> ParseListKind(std::string_view text);
// From the file name at the end of a path (either separator).
std::optional<ListKind> ListKindFromPath(std::string_view path);
std::string_view ListKindName(ListKind kind);

// One line per record, fields named, no line end.
std::string RecordText(const VersionRecord& record);
std::string RecordText(const PatchRecord& record);
std::string RecordText(const LocalVersionRecord& record);

// One JSON object per record. List fields are bytes of no stated encoding;
// each string holds them as BytesAsText does, so none is lost.
JsonDocument RecordJson(const VersionRecord& record);
JsonDocument RecordJson(const PatchRecord& record);
JsonDocument RecordJson(const LocalVersionRecord& record);

// A JSON string literal of the bytes, as in RecordJson. Characters that are
// not printable ASCII are written as \u00XX, so the literal is safe on a
// terminal.
std::string JsonString(std::string_view bytes);

}  // namespace dizedir::publish

#endif  // DIZEDIR_TOOLS_PUBLISH_LIST_PRINTER_H_
