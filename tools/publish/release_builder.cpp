#include "tools/publish/release_builder.h"

#include <algorithm>
#include <memory>

#include "lists/download_address.h"
#include "lists/list_text.h"
#include "lists/split_archive.h"
#include "lists/version_lists.h"

namespace dizedir::publish {
namespace {

// Mirrors are refused here rather than dropped by the client's reader, so
// the operator learns of a typing error at once.
Status CheckMirrors(const std::vector<std::string>& mirrors) {
  if (mirrors.size() > kMaxMirrors) {
    return Status::InvalidArgument("more than " + std::to_string(kMaxMirrors) + " mirrors");
  }
  for (const std::string& mirror : mirrors) {
    if (!IsMirrorUrl(mirror)) {
      return Status::InvalidArgument("not an http or https base URL: " + mirror);
    }
  }
  return Status::OK();
}

std::string Join(const std::string& dir, std::string_view name) {
  if (dir.empty()) return std::string(name);
  const char last = dir.back();
  return last == '/' || last == '\\' ? dir + std::string(name)
                                     : dir + "/" + std::string(name);
}

std::string DirWithSlash(const std::string& dir) {
  return Join(dir, "");
}

std::string EncodeVersions(const std::vector<VersionRecord>& records) {
  std::string out;
  for (const VersionRecord& r : records) {
    out += r.Format();
    out += kListLineTerminator;
  }
  return out;
}

std::string EncodePatches(const std::vector<PatchRecord>& records) {
  std::string out;
  for (const PatchRecord& r : records) {
    out += r.Format();
    out += kListLineTerminator;
  }
  return out;
}

Status WriteLists(Env* env, const std::string& dir, const ReleaseLists& lists,
                  bool patches_first) {
  const std::string published = EncodeVersions(PublishedVersions(lists));
  const std::string patches = EncodePatches(lists.patches);
  Status s = WriteFileAtomically(env, Join(dir, kHistoryName),
                                 EncodeVersions(lists.versions));
  if (!s.ok()) return s;
  if (patches_first) {
    s = WriteFileAtomically(env, Join(dir, kPatchListName), patches);
    if (s.ok()) s = WriteFileAtomically(env, Join(dir, kPublishedListName), published);
  } else {
    s = WriteFileAtomically(env, Join(dir, kPublishedListName), published);
    if (s.ok()) s = WriteFileAtomically(env, Join(dir, kPatchListName), patches);
  }
  return s;
}

Status CopyFile(Env* env, const std::string& from, const std::string& to) {
  std::unique_ptr<WritableFile> out;
  const std::string temp = to + std::string(kTempSuffix);
  Status s = env->NewWritableFile(temp, &out);
  if (s.ok()) s = AppendFileContents(env, from, out.get());
  if (s.ok()) s = out->Sync();
  if (s.ok()) s = out->Close();
  out.reset();
  if (s.ok()) s = env->RenameFile(temp, to);
  if (!s.ok()) env->DeleteFile(temp);
  return s;
}

void DeleteParts(Env* env, const std::string& dir, const std::string& archive,
                 int up_to) {
  for (int i = 0; i < up_to; ++i) {
    env->DeleteFile(Join(dir, PartFileName(PartName(archive, i))));
  }
}

// Cuts dir/archive.zip by the split rule into about `parts` parts. The rule
// can make fewer parts than asked, and an empty last one when the size
// divides evenly; a client refuses a part of size 0, so such a cut is
// retried with one part fewer. Returns the number of parts, 0 when no cut
// into two or more non-empty parts exists.
Status SplitArchive(Env* env, const std::string& dir,
                    const std::string& archive, int parts, int* made) {
  *made = 0;
  const std::string zip = Join(dir, archive + ".zip");
  for (int n = parts; n >= 2; --n) {
    DeleteParts(env, dir, archive, parts + 1);
    if (!SplitFile(env, zip, n)) {
      return Status::IOError("cannot split " + zip);
    }
    int count = 0;
    bool empty_part = false;
    for (;; ++count) {
      uint64_t size = 0;
      const std::string part = Join(dir, PartFileName(PartName(archive, count)));
      if (!env->GetFileSize(part, &size).ok()) break;
      empty_part = empty_part || size == 0;
    }
    if (count >= 2 && !empty_part) {
      *made = count;
      return Status::OK();
    }
  }
  DeleteParts(env, dir, archive, parts + 1);
  return Status::OK();
}

int32_t NextNumber(const ReleaseLists& lists) {
  int32_t top = 0;
  for (const VersionRecord& v : lists.versions) top = std::max(top, v.number);
  for (const PatchRecord& p : lists.patches) top = std::max(top, p.number);
  return top + 1;
}

}  // namespace

std::vector<VersionRecord> PublishedVersions(const ReleaseLists& lists) {
  std::vector<VersionRecord> out;
  for (const VersionRecord& v : lists.versions) {
    if (v.state == 1) out.clear();
    if (v.state == 1 || v.state == 2) out.push_back(v);
  }
  return out;
}

Status LoadRelease(Env* env, const std::string& release_dir,
                   ReleaseLists* lists) {
  *lists = ReleaseLists();
  std::string versions, patches;
  Status s = ReadFileToString(env, Join(release_dir, kHistoryName), &versions,
                              kMaxListFileBytes);
  if (!s.ok()) return s;
  s = ReadFileToString(env, Join(release_dir, kPatchListName), &patches,
                       kMaxListFileBytes);
  if (!s.ok()) return s;
  size_t line = 0;
  if (!DecodeRemoteVersions(versions, &lists->versions, &line)) {
    return Status::Corruption(std::string(kHistoryName) + ": line " +
                              std::to_string(line) + " does not parse");
  }
  if (!DecodePatches(patches, &lists->patches, &line)) {
    return Status::Corruption(std::string(kPatchListName) + ": line " +
                              std::to_string(line) + " does not parse");
  }
  if (lists->versions.empty()) {
    return Status::Corruption(std::string(kHistoryName) + " holds no version");
  }
  return Status::OK();
}

bool HoldsReleaseLine(Env* env, const std::string& release_dir) {
  return env->FileExists(Join(release_dir, kHistoryName)) ||
         env->FileExists(Join(release_dir, kPublishedListName));
}

Status InitRelease(Env* env, const std::string& release_dir,
                   const InitOptions& options, std::string* client_list) {
  if (HoldsReleaseLine(env, release_dir)) {
    return Status::InvalidArgument(release_dir + " already holds a release line");
  }
  Status s = env->CreateDirectories(release_dir);
  if (!s.ok()) return s;
  VersionRecord base;
  StampNow(env, &base);
  NewGuid(env, &base);
  if (base.guid.empty()) return Status::IOError("no GUID for the release line");
  base.number = options.base_number;
  base.state = 1;
  ReleaseLists lists;
  lists.versions.push_back(base);
  // A client fetches downloadaddr.txt first and stops when it is missing.
  DownloadAddress address;
  address.text = options.download_address;
  address.mirrors = options.mirrors;
  s = CheckMirrors(options.mirrors);
  if (s.ok()) {
    s = WriteFileAtomically(env, Join(release_dir, kDownloadAddressName),
                            FormatDownloadAddress(address));
  }
  if (s.ok()) s = WriteLists(env, release_dir, lists, true);
  if (s.ok() && client_list != nullptr) {
    s = ClientListAt(lists, base.number, client_list);
  }
  return s;
}

Status AddPatch(Env* env, const std::string& release_dir,
                const std::string& archive_path, const AddOptions& options,
                AddResult* result) {
  *result = AddResult();
  ReleaseLists lists;
  Status s = LoadRelease(env, release_dir, &lists);
  if (!s.ok()) return s;
  uint64_t size = 0;
  s = env->GetFileSize(archive_path, &size);
  if (!s.ok()) return s;
  if (options.parts < 0 || (options.parts == 0 && options.part_bytes == 0)) {
    return Status::InvalidArgument("a part count of 1 or more, or a part size");
  }

  const int32_t number = NextNumber(lists);
  const std::string archive = "patch" + std::to_string(number);
  const std::string zip = Join(release_dir, archive + ".zip");
  s = CopyFile(env, archive_path, zip);
  if (!s.ok()) return s;

  int wanted = options.parts;
  if (wanted == 0) {
    const uint64_t n = (size + options.part_bytes - 1) / options.part_bytes;
    wanted = static_cast<int>(std::min<uint64_t>(std::max<uint64_t>(n, 1), 9999));
  }
  int made = 0;
  if (wanted >= 2) {
    s = SplitArchive(env, release_dir, archive, wanted, &made);
    if (!s.ok()) return s;
  }

  PatchRecord& patch = result->patch;
  StampNow(env, &patch);
  patch.guid = lists.versions.front().guid;
  patch.number = number;
  patch.state = options.optional ? 2 : 1;
  if (made >= 2) {
    env->DeleteFile(zip);
    patch.archive = archive;
    for (int i = 0; i < made; ++i) {
      patch.parts.push_back({PartName(archive, i), ""});
    }
  } else {
    patch.archive = archive + ".zip";
    patch.parts.push_back({patch.archive, ""});
  }
  if (!DigestParts(env, DirWithSlash(release_dir), &patch)) {
    return Status::IOError("cannot digest the parts of " + archive);
  }

  // Built on the newest tree, the patch needs every earlier one applied.
  for (PatchRecord& p : lists.patches) {
    if (p.state == 2) {
      p.state = 1;
      result->promoted.push_back(p.number);
    }
  }
  for (VersionRecord& v : lists.versions) {
    if (v.state == 2) v.state = 1;
  }
  lists.patches.push_back(patch);
  VersionRecord version;
  version.stamp = patch.stamp;
  version.guid = patch.guid;
  version.number = patch.number;
  version.state = patch.state;
  lists.versions.push_back(version);

  if (!options.download_address.empty()) {
    s = UpdateDownloadAddress(env, release_dir, &options.download_address, nullptr);
    if (!s.ok()) return s;
  }
  return WriteLists(env, release_dir, lists, true);
}

Status UpdateDownloadAddress(Env* env, const std::string& release_dir,
                             const std::string* text,
                             const std::vector<std::string>* mirrors) {
  if (mirrors != nullptr) {
    const Status s = CheckMirrors(*mirrors);
    if (!s.ok()) return s;
  }
  const std::string path = Join(release_dir, kDownloadAddressName);
  std::string data;
  ReadFileToString(env, path, &data);  // missing: nothing to keep
  DownloadAddress address = ParseDownloadAddress(data);
  if (text != nullptr) address.text = *text;
  if (mirrors != nullptr) address.mirrors = *mirrors;
  return WriteFileAtomically(env, path, FormatDownloadAddress(address));
}

Status WithdrawPatch(Env* env, const std::string& release_dir, int32_t number) {
  ReleaseLists lists;
  Status s = LoadRelease(env, release_dir, &lists);
  if (!s.ok()) return s;
  auto live = [](const PatchRecord& p) { return p.state == 1 || p.state == 2; };
  auto newest = std::find_if(lists.patches.rbegin(), lists.patches.rend(), live);
  if (newest == lists.patches.rend()) {
    return Status::InvalidArgument("the release has no live patch");
  }
  if (newest->number != number) {
    return Status::InvalidArgument(
        "only the newest live patch (" + std::to_string(newest->number) +
        ") can be withdrawn; later patches were built on " +
        std::to_string(number));
  }
  newest->state = 0;
  for (VersionRecord& v : lists.versions) {
    if (v.number == number) v.state = 0;
  }
  return WriteLists(env, release_dir, lists, false);
}

Status ClientListAt(const ReleaseLists& lists, int32_t number,
                    std::string* client_list) {
  auto it = std::find_if(lists.versions.begin(), lists.versions.end(),
                         [&](const VersionRecord& v) { return v.number == number; });
  if (it == lists.versions.end() || it->state != 1) {
    return Status::NotFound("no required version " + std::to_string(number));
  }
  LocalVersionRecord local;
  local.stamp = it->stamp;
  local.guid = lists.versions.front().guid;
  local.number = number;
  local.state = 1;
  *client_list = EncodeLocalVersions({local});
  return Status::OK();
}

}  // namespace dizedir::publish
