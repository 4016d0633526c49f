#include "lists/tree_manifest.h"

#include <algorithm>
#include <limits>
#include <memory>

#include "lists/release_manifest.h"
#include "pack/pack.h"
#include "lists/manifest_lines.h"
#include "platform/case_fold.h"
#include "platform/confined_path.h"

namespace dizedir {
namespace {

constexpr std::string_view kHeader = "dizedir tree manifest 1";
constexpr std::string_view kLineKey = "line ";
constexpr std::string_view kVersionKey = "version ";
constexpr std::string_view kFileKey = "file ";
constexpr std::string_view kPackKey = "pack ";
constexpr std::string_view kEntryKey = "entry ";
constexpr uint64_t kMaxFileSize = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
constexpr uint64_t kMaxVersion = static_cast<uint64_t>(std::numeric_limits<int32_t>::max());
constexpr uint64_t kMaxPackNumber = std::numeric_limits<uint32_t>::max();
constexpr size_t kMd5HexDigits = 32;
constexpr size_t kHashHexDigits = 64;
// Joins the folded components of a path key. It sorts below every byte a
// path may hold (the path rule refuses control characters), so in sorted
// keys whatever lies below a directory comes right after the directory's
// own key.
constexpr char kKeySeparator = '\x01';

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

size_t DecimalDigits(uint64_t value) {
  size_t n = 1;
  while (value >= 10) {
    value /= 10;
    ++n;
  }
  return n;
}

bool IsLowerHex(std::string_view text, size_t digits) {
  if (text.size() != digits) return false;
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return IsDigit(c) || (c >= 'a' && c <= 'f'); });
}

// A refused path, shown without the bytes that would garble a status line.
std::string Printable(std::string_view path) {
  std::string out;
  for (char c : path.substr(0, 64)) {
    out += static_cast<unsigned char>(c) < 0x20 || c == 0x7F ? '?' : c;
  }
  return path.size() > 64 ? out + "..." : out;
}

std::string Quoted(std::string_view path) { return "\"" + Printable(path) + "\""; }

// Two paths have one key exactly when Windows opens one file for both,
// folding each component on its own so that a directory's key starts every
// key below it. Either separator splits, so callers may look paths up in
// either spelling.
std::string PathKey(std::string_view path) {
  std::string key;
  key.reserve(path.size());
  while (true) {
    const size_t end = path.find_first_of("\\/");
    key += CaseFoldKeyUtf8(path.substr(0, end));
    if (end == std::string_view::npos) return key;
    key += kKeySeparator;
    path.remove_prefix(end + 1);
  }
}

// The path rule of the manifest: the confined form itself, and short
// enough for Windows. Empty when it passes, else why not.
std::string PathRefusal(std::string_view path) {
  if (path.size() > kMaxTreePathBytes) {
    return "is longer than " + std::to_string(kMaxTreePathBytes) + " bytes";
  }
  std::string confined;
  const Status s = ConfineName(path, NameKind::kRelativePath, &confined);
  if (!s.ok()) return s.message();
  // The rule drops "." and empty components and a trailing separator; a
  // manifest spells a path one way only.
  if (confined != path) {
    return "is not spelled as the client spells it (backslashes, no empty or \".\" part)";
  }
  if (IsClientStateName(path)) return "names a file the update keeps in the client itself";
  return {};
}

struct KeyedPath {
  std::string key;
  std::string_view path;
  size_t where;  // the line of a parsed text, the order of a scan
};

enum class Clash { kNone, kSame, kDirectory };

