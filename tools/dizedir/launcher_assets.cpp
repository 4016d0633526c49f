#include "launcher_assets.h"

#include <algorithm>
#include <cctype>

#include "platform/confined_path.h"

namespace dizedir {
namespace {

std::string Lower(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return lower;
}

// Whether any component of `confined` (joined by '\'), taken below `dir`,
// is a symbolic link: one could lead anywhere on the disk.
bool CrossesLink(Env* env, const std::string& dir, const std::string& confined) {
  std::string path = dir;
  size_t start = 0;
  while (start < confined.size()) {
    size_t end = confined.find('\\', start);
    if (end == std::string::npos) end = confined.size();
    if (start > 0) path += '\\';
    path += confined.substr(start, end - start);
    if (env->IsSymbolicLink(path)) return true;
    start = end + 1;
  }
  return false;
}

}  // namespace

const char* ContentTypeOf(std::string_view name) {
  const size_t dot = name.rfind('.');
  const std::string extension = dot == std::string_view::npos ? "" : Lower(name.substr(dot + 1));
  struct Type {
    const char* extension;
    const char* content_type;
  };
  static constexpr Type kTypes[] = {
      {"html", "text/html; charset=utf-8"},
      {"htm", "text/html; charset=utf-8"},
      {"css", "text/css; charset=utf-8"},
      {"js", "text/javascript; charset=utf-8"},
      {"json", "application/json"},
      {"txt", "text/plain; charset=utf-8"},
      {"png", "image/png"},
      {"jpg", "image/jpeg"},
      {"jpeg", "image/jpeg"},
      {"gif", "image/gif"},
      {"webp", "image/webp"},
      {"svg", "image/svg+xml"},
      {"ico", "image/x-icon"},
      {"woff", "font/woff"},
      {"woff2", "font/woff2"},
      {"ttf", "font/ttf"},
      {"otf", "font/otf"},
      {"mp3", "audio/mpeg"},
      {"ogg", "audio/ogg"},
      {"webm", "video/webm"},
      {"mp4", "video/mp4"},
  };
  for (const Type& type : kTypes) {
    if (extension == type.extension) return type.content_type;
  }
  return "application/octet-stream";
}

Status FindLauncherAsset(Env* env, const std::string& branding_dir, std::string_view url_path,
                         LauncherAsset* asset) {
  std::string name(url_path);
  const size_t first = name.find_first_not_of('/');
  name.erase(0, first == std::string::npos ? name.size() : first);
  // A folder's page, as a web server gives it.
  if (name.empty() || name.back() == '/') name += "index.html";
  std::string confined;
  Status s = ConfineName(name, NameKind::kRelativePath, &confined);
  if (!s.ok()) return Status::InvalidArgument(name + ": " + s.message());
  asset->content_type = ContentTypeOf(confined);

  if (!branding_dir.empty() && env->IsDirectory(branding_dir)) {
    std::string path;
    s = ConfinePath(branding_dir, confined, NameKind::kRelativePath, &path);
    if (!s.ok()) return s;
    std::string dir = branding_dir;
    if (dir.back() != '/' && dir.back() != '\\') dir += '\\';
    if (CrossesLink(env, dir, confined)) {
      return Status::InvalidArgument(name + ": a link leads out of the folder");
    }
    if (env->FileExists(path) && !env->IsDirectory(path)) {
      s = ReadFileToString(env, path, &asset->body, kMaxAssetBytes);
      if (!s.ok()) return s;
      asset->branded = true;
      return Status::OK();
    }
  }

  std::string wanted = confined;
  std::replace(wanted.begin(), wanted.end(), '\\', '/');
  for (size_t i = 0; i < kLauncherPageFileCount; ++i) {
    const EmbeddedFile& file = kLauncherPageFiles[i];
    // Names match without regard to case, as on the Windows clients the
    // branding folder is written for.
    if (Lower(file.name) == Lower(wanted)) {
      asset->body.assign(reinterpret_cast<const char*>(file.data), file.size);
      asset->branded = false;
      return Status::OK();
    }
  }
  return Status::NotFound(name);
}

}  // namespace dizedir
