#include "publish_support.h"

#include <filesystem>
#include <fstream>
#include <vector>

#include "codec/zip.h"
#include "engine/item_handlers.h"
#include "pack/pack.h"
#include "platform/text.h"
#include "support/file_bytes.h"

namespace dizedir::publish_test {
namespace fs = std::filesystem;

namespace {

bool EndsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

void WriteTree(const std::string& root, const Tree& tree) {
  fs::create_directories(fs::u8path(root));
  for (const auto& [rel, data] : tree.files) {
    const fs::path path = fs::u8path(root + "/" + rel);
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << data;
  }
  for (const auto& [rel, entries] : tree.packs) {
    const fs::path path = fs::u8path(root + "/" + rel);
    fs::create_directories(path.parent_path());
    fs::remove(path);
    PackArchive* pack = PackOpenForUpdate(Env::Default(), path.string());
    for (const auto& [id, entry] : entries) {
      PackAdd(id, entry.data.data(), static_cast<uint32_t>(entry.data.size()),
              pack, entry.compressed ? 1 : 0, nullptr);
    }
    PackClose(pack);
  }
}

Tree ReadTree(const std::string& root) {
  Tree tree;
  const fs::path base = fs::u8path(root);
  for (const auto& item : fs::recursive_directory_iterator(base)) {
    if (!item.is_regular_file()) continue;
    const std::u8string rel8 = fs::relative(item.path(), base).generic_u8string();
    const std::string rel(rel8.begin(), rel8.end());
    if (rel == "curver.bin") continue;
    if (rel.rfind("qmz/fodder/", 0) == 0 && EndsWith(rel, ".pac")) {
      auto& entries = tree.packs[rel];
      PackArchive* pack = PackOpenReadOnly(Env::Default(), item.path().string());
      if (pack == nullptr) {
        tree.files[rel] = "<unreadable pack>";
        continue;
      }
      for (uint32_t i = 0; i < PackGetCount(pack); ++i) {
        const uint32_t id = PackGetIdAt(i, pack);
        uint32_t size = 0;
        int compressed = 0;
        PackRead(nullptr, &size, id, pack);
        std::string data(size, '\0');
        PackRead(data.data(), &size, id, pack);
        PackIsCompressed(id, pack, &compressed);
        entries[id] = {data, compressed != 0};
      }
      PackClose(pack);
    } else {
      tree.files[rel] = ReadBytes(item.path());
    }
  }
  return tree;
}

std::string DescribeDifference(const Tree& got, const Tree& want) {
  std::string out;
  for (const auto& [rel, data] : want.files) {
    auto it = got.files.find(rel);
    if (it == got.files.end()) out += "missing file " + rel + "\n";
    else if (it->second != data) out += "wrong contents " + rel + "\n";
  }
  for (const auto& [rel, data] : got.files) {
    if (!want.files.count(rel)) out += "left over file " + rel + "\n";
  }
  for (const auto& [rel, entries] : want.packs) {
    auto it = got.packs.find(rel);
    if (it == got.packs.end()) {
      out += "missing pack " + rel + "\n";
      continue;
    }
    for (const auto& [id, e] : entries) {
      auto g = it->second.find(id);
      if (g == it->second.end()) out += rel + ": missing entry " + std::to_string(id) + "\n";
      else if (!(g->second == e)) out += rel + ": wrong entry " + std::to_string(id) + "\n";
    }
    for (const auto& [id, e] : it->second) {
      if (!entries.count(id)) out += rel + ": left over entry " + std::to_string(id) + "\n";
    }
  }
  for (const auto& [rel, entries] : got.packs) {
    if (!want.packs.count(rel)) out += "left over pack " + rel + "\n";
  }
  return out;
}

Status ApplyPatchLikeClient(Env* env, const std::string& client_dir,
                            const std::string& zip_path) {
  ZipArchive* zip = ZipOpenFile(env, NarrowToUtf16(zip_path), nullptr);
  if (zip == nullptr) return Status::Corruption("not a zip: " + zip_path);
  ZipSetBaseDir(zip, NarrowToUtf16(client_dir));
  ZipItem count;
  ZipGetItem(zip, -1, &count);
  Status s;
  for (int i = 0; s.ok() && i < count.index; ++i) {
    ZipItem item;
    ZipGetItem(zip, i, &item);
    if (ZipUnzipItem(zip, i, item.name) != ZipResult::kOk) {
      s = Status::IOError("item does not extract: " + Utf16ToUtf8(item.name));
      break;
    }
    const std::string name = Utf16ToNarrow(item.name);
    if (EndsWith(name, "pac")) s = MergePack(env, client_dir, name, nullptr);
    if (s.ok() && name == "del.txt") s = RunDeleteList(env, client_dir, nullptr);
    if (s.ok() && name == "Move.txt") s = RunMoveList(env, client_dir, nullptr);
  }
  ZipClose(zip);
  return s;
}

Tree TreeMaker::First() {
  Tree tree;
  const int files = Between(2, 8);
  for (int i = 0; i < files; ++i) tree.files[NewName()] = Bytes();
  const int packs = Between(1, 3);
  for (int p = 0; p < packs; ++p) {
    auto& pack = tree.packs["qmz/fodder/pack" + std::to_string(p) + ".pac"];
    const int entries = Between(1, 30);
    for (int e = 0; e < entries; ++e) pack[NewId()] = Entry();
  }
  return tree;
}

Tree TreeMaker::Next(const Tree& previous) {
  Tree tree = previous;
  for (auto it = tree.files.begin(); it != tree.files.end();) {
    const int roll = Between(0, 9);
    if (roll == 0 && tree.files.size() > 1) {
      it = tree.files.erase(it);
      continue;
    }
    if (roll <= 2) it->second = Bytes();
    ++it;
  }
  const int added = Between(0, 3);
  for (int i = 0; i < added; ++i) tree.files[NewName()] = Bytes();

  std::vector<std::string> names;
  for (const auto& [name, entries] : tree.packs) names.push_back(name);
  for (auto& [name, entries] : tree.packs) {
    for (auto it = entries.begin(); it != entries.end();) {
      const int roll = Between(0, 9);
      if (roll == 0) {
        it = entries.erase(it);
        continue;
      }
      if (roll == 1) it->second = Entry();
      if (roll == 2 && names.size() > 1) {
        // Moves unchanged into another pack.
        const std::string& target = names[Between(0, static_cast<int>(names.size()) - 1)];
        if (target != name && tree.packs[target].count(it->first) == 0) {
          tree.packs[target][it->first] = it->second;
          it = entries.erase(it);
          continue;
        }
      }
      ++it;
    }
    const int fresh = Between(0, 4);
    for (int e = 0; e < fresh; ++e) entries[NewId()] = Entry();
  }
  if (tree == previous) tree.files[NewName()] = Bytes();
  return tree;
}

int TreeMaker::Between(int low, int high) {
  return std::uniform_int_distribution<int>(low, high)(random_);
}

std::string TreeMaker::NewName() {
  static const char* const kDirs[] = {"", "data/", "data/maps/", "sound/", "t\xc3\xa9l\xc3\xa9/"};
  static const char* const kStems[] = {"a", "b", "config", "\xe5\x9c\xb0\xe5\x9b\xbe", "item"};
  static const char* const kExts[] = {".txt", ".bin", ".cfg", ".dat"};
  return std::string(kDirs[Between(0, 4)]) + kStems[Between(0, 4)] + std::to_string(next_name_++) +
         kExts[Between(0, 3)];
}
uint32_t TreeMaker::NewId() { return next_id_ += static_cast<uint32_t>(Between(1, 50)); }

std::string TreeMaker::Bytes() {
  std::string out(static_cast<size_t>(Between(0, 3000)), '\0');
  const bool compressible = Between(0, 1) == 0;
  for (char& c : out)
    c = compressible ? static_cast<char>('a' + Between(0, 3)) : static_cast<char>(Between(0, 255));
  return out;
}
PackEntry TreeMaker::Entry() { return {Bytes(), Between(0, 3) != 0}; }

}  // namespace dizedir::publish_test