// Finds two paths a client cannot hold together: one key twice, or the key
// of a file that starts the key of another path. Sorting keys makes every
// such clash show between neighbours, so this costs a sort, never a
// comparison of every pair. Of the clashes seen, gives the one completed
// first (by `where`): in *first and *second, the earlier and the later
// path, or for a directory clash the file and the path below it.
Clash FindClash(std::vector<KeyedPath>* paths, const KeyedPath** first,
                const KeyedPath** second) {
  std::sort(paths->begin(), paths->end(),
            [](const KeyedPath& a, const KeyedPath& b) { return a.key < b.key; });
  Clash found = Clash::kNone;
  size_t found_at = std::numeric_limits<size_t>::max();
  for (size_t i = 1; i < paths->size(); ++i) {
    const KeyedPath& a = (*paths)[i - 1];
    const KeyedPath& b = (*paths)[i];
    Clash clash = Clash::kNone;
    if (a.key == b.key) {
      clash = Clash::kSame;
    } else if (b.key.size() > a.key.size() && b.key.starts_with(a.key) &&
               b.key[a.key.size()] == kKeySeparator) {
      clash = Clash::kDirectory;
    }
    if (clash == Clash::kNone) continue;
    const size_t at = std::max(a.where, b.where);
    if (at < found_at) {
      found = clash;
      found_at = at;
      const bool a_first = clash == Clash::kDirectory || a.where < b.where;
      *first = a_first ? &a : &b;
      *second = a_first ? &b : &a;
    }
  }
  return found;
}

std::string ClashText(Clash clash, const KeyedPath& first, const KeyedPath& second) {
  if (clash == Clash::kSame) {
    return Quoted(second.path) + " and " + Quoted(first.path) +
           " are one path (paths compare case-insensitively)";
  }
  return Quoted(first.path) + " is a file, but " + Quoted(second.path) +
         " makes it a directory";
}

size_t FormattedSize(const TreeManifest& m) {
  size_t bytes = kHeader.size() + 1 + kLineKey.size() + m.line.size() + 1 +
                 kVersionKey.size() + std::to_string(m.version).size() + 1;
  for (const TreeFile& f : m.files) {
    bytes += kFileKey.size() + DecimalDigits(f.size) + 1 + DecimalDigits(f.object_size) + 1 +
             kHashHexDigits + 1 + f.path.size() + 1;
  }
  for (const TreePack& p : m.packs) {
    bytes += kPackKey.size() + p.path.size() + 1;
    for (const TreePackEntry& e : p.entries) {
      bytes += kEntryKey.size() + DecimalDigits(e.id) + 1 + DecimalDigits(e.size) + 1 +
               DecimalDigits(e.stored_size) + 1 + 1 + 1 + DecimalDigits(e.object_size) + 1 +
               e.md5_hex.size() + 1 + kHashHexDigits + 1;
    }
  }
  return bytes;
}

class TreeParser : private ManifestLines {
 public:
  explicit TreeParser(std::string_view text) : ManifestLines(kTreeManifestName, text) {}

  Status Parse(TreeManifest* manifest) {
    Status s = ReadHeaderAndLine(kHeader, &manifest->line);
    if (!s.ok()) return s;
    std::string_view line;

    s = Expect(kVersionKey, "version <number>", &line);
    if (!s.ok()) return s;
    uint64_t version = 0;
    if (!ParseCanonicalDecimal(line, kMaxVersion, &version) || version == 0) {
      return Refuse("the version is a decimal number from 1 to 2^31-1");
    }
    manifest->version = static_cast<int32_t>(version);

    std::vector<KeyedPath> keyed;
    // Of the previous file or pack line, for the order.
    std::string_view previous_path;
    // The pack the next entry line belongs to; null after a file line.
    TreePack* pack = nullptr;
    while (!rest_.empty()) {
      s = Next(&line, "file, pack or entry line");
      if (!s.ok()) return s;
      if (line.starts_with(kEntryKey)) {
        if (pack == nullptr) return Refuse("an entry line outside a pack");
        s = ParseEntry(line.substr(kEntryKey.size()), pack);
        if (!s.ok()) return s;
        continue;
      }
      std::string_view path;
      if (line.starts_with(kFileKey)) {
        TreeFile file;
        s = ParseFile(line.substr(kFileKey.size()), &file);
        if (!s.ok()) return s;
        manifest->files.push_back(std::move(file));
        path = line.substr(line.size() - manifest->files.back().path.size());
        pack = nullptr;
      } else if (line.starts_with(kPackKey)) {
        path = line.substr(kPackKey.size());
        s = CheckPath(path);
        if (!s.ok()) return s;
        manifest->packs.emplace_back();
        pack = &manifest->packs.back();
        pack->path.assign(path);
      } else {
        return Refuse(
            "expected \"file <size> <object size> <hash> <path>\", \"pack <path>\" or "
            "\"entry ...\"");
      }
      if (!previous_path.empty() && path <= previous_path) {
        return Refuse(path == previous_path
                          ? Quoted(path) + " is listed twice"
                          : Quoted(path) + " is out of order: paths ascend byte by byte");
      }
      if (keyed.size() == kMaxTreePaths) {
        return Refuse("more than " + std::to_string(kMaxTreePaths) + " files and packs");
      }
      // Views into the text itself: the strings in the vectors move as
      // they grow.
      previous_path = path;
      keyed.push_back({PathKey(path), path, number_});
    }

    const KeyedPath* first = nullptr;
    const KeyedPath* second = nullptr;
    const Clash clash = FindClash(&keyed, &first, &second);
    if (clash != Clash::kNone) {
      number_ = std::max(first->where, second->where);
      return Refuse(ClashText(clash, *first, *second));
    }
    return Status::OK();
  }

