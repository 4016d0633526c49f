#include "lists/version_record.h"

#include <limits>
#include <memory>

#include "codec/md5.h"
#include "lists/formatted_scanner.h"
#include "lists/list_text.h"
#include "lists/split_archive.h"
#include "platform/confined_path.h"

namespace dizedir {
namespace {

// A part count beyond this cannot come from a real list: a verlist.bin line
// (10239 bytes) has room for fewer parts, each needing its own space.
constexpr int32_t kMaxPartCount = static_cast<int32_t>(kListLineBound);

constexpr size_t kDigestReadSize = size_t{256} << 10;

// Scans the leading fields of a text the way a C formatted read of
// "%s %s %s %d %d" does, with every token bounded. The text counts only up
// to its first NUL.
class FieldScanner {
 public:
  explicit FieldScanner(std::string_view text)
      : scanner_(text.substr(0, text.find('\0'))) {}

  bool Token(std::string* out) {
    const std::string_view token = scanner_.NextWord();
    if (token.empty() || token.size() > kMaxListTokenLength) return false;
    out->assign(token);
    return true;
  }

  // An optionally signed decimal; values beyond 32 bits saturate.
  bool Integer(int32_t* out) {
    ScannedDecimal d;
    if (!scanner_.NextDecimal(&d)) return false;
    *out = d.Saturated();
    return true;
  }

