// ReleaseFixture: builds small releases for update tests: a server root
// with the published lists and patch archives (whole or split), and the
// client-side curver.bin of a given installed version.
//
// ClientTree and PatchContents go further for tests that compare a client
// with what it should hold: a tree of plain files and packs (under
// qmz/fodder), patches that merge packs and carry del.txt and Move.txt, and
// a model of applying a patch to a tree, written from the list grammars
// rather than from the engine, so the two can be checked against each other.
//
// Thread-safety: one test thread.

#ifndef DIZEDIR_TESTS_SUPPORT_RELEASE_FIXTURE_H_
#define DIZEDIR_TESTS_SUPPORT_RELEASE_FIXTURE_H_

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "codec/md5.h"
#include "lists/list_text.h"
#include "lists/split_archive.h"
#include "lists/version_lists.h"
#include "lists/version_record.h"
#include "pack/pack.h"
#include "platform/env.h"
#include "support/file_bytes.h"

namespace dizedir {

// Every regular file below `dir`, by relative name with '/', with its
// bytes; empty when `dir` does not exist.
inline std::map<std::string, std::string> FilesUnder(const std::filesystem::path& dir) {
  std::map<std::string, std::string> files;
  if (!std::filesystem::exists(dir)) return files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
    if (!entry.is_regular_file()) continue;
    files[std::filesystem::relative(entry.path(), dir).generic_string()] =
        ReadBytes(entry.path());
  }
  return files;
}

// One pack entry as a reader sees it.
struct PackEntryBytes {
  std::string bytes;
  bool compressed = false;
  bool operator==(const PackEntryBytes&) const = default;
};
using PackContents = std::map<uint32_t, PackEntryBytes>;

// Where a client keeps its packs, with '/'.
inline constexpr const char* kPackDir = "qmz/fodder/";

// What a client holds beside the system's own files: plain files by
// relative name with '/', and packs by name relative to kPackDir.
struct ClientTree {
  std::map<std::string, std::string> files;
  std::map<std::string, PackContents> packs;
  bool operator==(const ClientTree&) const = default;
};

// A pack file with exactly these entries, made by the pack writer.
inline std::string MakePack(const std::filesystem::path& scratch, const PackContents& entries) {
  std::filesystem::create_directories(scratch.parent_path());
  std::filesystem::remove(scratch);
  PackArchive* pack = PackOpenForUpdate(Env::Default(), scratch.string());
  if (pack == nullptr) std::abort();
  for (const auto& [id, entry] : entries) {
    if (PackAdd(id, entry.bytes.data(), static_cast<uint32_t>(entry.bytes.size()), pack,
                entry.compressed ? 1 : 0, nullptr) != 1) {
      std::abort();
    }
  }
  if (PackClose(pack) != 1) std::abort();
  std::string bytes = ReadBytes(scratch);
  std::filesystem::remove(scratch);
  return bytes;
}

// The entries of the pack at `path`; nullopt when it does not load or an
// entry does not read back (size, inflation, digest of its block).
inline std::optional<PackContents> ReadPack(const std::filesystem::path& path) {
  PackArchive* pack = PackOpenReadOnly(Env::Default(), path.string());
  if (pack == nullptr) return std::nullopt;
  PackContents contents;
  bool ok = true;
  const uint32_t count = PackGetCount(pack);
  for (uint32_t k = 0; k < count && ok; ++k) {
    const uint32_t id = PackGetIdAt(k, pack);
    uint32_t size = 0;
    int compressed = 0;
    PackEntryInfo info;
    std::string block;
    ok = PackRead(nullptr, &size, id, pack) == 1 && PackIsCompressed(id, pack, &compressed) == 1 &&
         PackGetEntryInfo(id, pack, &info) == 1 && PackReadStored(id, pack, &block) == 1 &&
         Md5Hex(block) == info.digest && contents.count(id) == 0;
    if (!ok) break;
    std::string bytes(size, '\0');
    ok = PackRead(bytes.data(), &size, id, pack) == 1;
    contents[id] = {std::move(bytes), compressed != 0};
  }
  PackClose(pack);
  if (!ok) return std::nullopt;
  return contents;
}