 private:
  Status CheckPath(std::string_view path) const {
    const std::string why = PathRefusal(path);
    return why.empty() ? Status::OK() : Refuse("path " + Quoted(path) + " " + why);
  }

  // An object holds at most its content and the byte that says its form.
  static bool ParseObjectSize(std::string_view field, uint64_t content_size, uint64_t* size) {
    return ParseCanonicalDecimal(field, content_size + 1, size) && *size != 0;
  }

  // Cuts the next space-ended field off `text`; false when there is none.
  static bool Field(std::string_view* text, std::string_view* field) {
    const size_t end = text->find(' ');
    if (end == std::string_view::npos) return false;
    *field = text->substr(0, end);
    text->remove_prefix(end + 1);
    return true;
  }

  Status ParseFile(std::string_view text, TreeFile* file) {
    std::string_view field;
    if (!Field(&text, &field) || !ParseCanonicalDecimal(field, kMaxFileSize, &file->size)) {
      return Refuse("the size is a decimal number from 0 to 2^63-1");
    }
    if (!Field(&text, &field) || !ParseObjectSize(field, file->size, &file->object_size)) {
      return Refuse("the object size is a decimal number from 1 to the size plus one");
    }
    if (!Field(&text, &field) || !ParseContentHashHex(field, &file->hash)) {
      return Refuse("the hash is 64 lowercase hexadecimal digits");
    }
    const Status s = CheckPath(text);
    if (!s.ok()) return s;
    file->path.assign(text);
    return Status::OK();
  }

  Status ParseEntry(std::string_view text, TreePack* pack) {
    TreePackEntry entry;
    std::string_view field;
    uint64_t value = 0;
    if (!Field(&text, &field) || !ParseCanonicalDecimal(field, kMaxPackNumber, &value)) {
      return Refuse("the entry id is a decimal number from 0 to 2^32-1");
    }
    entry.id = static_cast<uint32_t>(value);
    if (!pack->entries.empty() && entry.id <= pack->entries.back().id) {
      return Refuse(entry.id == pack->entries.back().id
                        ? "entry " + std::to_string(entry.id) + " is listed twice"
                        : "entry " + std::to_string(entry.id) + " is out of order: ids ascend");
    }
    if (pack->entries.size() == kPackMaxEntries) {
      return Refuse("a pack holds at most " + std::to_string(kPackMaxEntries) + " entries");
    }
    if (!Field(&text, &field) || !ParseCanonicalDecimal(field, kMaxPackNumber, &value)) {
      return Refuse("the entry size is a decimal number from 0 to 2^32-1");
    }
    entry.size = static_cast<uint32_t>(value);
    if (!Field(&text, &field) || !ParseCanonicalDecimal(field, kMaxPackNumber, &value)) {
      return Refuse("the stored size is a decimal number from 0 to 2^32-1");
    }
    entry.stored_size = static_cast<uint32_t>(value);
    if (!Field(&text, &field) || (field != "0" && field != "1")) {
      return Refuse("the compressed flag is 0 or 1");
    }
    entry.compressed = field == "1";
    if (!entry.compressed && entry.size != entry.stored_size) {
      return Refuse("a raw entry's size is its stored size");
    }
    if (!Field(&text, &field) || !ParseObjectSize(field, entry.stored_size, &entry.object_size)) {
      return Refuse("the object size is a decimal number from 1 to the stored size plus one");
    }
    if (!Field(&text, &field) || !IsLowerHex(field, kMd5HexDigits)) {
      return Refuse("the entry's MD5 is 32 lowercase hexadecimal digits");
    }
    entry.md5_hex.assign(field);
    if (!ParseContentHashHex(text, &entry.hash)) {
      return Refuse("the entry's hash is 64 lowercase hexadecimal digits, ending the line");
    }
    pack->entries.push_back(std::move(entry));
    return Status::OK();
  }

};

