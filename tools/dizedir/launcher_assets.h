// LauncherAssets: the files of the launcher page (HTML, CSS, script,
// images). An operator brands the page by putting files into the client's
// launcher/ folder; a file found there is served in place of the default of
// the same name, and the defaults are built into the program, so the page
// works with no folder at all and with no network.
//
// A request names a file by its URL path, which anyone on the machine can
// write, so the name is confined the way every name from outside is
// (platform/confined_path.h), and a symbolic link below the folder is not
// followed: only files inside the folder are ever read.
//
// Thread-safety: pure functions over an Env, which may be shared.

#ifndef DIZEDIR_TOOLS_DIZEDIR_LAUNCHER_ASSETS_H_
#define DIZEDIR_TOOLS_DIZEDIR_LAUNCHER_ASSETS_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/env.h"
#include "platform/status.h"

namespace dizedir {

// A file built into the program.
struct EmbeddedFile {
  const char* name;  // relative, with '/'
  const unsigned char* data;
  size_t size;
};
// The page's defaults, generated from tools/dizedir/launcher_page/.
extern const EmbeddedFile kLauncherPageFiles[];
extern const size_t kLauncherPageFileCount;

struct LauncherAsset {
  std::string body;
  std::string content_type;
  bool branded = false;  // from the launcher/ folder
};

// Branded files larger than this are refused; a page has no business
// with them.
inline constexpr uint64_t kMaxAssetBytes = uint64_t{16} << 20;

// The file `url_path` (decoded, "/" being index.html) names: from
// `branding_dir` when it holds it, else from the defaults.
// InvalidArgument when the name is refused (it climbs out, or a link lies
// on the way); NotFound when neither holds it.
Status FindLauncherAsset(Env* env, const std::string& branding_dir, std::string_view url_path,
                         LauncherAsset* asset);

// The Content-Type for a file name, by its extension; binary data for any
// extension the page has no use for.
const char* ContentTypeOf(std::string_view name);

}  // namespace dizedir

#endif  // DIZEDIR_TOOLS_DIZEDIR_LAUNCHER_ASSETS_H_