// Writes a client directory's game files (not its lists or modules).
inline void WriteClientTree(const std::filesystem::path& client, const ClientTree& tree) {
  for (const auto& [name, bytes] : tree.files) WriteBytes(client / name, bytes);
  for (const auto& [name, entries] : tree.packs) {
    const std::filesystem::path path = client / kPackDir / name;
    WriteBytes(path, MakePack(client / "pack-scratch", entries));
  }
}

// What differs between a client directory and `expected`, beside the
// system's own files; empty when nothing does. Temporaries, unreadable packs
// and files the tree does not name (downloads, lists) all count.
inline std::string CompareClientTree(const std::filesystem::path& client,
                                     const ClientTree& expected) {
  namespace fs = std::filesystem;
  static const std::set<std::string> kOwnFiles = {
      "dizedir.so", "dizhttp.so", "vkmain.so", "ResChn.dll", "IPconfig.dat",
      "patchone.ini", "dizedir.lock", "curver.bin", "qmz_GT/downloadaddr.txt"};
  std::string problems;
  ClientTree actual;
  for (const auto& entry : fs::recursive_directory_iterator(client)) {
    if (!entry.is_regular_file()) continue;
    const std::string name = fs::relative(entry.path(), client).generic_string();
    if (kOwnFiles.count(name) != 0) continue;
    if (name.find(std::string(kTempSuffix)) != std::string::npos) {
      problems += " temporary:" + name;
    } else if (name.rfind(kPackDir, 0) == 0 && name.size() > 4 &&
               name.compare(name.size() - 4, 4, ".pac") == 0) {
      std::optional<PackContents> pack = ReadPack(entry.path());
      if (!pack) {
        problems += " unreadable-pack:" + name;
      } else {
        actual.packs[name.substr(std::string(kPackDir).size())] = std::move(*pack);
      }
    } else {
      actual.files[name] = ReadBytes(entry.path());
    }
  }
  for (const auto& [name, bytes] : actual.files) {
    auto it = expected.files.find(name);
    if (it == expected.files.end()) {
      problems += " extra:" + name;
    } else if (it->second != bytes) {
      problems += " differs:" + name;
    }
  }
  for (const auto& [name, bytes] : expected.files) {
    if (actual.files.count(name) == 0) problems += " missing:" + name;
  }
  for (const auto& [name, entries] : expected.packs) {
    auto it = actual.packs.find(name);
    if (it == actual.packs.end()) {
      problems += " missing-pack:" + name;
      continue;
    }
    for (const auto& [id, entry] : entries) {
      auto found = it->second.find(id);
      if (found == it->second.end()) {
        problems += " " + name + ":lacks:" + std::to_string(id);
      } else if (!(found->second == entry)) {
        problems += " " + name + ":differs:" + std::to_string(id);
      }
    }
    for (const auto& [id, entry] : it->second) {
      if (entries.count(id) == 0) problems += " " + name + ":extra:" + std::to_string(id);
    }
  }
  for (const auto& [name, entries] : actual.packs) {
    if (expected.packs.count(name) == 0) problems += " extra-pack:" + name;
  }
  return problems;
}

// The contents of one patch archive. Items are applied in this order:
// plain files, packs to merge, Move.txt, del.txt.
struct PatchContents {
  struct Move {
    uint32_t id;
    std::string from, to;  // pack names without directory and ".pac"
  };
  std::vector<std::pair<std::string, std::string>> files;
  std::map<std::string, PackContents> packs;  // item name ("x.pac", "ui/y.pac")
  std::vector<Move> moves;
  // del.txt: pack name to ids, then file names (with backslashes).
  std::vector<std::pair<std::string, std::vector<uint32_t>>> deleted_entries;
  std::vector<std::string> deleted_files;

  std::string MoveListText() const {
    std::string text;
    for (const Move& m : moves) {
      text += std::to_string(m.id) + " From:" + m.from + "\tTo:" + m.to + "\r\n";
    }
    return text;
  }