std::string JoinPath(const std::string& dir, const std::string& relative) {
  if (relative.empty()) return dir;
  if (dir.empty() || dir.back() == '/' || dir.back() == '\\') return dir + relative;
  return dir + '\\' + relative;
}

struct PackCloser {
  void operator()(PackArchive* archive) const { PackDiscard(archive); }
};

}  // namespace

const TreePackEntry* TreePack::FindEntry(uint32_t id) const {
  const auto it = std::lower_bound(
      entries.begin(), entries.end(), id,
      [](const TreePackEntry& entry, uint32_t wanted) { return entry.id < wanted; });
  return it != entries.end() && it->id == id ? &*it : nullptr;
}

Status ParseTreeManifest(std::string_view text, TreeManifest* manifest) {
  *manifest = TreeManifest();
  if (text.size() > kMaxTreeManifestBytes) {
    return Status::Corruption(std::string(kTreeManifestName) + ": larger than " +
                              std::to_string(kMaxTreeManifestBytes) + " bytes");
  }
  TreeManifest parsed;
  const Status s = TreeParser(text).Parse(&parsed);
  if (s.ok()) *manifest = std::move(parsed);
  return s;
}

std::string FormatTreeManifest(const TreeManifest& manifest) {
  std::vector<const TreeFile*> files;
  files.reserve(manifest.files.size());
  for (const TreeFile& f : manifest.files) files.push_back(&f);
  std::vector<const TreePack*> packs;
  packs.reserve(manifest.packs.size());
  for (const TreePack& p : manifest.packs) packs.push_back(&p);
  const auto by_path = [](const auto* a, const auto* b) { return a->path < b->path; };
  std::stable_sort(files.begin(), files.end(), by_path);
  std::stable_sort(packs.begin(), packs.end(), by_path);

  std::string out;
  out.reserve(FormattedSize(manifest));
  out += kHeader;
  out += '\n';
  out += kLineKey;
  out += manifest.line;
  out += '\n';
  out += kVersionKey;
  out += std::to_string(manifest.version);
  out += '\n';
  std::vector<const TreePackEntry*> entries;
  size_t f = 0, p = 0;
  while (f < files.size() || p < packs.size()) {
    if (p == packs.size() || (f < files.size() && files[f]->path <= packs[p]->path)) {
      const TreeFile& file = *files[f++];
      out += kFileKey;
      out += std::to_string(file.size);
      out += ' ';
      out += std::to_string(file.object_size);
      out += ' ';
      out += ContentHashHex(file.hash);
      out += ' ';
      out += file.path;
      out += '\n';
      continue;
    }
    const TreePack& pack = *packs[p++];
    out += kPackKey;
    out += pack.path;
    out += '\n';
    entries.clear();
    for (const TreePackEntry& e : pack.entries) entries.push_back(&e);
    std::stable_sort(entries.begin(), entries.end(),
                     [](const auto* a, const auto* b) { return a->id < b->id; });
    for (const TreePackEntry* e : entries) {
      out += kEntryKey;
      out += std::to_string(e->id);
      out += ' ';
      out += std::to_string(e->size);
      out += ' ';
      out += std::to_string(e->stored_size);
      out += e->compressed ? " 1 " : " 0 ";
      out += std::to_string(e->object_size);
      out += ' ';
      out += e->md5_hex;
      out += ' ';
      out += ContentHashHex(e->hash);
      out += '\n';
    }
  }
  return out;
}

TreePathIndex::TreePathIndex(const TreeManifest& manifest) {
  files_.reserve(manifest.files.size());
  for (const TreeFile& f : manifest.files) files_.emplace(PathKey(f.path), &f);
  packs_.reserve(manifest.packs.size());
  for (const TreePack& p : manifest.packs) packs_.emplace(PathKey(p.path), &p);
}

