// dizedir-pack: the operator's and modder's view into .pac archives. Every
// command goes through the same format code the client uses, so what it shows
// is what the updater sees.

#include <CLI/CLI.hpp>

#include <cstdint>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "codec/md5.h"
#include "pack/pack.h"
#include "platform/env.h"
#include "tools/common/json_output.h"

namespace dizedir {
namespace {

struct Closer {
  void operator()(PackArchive* a) const { PackClose(a); }
};
using ReadOnlyPack = std::unique_ptr<PackArchive, Closer>;

int Fail(const std::string& message) {
  std::cerr << "dizedir-pack: " << message << "\n";
  return 1;
}

ReadOnlyPack OpenReadOnly(Env* env, const std::string& path) {
  return ReadOnlyPack(PackOpenReadOnly(env, path));
}

std::vector<uint32_t> IdsInOrder(PackArchive* a) {
  std::vector<uint32_t> ids;
  const uint32_t count = PackGetCount(a);
  ids.reserve(count);
  for (uint32_t k = 0; k < count; ++k) ids.push_back(PackGetIdAt(k, a));
  return ids;
}

bool ReadContents(PackArchive* a, uint32_t id, std::string* out) {
  uint32_t size = 0;
  if (!PackRead(nullptr, &size, id, a)) return false;
  out->assign(size, '\0');
  return PackRead(out->data(), &size, id, a) == 1;
}

int List(Env* env, const std::string& path, bool json) {
  ReadOnlyPack pack = OpenReadOnly(env, path);
  if (!pack) return Fail(path + ": cannot open or damaged");
  JsonDocument entries = JsonDocument::array();
  for (uint32_t id : IdsInOrder(pack.get())) {
    PackEntryInfo info;
    PackGetEntryInfo(id, pack.get(), &info);
    if (json) {
      // Digests are hex digits as written by a sound writer; a damaged
      // pack's are shown byte for byte.
      entries.push_back({{"id", info.id},
                         {"size", info.size},
                         {"stored_size", info.stored_size},
                         {"compressed", info.compressed != 0},
                         {"digest", BytesAsText(info.digest)}});
    } else {
      std::cout << info.id << "\t" << info.size << "\t" << info.stored_size
                << "\t" << (info.compressed ? "z" : "-") << "\t"
                << info.digest << "\n";
    }
  }
  if (json) std::cout << JsonArrayLines(entries);
  return 0;
}

int Cat(Env* env, const std::string& path, uint32_t id) {
  ReadOnlyPack pack = OpenReadOnly(env, path);
  if (!pack) return Fail(path + ": cannot open or damaged");
  std::string contents;
  if (!ReadContents(pack.get(), id, &contents)) {
    return Fail(path + ": no readable entry " + std::to_string(id));
  }
  std::cout.write(contents.data(), static_cast<std::streamsize>(contents.size()));
  return std::cout.good() ? 0 : 1;
}

int Add(Env* env, const std::string& path, uint32_t id, const std::string& file,
        bool raw) {
  std::string contents;
  Status s = ReadFileToString(env, file, &contents, UINT32_MAX);
  if (!s.ok()) return Fail(s.ToString());
  PackArchive* pack = PackOpenForUpdate(env, path);
  if (pack == nullptr) return Fail(path + ": cannot open or damaged");
  PackRemove(id, pack);
  char digest[33];
  if (!PackAdd(id, contents.data(), static_cast<uint32_t>(contents.size()),
               pack, raw ? 0 : 1, digest)) {
    PackClose(pack);
    return Fail(path + ": cannot add entry " + std::to_string(id));
  }
  if (!PackClose(pack)) return Fail(path + ": cannot write the pack");
  return 0;
}

int Remove(Env* env, const std::string& path, const std::vector<uint32_t>& ids) {
  PackArchive* pack = PackOpenForUpdate(env, path);
  if (pack == nullptr) return Fail(path + ": cannot open or damaged");
  for (uint32_t id : ids) {
    if (!PackRemove(id, pack)) std::cerr << "no entry " << id << "\n";
  }
  if (!PackClose(pack)) return Fail(path + ": cannot write the pack");
  return 0;
}

int Verify(Env* env, const std::string& path) {
  ReadOnlyPack pack = OpenReadOnly(env, path);
  if (!pack) return Fail(path + ": cannot open or damaged");
  size_t bad = 0;
  const std::vector<uint32_t> ids = IdsInOrder(pack.get());
  for (uint32_t id : ids) {
    PackEntryInfo info;
    PackGetEntryInfo(id, pack.get(), &info);
    std::string block;
    std::string contents;
    const char* problem = nullptr;
    if (!PackReadStored(id, pack.get(), &block)) {
      problem = "unreadable";
    } else if (Md5Hex(block) != info.digest) {
      problem = "digest mismatch";
    } else if (info.compressed && !ReadContents(pack.get(), id, &contents)) {
      problem = "does not inflate to its size";
    }
    if (problem != nullptr) {
      std::cout << id << "\t" << problem << "\n";
      ++bad;
    }
  }
  if (bad != 0) {
    std::cerr << path << ": " << bad << " of " << ids.size()
              << " entries are bad\n";
    return 1;
  }
  std::cerr << path << ": " << ids.size() << " entries ok\n";
  return 0;
}

int Extract(Env* env, const std::string& path, std::string dir) {
  ReadOnlyPack pack = OpenReadOnly(env, path);
  if (!pack) return Fail(path + ": cannot open or damaged");
  Status s = env->CreateDirectories(dir);
  if (!s.ok()) return Fail(s.ToString());
  if (dir.back() != '/' && dir.back() != '\\') dir += '/';
  int result = 0;
  for (uint32_t id : IdsInOrder(pack.get())) {
    std::string contents;
    if (!ReadContents(pack.get(), id, &contents)) {
      std::cerr << "entry " << id << " is unreadable; skipped\n";
      result = 1;
      continue;
    }
    s = WriteFileAtomically(env, dir + std::to_string(id), contents);
    if (!s.ok()) return Fail(s.ToString());
  }
  return result;
}

}  // namespace
}  // namespace dizedir