 private:
  FormattedScanner<char> scanner_;
};

int32_t LenientInteger(std::string_view text) {
  return LenientInt32(text.substr(0, text.find('\0')));
}

// Splits off the text up to the next space. False when there is no space,
// which every trailer field but the last requires.
bool NextSpaceToken(std::string_view* rest, std::string_view* token) {
  const size_t space = rest->find(' ');
  if (space == std::string_view::npos) return false;
  *token = rest->substr(0, space);
  rest->remove_prefix(space + 1);
  return true;
}

std::string_view AfterLastBackslash(std::string_view name) {
  const size_t slash = name.find_last_of('\\');
  return slash == std::string_view::npos ? name : name.substr(slash + 1);
}

bool Contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

}  // namespace

bool VersionRecord::Parse(std::string_view line) {
  const std::string plain = Unscramble(line);
  FieldScanner scanner(plain);
  std::string date, time, id;
  int32_t read_number = 0, read_state = 1;
  if (!scanner.Token(&date) || !scanner.Token(&time) || !scanner.Token(&id) ||
      !scanner.Integer(&read_number)) {
    return false;
  }
  if (!scanner.Integer(&read_state)) read_state = 1;
  stamp = date + " " + time;
  guid = std::move(id);
  number = read_number;
  state = read_state;
  return true;
}

std::string VersionRecord::Format() const {
  const int32_t stored_state = state == 3 ? 2 : state;
  return Scramble(stamp + " " + guid + " " + std::to_string(number) + " " +
                  std::to_string(stored_state));
}

bool PatchRecord::Parse(std::string_view line) {
  std::string_view rest = CutAtLineEnd(line);
  std::string_view base;
  if (!NextSpaceToken(&rest, &base)) return false;
  // A base part that does not parse leaves the defaults; the trailer still
  // decides.
  VersionRecord::Parse(base);

  std::string_view count_text, archive_text;
  if (!NextSpaceToken(&rest, &count_text)) return false;
  if (!NextSpaceToken(&rest, &archive_text)) return false;
  const int32_t count = LenientInteger(count_text);
  archive.assign(archive_text);
  if (count <= 0) return true;

  // Every part but the last needs a space after its digest, so a count the
  // line cannot hold fails here instead of after a long walk.
  size_t spaces = 0;
  for (char c : rest) spaces += c == ' ';
  if (static_cast<uint64_t>(count) > spaces + 1) return false;

  const bool single_file = Contains(archive, ".zip");
  if (!single_file &&
      PartName(archive, count - 1).size() > kMaxListTokenLength) {
    return false;
  }
  parts.reserve(parts.size() + static_cast<size_t>(count));
  for (int32_t i = 0; i < count; ++i) {
    PartEntry entry;
    entry.name = single_file ? archive : PartName(archive, i);
    if (i == count - 1) {
      entry.digest.assign(rest);
    } else {
      std::string_view digest;
      if (!NextSpaceToken(&rest, &digest)) return false;
      entry.digest.assign(digest);
    }
    parts.push_back(std::move(entry));
  }
  return true;
}

std::string PatchRecord::Format() const {
  std::string line = VersionRecord::Format();
  line += ' ';
  line += std::to_string(parts.size());
  line += ' ';
  line += archive;
  for (const PartEntry& part : parts) {
    line += ' ';
    line += part.digest;
  }
  return line;
}

bool PatchRecord::AddPart(std::string_view name) {
  if (Contains(name, ".zip")) {
    if (!parts.empty()) return false;
    archive.assign(AfterLastBackslash(name));
  } else {
    const size_t underscore = name.find_last_of('_');
    if (underscore == std::string_view::npos) return false;
    const std::string_view prefix =
        AfterLastBackslash(name.substr(0, underscore));
    if (parts.empty()) {
      archive.assign(prefix);
    } else if (archive != prefix) {
      return false;
    }
  }
  PartEntry entry;
  entry.name.assign(name);
  parts.push_back(std::move(entry));
  return true;
}

std::string PatchRecord::PartNameAt(size_t index) const {
  return index < parts.size() ? parts[index].name : std::string();
}

std::string PatchRecord::PartDigestAt(size_t index) const {
  return index < parts.size() ? parts[index].digest : std::string();
}

bool LocalVersionRecord::Parse(std::string_view line) {
  std::string_view rest = CutAtLineEnd(line);
  std::string_view base;
  if (!NextSpaceToken(&rest, &base)) {
    // An empty line stands for a default record; a pending record without
    // its trailer, though, has lost what makes it resumable.
    VersionRecord::Parse(rest);
    return state <= 1;
  }
  VersionRecord::Parse(base);
  if (state <= 1) return true;

  std::string_view count_text, good_text;
  if (!NextSpaceToken(&rest, &count_text)) return false;
  if (!NextSpaceToken(&rest, &good_text)) return false;
  partCount = LenientInteger(count_text);
  const std::string_view archive_text = rest;

  if (partCount > kMaxPartCount) return false;
  if (partCount == 1) {
    AddPart(archive_text);
  } else if (partCount > 1) {
    if (PartName(archive_text, partCount - 1).size() > kMaxListTokenLength) {
      return false;
    }
    for (int32_t i = 0; i < partCount; ++i) {
      AddPart(PartName(archive_text, i));
    }
  }
  return true;
}

std::string LocalVersionRecord::Format() const {
  std::string line = VersionRecord::Format();
  if (state <= 1) return line;
  size_t good = 0;
  for (const PartEntry& part : parts) {
    good += !part.digest.empty() && part.digest != kWrongDigest;
  }
  line += ' ';
  line += std::to_string(partCount);
  line += ' ';
  line += std::to_string(good);
  line += ' ';
  line += archive;
  return line;
}

void StampNow(Env* env, VersionRecord* record) {
  record->stamp = FormatStamp(env->GetLocalTime());
}

void NewGuid(Env* env, VersionRecord* record) {
  std::array<uint8_t, 16> bytes;
  if (env->NewGuid(&bytes).ok()) record->guid = FormatGuid(bytes);
}

bool DigestPart(Env* env, const std::string& dir, PartEntry* entry, PartDigestCache* cache) {
  std::unique_ptr<ReadableFile> file;
  std::string path;
  // A part name is a bare file name in the client directory; one that is
  // not (a damaged or hostile list) names no part file there.
  if (!ConfinePath(dir, PartFileName(entry->name), NameKind::kBareName, &path).ok()) {
    entry->digest = kWrongDigest;
    return false;
  }
  FileInfo state;
  PartDigestCache::Digests kept;
  if (cache != nullptr && cache->Find(env, path, &state, &kept)) {
    entry->digest = kept.md5_hex;
    entry->name = std::string(AfterLastBackslash(entry->name));
    return true;
  }
  if (!env->NewReadableFile(path, &file).ok()) {
    entry->digest = kWrongDigest;
    return false;
  }
  Md5 md5;
  std::unique_ptr<char[]> buffer(new char[kDigestReadSize]);
  uint64_t offset = 0;
  while (true) {
    size_t got = 0;
    if (!file->Read(offset, kDigestReadSize, buffer.get(), &got).ok()) {
      entry->digest = kWrongDigest;
      return false;
    }
    if (got == 0) break;
    md5.Update(buffer.get(), got);
    offset += got;
  }
  entry->digest = md5.HexFinal();
  entry->name = std::string(AfterLastBackslash(entry->name));
  if (cache != nullptr && state.modified_nanos != 0) {
    cache->Remember(path, state, {entry->digest, std::nullopt});
  }
  return true;
}

bool DigestParts(Env* env, const std::string& dir, PatchRecord* record, PartDigestCache* cache) {
  bool all = true;
  for (PartEntry& part : record->parts) {
    all = DigestPart(env, dir, &part, cache) && all;
  }
  return all;
}

}  // namespace dizedir