const TreeFile* TreePathIndex::FindFile(std::string_view path) const {
  const auto it = files_.find(PathKey(path));
  return it == files_.end() ? nullptr : it->second;
}

const TreePack* TreePathIndex::FindPack(std::string_view path) const {
  const auto it = packs_.find(PathKey(path));
  return it == packs_.end() ? nullptr : it->second;
}

std::string TreeManifestFileName(int32_t version) {
  return "tree" + std::to_string(version) + ".manifest";
}

bool IsClientStateName(std::string_view relative_path) {
  const std::string key = PathKey(relative_path);
  static const char* const kStateFiles[] = {
      "curver.bin",       "newver.bin",
      "verlist.bin",      "patchone.ini",
      "patchone_temp.ini", "patchone_temp.ini.minisig",
      "release.manifest", "release.manifest.minisig",
      "dizedir.lock",     "dizedir.state",
      "qmz_gt\\downloadaddr.txt"};
  for (const char* name : kStateFiles) {
    if (key == PathKey(name)) return true;
  }
  const std::string repair_key = PathKey(kRepairDirName);
  if (key == repair_key ||
      (key.starts_with(repair_key) && key[repair_key.size()] == kKeySeparator)) {
    return true;
  }
  // tree<digits>.manifest at the top; digits fold to themselves.
  static const std::string prefix = PathKey("tree"), suffix = PathKey(".manifest");
  if (key.find(kKeySeparator) != std::string::npos || !key.starts_with(prefix) ||
      !key.ends_with(suffix) || key.size() <= prefix.size() + suffix.size()) {
    return false;
  }
  const std::string_view digits =
      std::string_view(key).substr(prefix.size(), key.size() - prefix.size() - suffix.size());
  return std::all_of(digits.begin(), digits.end(), IsDigit);
}

bool IsClientModuleName(std::string_view relative_path) {
  const std::string key = PathKey(relative_path);
  static const char* const kModules[] = {"dizedir.dll", "Http.dll",   "VkMain.dll",
                                         "ResChn.dll",  "dizedir.so", "dizhttp.so",
                                         "vkmain.so",   "dizedir.pub"};
  for (const char* name : kModules) {
    if (key == PathKey(name)) return true;
  }
  return false;
}

bool IsPackName(std::string_view name) {
  constexpr std::string_view kSuffix = ".pac";
  if (name.size() < kSuffix.size()) return false;
  const std::string_view tail = name.substr(name.size() - kSuffix.size());
  for (size_t i = 0; i < kSuffix.size(); ++i) {
    const char c = tail[i] >= 'A' && tail[i] <= 'Z' ? static_cast<char>(tail[i] - 'A' + 'a')
                                                    : tail[i];
    if (c != kSuffix[i]) return false;
  }
  return true;
}

Status ScanPack(Env* env, const std::string& path, const std::string& shown_path,
                TreePack* pack) {
  std::unique_ptr<PackArchive, PackCloser> archive(PackOpenReadOnly(env, path));
  if (archive == nullptr) {
    // The open says nothing of why; the whole check does, table first.
    Status s = PackCheck(env, path, shown_path);
    return s.ok() ? Status::IOError("cannot read pack " + shown_path) : s;
  }
  TreePack scanned;
  scanned.path = shown_path;
  const uint32_t count = PackGetCount(archive.get());
  scanned.entries.reserve(count);
  ContentHasher hasher;
  // Rows in table order, which is mostly block order: the blocks are read
  // front to back.
  for (uint32_t k = 0; k < count; ++k) {
    const uint32_t id = PackGetIdAt(k, archive.get());
    PackEntryInfo info;
    if (PackGetEntryInfo(id, archive.get(), &info) != 1) {
      return Status::IOError("cannot read pack " + shown_path);
    }
    if (!IsLowerHex(info.digest, kMd5HexDigits)) {
      return Status::Corruption("damaged pack " + shown_path + ": entry " + std::to_string(id) +
                                " has a digest that is not 32 lowercase hexadecimal digits");
    }
    const Status s = PackStreamStored(id, archive.get(), [&hasher](std::string_view piece) {
      hasher.Update(piece);
      return true;
    });
    if (!s.ok()) return Status::IOError("cannot read pack " + shown_path + ": " + s.message());
    TreePackEntry entry;
    entry.id = id;
    entry.size = info.size;
    entry.stored_size = info.stored_size;
    entry.compressed = info.compressed != 0;
    entry.md5_hex = std::move(info.digest);
    entry.hash = hasher.Final();
    scanned.entries.push_back(std::move(entry));
  }
  std::sort(scanned.entries.begin(), scanned.entries.end(),
            [](const TreePackEntry& a, const TreePackEntry& b) { return a.id < b.id; });
  *pack = std::move(scanned);
  return Status::OK();
}

