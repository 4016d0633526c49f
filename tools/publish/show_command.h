// `dizedir-publish show`: decodes one list file and prints its records, one
// per line. Separate from main so the command can be run against any Env
// and its output checked.
//
// Thread-safety: runs on the caller's thread; no state of its own.

#ifndef DIZEDIR_TOOLS_PUBLISH_SHOW_COMMAND_H_
#define DIZEDIR_TOOLS_PUBLISH_SHOW_COMMAND_H_

#include <optional>
#include <ostream>
#include <string>

#include "platform/env.h"
#include "tools/publish/list_printer.h"

namespace dizedir::publish {

struct ShowOptions {
  std::string path;
  std::optional<ListKind> kind;  // from the file name when absent
  bool json = false;
};

// Exit code: 0 when the whole file decoded, 1 (with a message on `err`)
// when it could not be read, its kind is unknown or a line does not parse.
int RunShow(Env* env, const ShowOptions& options, std::ostream& out,
            std::ostream& err);

}  // namespace dizedir::publish

#endif  // DIZEDIR_TOOLS_PUBLISH_SHOW_COMMAND_H_