int main(int argc, char** argv) {
  CLI::App app{"Looks into and edits .pac pack archives."};
  app.require_subcommand(1);

  std::string pack;
  std::string file;
  std::string dir;
  uint32_t id = 0;
  std::vector<uint32_t> ids;
  bool json = false;
  bool raw = false;

  auto* ls = app.add_subcommand(
      "ls", "List the entries in file order: id, size, stored size, "
            "compressed, digest");
  ls->add_option("PACK", pack, "Pack archive")->required();
  ls->add_flag("--json", json, "Print a JSON array, one entry per line");

  auto* cat = app.add_subcommand("cat", "Write an entry's contents to stdout");
  cat->add_option("PACK", pack, "Pack archive")->required();
  cat->add_option("ID", id, "Entry id")->required();

  auto* add = app.add_subcommand(
      "add", "Add a file as an entry, replacing one with the same id");
  add->add_option("PACK", pack, "Pack archive (created when missing)")
      ->required();
  add->add_option("ID", id, "Entry id")->required();
  add->add_option("FILE", file, "File with the contents")->required();
  add->add_flag("--raw", raw, "Store uncompressed");

  auto* rm = app.add_subcommand("rm", "Remove entries");
  rm->add_option("PACK", pack, "Pack archive")->required();
  rm->add_option("ID", ids, "Entry ids")->required();

  auto* verify = app.add_subcommand(
      "verify", "Check every digest and inflate every compressed entry; "
                "exit 1 and list the bad ids when any is wrong");
  verify->add_option("PACK", pack, "Pack archive")->required();

  auto* extract = app.add_subcommand(
      "extract", "Write every entry's contents to DIR/<id>");
  extract->add_option("PACK", pack, "Pack archive")->required();
  extract->add_option("DIR", dir, "Target directory")->required();

  CLI11_PARSE(app, argc, argv);

  dizedir::Env* env = dizedir::Env::Default();
  if (*ls) return dizedir::List(env, pack, json);
  if (*cat) return dizedir::Cat(env, pack, id);
  if (*add) return dizedir::Add(env, pack, id, file, raw);
  if (*rm) return dizedir::Remove(env, pack, ids);
  if (*verify) return dizedir::Verify(env, pack);
  if (*extract) return dizedir::Extract(env, pack, dir);
  return 1;
}