Status ScanClientTree(Env* env, const std::string& dir,
                      const std::function<bool(std::string_view relative_path)>& include,
                      TreeManifest* manifest) {
  *manifest = TreeManifest();
  TreeManifest tree;
  const auto refuse = [](const std::string& relative, const std::string& why) {
    return Status::InvalidArgument(Quoted(relative) + " " + why);
  };
  // Directories still to list, relative to `dir`; a stack, since the order
  // of the walk does not matter once the lists are sorted.
  std::vector<std::string> pending = {std::string()};
  std::vector<std::string> names;
  while (!pending.empty()) {
    const std::string relative_dir = std::move(pending.back());
    pending.pop_back();
    names.clear();
    Status s = env->GetChildren(JoinPath(dir, relative_dir), &names);
    if (!s.ok()) return s;
    for (const std::string& name : names) {
      if (IsTemporaryName(name)) continue;
      const std::string relative = relative_dir.empty() ? name : relative_dir + '\\' + name;
      const std::string path = JoinPath(dir, relative);
      const bool directory = env->IsDirectory(path);
      if (!directory && !include(relative)) continue;
      // One component at a time: a name that holds a separator is refused
      // here, instead of being read as a path.
      std::string confined;
      s = ConfineName(name, NameKind::kBareName, &confined);
      if (!s.ok()) return refuse(relative, "cannot be listed: its name " + s.message());
      if (confined != name) return refuse(relative, "cannot be listed: its name is not bare");
      if (directory) {
        if (env->IsSymbolicLink(path)) {
          return refuse(relative, "is a link to a directory, which a client tree cannot hold");
        }
        pending.push_back(relative);
        continue;
      }
      if (relative.size() > kMaxTreePathBytes) {
        return refuse(relative, "is longer than " + std::to_string(kMaxTreePathBytes) + " bytes");
      }
      if (tree.files.size() + tree.packs.size() == kMaxTreePaths) {
        return Status::InvalidArgument("the client holds more than " +
                                       std::to_string(kMaxTreePaths) + " files");
      }
      if (IsPackName(name)) {
        TreePack pack;
        s = ScanPack(env, path, relative, &pack);
        if (!s.ok()) return s;
        tree.packs.push_back(std::move(pack));
      } else {
        TreeFile file;
        file.path = relative;
        s = HashFileContent(env, path, &file.hash, &file.size);
        if (!s.ok()) return s;
        tree.files.push_back(std::move(file));
      }
    }
  }
  const auto by_path = [](const auto& a, const auto& b) { return a.path < b.path; };
  std::sort(tree.files.begin(), tree.files.end(), by_path);
  std::sort(tree.packs.begin(), tree.packs.end(), by_path);

  std::vector<KeyedPath> keyed;
  keyed.reserve(tree.files.size() + tree.packs.size());
  for (const TreeFile& f : tree.files) keyed.push_back({PathKey(f.path), f.path, keyed.size()});
  for (const TreePack& p : tree.packs) keyed.push_back({PathKey(p.path), p.path, keyed.size()});
  const KeyedPath* first = nullptr;
  const KeyedPath* second = nullptr;
  const Clash clash = FindClash(&keyed, &first, &second);
  if (clash != Clash::kNone) return Status::InvalidArgument(ClashText(clash, *first, *second));

  // What a client would refuse to read is not worth writing.
  if (FormattedSize(tree) > kMaxTreeManifestBytes) {
    return Status::InvalidArgument("the client's tree manifest would exceed " +
                                   std::to_string(kMaxTreeManifestBytes) + " bytes");
  }
  *manifest = std::move(tree);
  return Status::OK();
}

}  // namespace dizedir
