#include "lists/version_lists.h"

#include "lists/list_text.h"

namespace dizedir {
namespace {

template <typename Record>
bool DecodeList(std::string_view data, size_t line_bound,
                std::vector<Record>* records, size_t* failed_line) {
  const std::vector<std::string> lines = SplitListLines(data, line_bound);
  for (size_t i = 0; i < lines.size(); ++i) {
    Record record;
    if (i >= kMaxListLines || !record.Parse(lines[i])) {
      if (failed_line != nullptr) *failed_line = i + 1;
      return false;
    }
    records->push_back(std::move(record));
  }
  if (failed_line != nullptr) *failed_line = 0;
  return true;
}

// Reads a list file whole; false when it does not open or is far larger
// than any list.
bool ReadListFile(Env* env, const std::string& path, std::string* data) {
  return ReadFileToString(env, path, data, kMaxListFileBytes).ok();
}

}  // namespace

bool DecodeRemoteVersions(std::string_view data,
                          std::vector<VersionRecord>* records,
                          size_t* failed_line) {
  return DecodeList(data, kRemoteVersionLineBound, records, failed_line);
}

bool DecodePatches(std::string_view data, std::vector<PatchRecord>* records,
                   size_t* failed_line) {
  return DecodeList(data, kListLineBound, records, failed_line);
}

bool DecodeLocalVersions(std::string_view data,
                         std::vector<LocalVersionRecord>* records,
                         size_t* failed_line) {
  return DecodeList(data, kListLineBound, records, failed_line);
}

std::string EncodeLocalVersions(
    const std::vector<LocalVersionRecord>& records) {
  size_t first = 0;
  for (size_t i = records.size(); i > 0; --i) {
    if (records[i - 1].state == 1) {
      first = i - 1;
      break;
    }
  }
  std::string data;
  for (size_t i = first; i < records.size(); ++i) {
    if (records[i].state == 0) continue;
    data += records[i].Format();
    data += kListLineTerminator;
  }
  return data;
}

bool VersionLists::ReadRemoteVersions(Env* env, const std::string& path) {
  std::string data;
  if (!ReadListFile(env, path, &data)) return false;
  remoteVersions.clear();
  return DecodeRemoteVersions(data, &remoteVersions);
}

bool VersionLists::ReadPatches(Env* env, const std::string& path) {
  std::string data;
  if (!ReadListFile(env, path, &data)) return false;
  patches.clear();
  return DecodePatches(data, &patches);
}

bool VersionLists::ReadLocalVersions(Env* env, const std::string& path,
                                     const std::string& part_dir,
                                     PartDigestCache* cache) {
  std::string data;
  if (!ReadListFile(env, path, &data)) return false;
  localVersions.clear();
  const bool ok = DecodeLocalVersions(data, &localVersions);
  for (LocalVersionRecord& record : localVersions) {
    DigestParts(env, part_dir, &record, cache);
  }
  return ok;
}

bool VersionLists::WriteLocalVersions(Env* env,
                                      const std::string& path) const {
  return WriteFileAtomically(env, path, EncodeLocalVersions(localVersions))
      .ok();
}

void VersionLists::DigestLocalVersions(Env* env, const std::string& part_dir,
                                       PartDigestCache* cache) {
  for (LocalVersionRecord& record : localVersions) {
    DigestParts(env, part_dir, &record, cache);
  }
}

int32_t VersionLists::LastInstalledNumber() const {
  for (size_t i = localVersions.size(); i > 0; --i) {
    if (localVersions[i - 1].state == 1) return localVersions[i - 1].number;
  }
  return 0;
}

}  // namespace dizedir