  std::string DeleteListText() const {
    std::string text;
    for (const auto& [pack, ids] : deleted_entries) {
      text += "Packet:" + pack;
      for (uint32_t id : ids) text += " " + std::to_string(id);
      text += "\r\n";
    }
    // The word that ends the pack section is read and dropped.
    text += "[files]\r\n";
    for (const std::string& f : deleted_files) text += f + "\r\n";
    return text;
  }

  // The archive's items, in application order; packs are made under
  // `scratch`.
  std::vector<std::pair<std::string, std::string>> Items(
      const std::filesystem::path& scratch) const {
    std::vector<std::pair<std::string, std::string>> items = files;
    for (const auto& [name, entries] : packs) items.emplace_back(name, MakePack(scratch, entries));
    if (!moves.empty()) items.emplace_back("Move.txt", MoveListText());
    if (!deleted_entries.empty() || !deleted_files.empty()) {
      items.emplace_back("del.txt", DeleteListText());
    }
    return items;
  }

  // What the client holds after this patch, by the rules of the lists.
  void ApplyTo(ClientTree* tree) const {
    for (const auto& [name, bytes] : files) tree->files[name] = bytes;
    for (const auto& [name, entries] : packs) {
      for (const auto& [id, entry] : entries) tree->packs[name][id] = entry;
    }
    // Moves run in ascending id order, the last record of an id counting.
    std::map<uint32_t, Move> by_id;
    for (const Move& m : moves) by_id[m.id] = m;
    for (const auto& [id, m] : by_id) {
      PackContents& from = tree->packs[m.from + ".pac"];
      PackContents& to = tree->packs[m.to + ".pac"];
      auto found = from.find(id);
      if (found == from.end() || to.count(id) != 0) continue;
      to[id] = found->second;
      from.erase(found);
    }
    for (const auto& [pack, ids] : deleted_entries) {
      if (ids.empty()) continue;
      PackContents& contents = tree->packs[pack + ".pac"];  // a missing pack is made empty
      for (uint32_t id : ids) contents.erase(id);
    }
    for (std::string name : deleted_files) {
      for (char& c : name) {
        if (c == '\\') c = '/';
      }
      tree->files.erase(name);
    }
  }
};

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
    AddPatchItems(number, state,
                  std::vector<std::pair<std::string, std::string>>(files.begin(), files.end()),
                  parts);
  }

  // The same with the archive's items in the order given, which is the
  // order the client applies them in. `zip_level` is Info-ZIP's -0 .. -9.
  void AddPatchItems(int number, int state,
                     const std::vector<std::pair<std::string, std::string>>& files, int parts,
                     int zip_level = 6) {
    const std::filesystem::path staging = work_ / ("staging" + std::to_string(number));
    std::filesystem::remove_all(staging);
    std::string names;
    for (const auto& [name, bytes] : files) {
      WriteBytes(staging / name, bytes);
      names += " '" + name + "'";
    }
    const std::string stem = "upd" + std::to_string(number);
    const std::filesystem::path zip = root_ / (stem + ".zip");
    std::filesystem::remove(zip);
    // Named one by one (no -r): the archive holds exactly these items, in
    // this order, without directory entries.
    const std::string command = "cd '" + staging.string() + "' && zip -q -X -" +
                                std::to_string(zip_level) + " '" + zip.string() + "'" + names +
                                " >/dev/null";
    if (std::system(command.c_str()) != 0) std::abort();
    std::filesystem::remove_all(staging);

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

  // A patch made of plain files, pack merges and the two lists.
  void AddPatchOf(int number, int state, const PatchContents& contents, int parts,
                  int zip_level = 6) {
    AddPatchItems(number, state, contents.Items(work_ / "pack-scratch.pac"), parts, zip_level);
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

  // A client directory at version `installed`: its files, its curver.bin,
  // and a server list whose one region is `server` (host:port/dir).
  void WriteClient(const std::filesystem::path& client, int installed,
                   const std::map<std::string, std::string>& files,
                   const std::string& server) const {
    for (const auto& [name, bytes] : files) WriteBytes(client / name, bytes);
    WriteBytes(client / "curver.bin", ClientList(installed));
    WriteBytes(client / "patchone.ini",
               "[Region1]\nlist=main\nmain=" + server + "\n[curregDianXin]\nregion=0\n");
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
