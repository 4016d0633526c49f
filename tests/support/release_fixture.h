// ReleaseFixture: builds small releases for update tests: a server root
// with the published lists and patch archives (whole or split), and the
// client-side curver.bin of a given installed version.
//
// Thread-safety: one test thread.

#ifndef DIZEDIR_TESTS_SUPPORT_RELEASE_FIXTURE_H_
#define DIZEDIR_TESTS_SUPPORT_RELEASE_FIXTURE_H_

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "codec/md5.h"
#include "lists/list_text.h"
#include "lists/split_archive.h"
#include "lists/version_lists.h"
#include "lists/version_record.h"
#include "platform/env.h"

namespace dizedir {

inline void WriteBytes(const std::filesystem::path& path, const std::string& bytes) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

inline std::string ReadBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class ReleaseFixture {
 public:
  static constexpr const char* kGuid = "5A1C7E2B-0D4F-4A11-9B3C-2E6F8A9D0C41";

  // `root` is what the update server serves, `work` a scratch directory.
  ReleaseFixture(std::filesystem::path root, std::filesystem::path work)
      : root_(std::move(root)), work_(std::move(work)) {
    std::filesystem::create_directories(root_);
    AddVersion(1, 1);
  }

  // A patch to version `number` holding `files` (relative names with '/',
  // to contents), published in `parts` parts (1: one ".zip"). State 1
  // required, 2 optional, 0 withdrawn.
  void AddPatch(int number, int state, const std::map<std::string, std::string>& files,
                int parts) {
    const std::filesystem::path staging = work_ / ("staging" + std::to_string(number));
    std::filesystem::remove_all(staging);
    for (const auto& [name, bytes] : files) WriteBytes(staging / name, bytes);
    const std::string stem = "upd" + std::to_string(number);
    const std::filesystem::path zip = root_ / (stem + ".zip");
    std::filesystem::remove(zip);
    const std::string command = "cd '" + staging.string() + "' && zip -q -r -X '" +
                                zip.string() + "' . >/dev/null";
    if (std::system(command.c_str()) != 0) std::abort();

    PatchRecord record;
    record.stamp = "2026-12-01 10:00:00";
    record.guid = kGuid;
    record.number = number;
    record.state = state;
    if (parts <= 1) {
      record.AddPart(stem + ".zip");
      record.parts.back().digest = Md5Hex(ReadBytes(zip));
    } else {
      if (!SplitFile(Env::Default(), zip.string(), parts)) std::abort();
      std::filesystem::remove(zip);
      for (int i = 0;; ++i) {
        const std::filesystem::path part = root_ / (PartName(stem, i) + ".zxp");
        if (!std::filesystem::exists(part)) break;
        record.AddPart(PartName(stem, i));
        record.parts.back().digest = Md5Hex(ReadBytes(part));
      }
    }
    patches_.push_back(record);
    AddVersion(number, state == 0 ? 0 : state);
    Publish();
  }

  // The client's curver.bin after installing versions up to `installed`.
  std::string ClientList(int installed) const {
    std::vector<LocalVersionRecord> records;
    for (const VersionRecord& v : versions_) {
      if (v.number > installed || v.state != 1) continue;
      LocalVersionRecord l;
      static_cast<VersionRecord&>(l) = v;
      records.push_back(l);
    }
    return EncodeLocalVersions(records);
  }

  void Publish() {
    std::string verlist, curver;
    for (const PatchRecord& p : patches_) {
      verlist += p.Format();
      verlist += kListLineTerminator;
    }
    // The published version list starts at the newest required version, the
    // way the client's own list keeps only what follows its installed base.
    size_t first = 0;
    for (size_t i = 0; i < versions_.size(); ++i) {
      if (versions_[i].state == 1) first = i;
    }
    for (size_t i = first; i < versions_.size(); ++i) {
      if (versions_[i].state == 0) continue;
      curver += versions_[i].Format();
      curver += kListLineTerminator;
    }
    WriteBytes(root_ / "verlist.bin", verlist);
    WriteBytes(root_ / "curver.bin", curver);
    WriteBytes(root_ / "downloadaddr.txt", "http://mirror.example/\r\n");
  }

  std::vector<PatchRecord>& patches() { return patches_; }
  const std::filesystem::path& root() const { return root_; }

 private:
  void AddVersion(int number, int state) {
    VersionRecord v;
    v.stamp = "2026-12-01 10:00:00";
    v.guid = kGuid;
    v.number = number;
    v.state = state;
    versions_.push_back(v);
  }

  std::filesystem::path root_, work_;
  std::vector<VersionRecord> versions_;
  std::vector<PatchRecord> patches_;
};

}  // namespace dizedir

#endif  // DIZEDIR_TESTS_SUPPORT_RELEASE_FIXTURE_H_
