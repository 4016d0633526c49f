#include "tools/publish/commands.h"

#include <cstdio>
#include <memory>

#include "lists/download_address.h"
#include "tools/publish/release_verifier.h"
#include "tools/publish/sign_command.h"

namespace dizedir::publish {
namespace {

int Failed(std::ostream& err, const std::string& what, const Status& s) {
  err << "dizedir-publish: " << what << ": " << s.message() << '\n';
  return 1;
}

int ReleaseAction(Env* env, const ReleaseCommand& c, std::ostream& out, std::ostream& err);

std::string Counted(uint64_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string ByteCount(uint64_t bytes) {
  char text[32];
  if (bytes < 10 * 1024) return Counted(bytes, "byte", "bytes");
  if (bytes < 1024 * 1024) {
    std::snprintf(text, sizeof text, "%.1f KiB", static_cast<double>(bytes) / 1024);
  } else {
    std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1024 * 1024));
  }
  return text;
}

// The tree of the version a change publishes. It is scanned and its objects
// stored before the lists change, so a tree that cannot be published stops
// the change before it starts (tree_publisher.h).
struct PreparedTree {
  std::string dir;  // empty: the version gets no tree manifest
  TreeManifest manifest;
  StoredObjects stored;
};

int PrepareTree(Env* env, const ReleaseCommand& c, const std::string& tree_dir,
                PreparedTree* tree, std::ostream& err) {
  tree->dir = tree_dir;
  if (tree_dir.empty()) return 0;
  Status s = ScanReleaseTree(env, tree_dir, &tree->manifest);
  if (s.ok()) s = StoreTreeObjects(env, c.release_dir, tree_dir, &tree->manifest, &tree->stored);
  if (!s.ok()) return Failed(err, "release: tree " + tree_dir + " (nothing published)", s);
  return 0;
}

// Once the lists name the version: its tree manifest.
int FinishTree(Env* env, const ReleaseCommand& c, PreparedTree* tree, const std::string& line,
               int32_t version, std::ostream& out, std::ostream& err) {
  const char* const option = c.init ? "--from TREE" : "--tree NEW_TREE";
  const std::string name = TreeManifestFileName(version);
  if (tree->dir.empty()) {
    err << "dizedir-publish: release: note: version " << version
        << " has no tree manifest (no " << option << "), so clients at it cannot verify or repair "
           "their files\n";
    return 0;
  }
  TreeManifest& m = tree->manifest;
  m.line = line;
  m.version = version;
  const Status s = WriteTreeManifest(env, c.release_dir, m);
  if (!s.ok()) return Failed(err, c.release_dir + "/" + name, s);
  uint64_t entries = 0;
  for (const TreePack& pack : m.packs) entries += pack.entries.size();
  out << c.release_dir << "/" << name << ": " << Counted(m.files.size(), "file", "files")
      << ", " << Counted(m.packs.size(), "pack", "packs") << " ("
      << Counted(entries, "entry", "entries") << "), "
      << Counted(tree->stored.new_objects, "new object", "new objects") << " ("
      << ByteCount(tree->stored.new_bytes) << ")\n";
  return 0;
}

// The change itself: the objects of the version's tree, parts, the lists,
// the tree manifest, then the mirrors. The caller writes the manifest after
// it, once every file it will name is in place (release_signing.h).
int ReleaseChange(Env* env, const ReleaseCommand& c, std::ostream& out,
                  std::ostream& err) {
  const bool action = c.init || c.withdraw != 0 || !c.add.empty();
  if (action) {
    const int result = ReleaseAction(env, c, out, err);
    if (result != 0) return result;
  }
  if (c.set_mirrors && !c.init) {
    const Status s = UpdateDownloadAddress(env, c.release_dir, nullptr, &c.mirrors);
    if (!s.ok()) return Failed(err, "release --mirror", s);
  }
  if (c.set_mirrors) {
    out << c.release_dir << "/" << kDownloadAddressName << ": " << c.mirrors.size()
        << " mirror" << (c.mirrors.size() == 1 ? "" : "s") << '\n';
  }
  return 0;
}

int ReleaseAction(Env* env, const ReleaseCommand& c, std::ostream& out, std::ostream& err) {
  if (c.init) {
    const std::string& base_tree = c.from_tree.empty() ? c.tree : c.from_tree;
    PreparedTree tree;
    // A line already there is refused below; no use scanning for it.
    if (!HoldsReleaseLine(env, c.release_dir)) {
      const int prepared = PrepareTree(env, c, base_tree, &tree, err);
      if (prepared != 0) return prepared;
    }
    InitOptions options;
    options.download_address = c.download_address;
    options.mirrors = c.mirrors;
    std::string client_list;
    Status s = InitRelease(env, c.release_dir, options, &client_list);
    if (!s.ok()) return Failed(err, "release --init", s);
    out << c.release_dir << ": release line started at version "
        << options.base_number << '\n';
    std::vector<std::string> targets;
    if (!base_tree.empty()) targets.push_back(base_tree + "/curver.bin");
    if (!c.client_list.empty()) targets.push_back(c.client_list);
    for (const std::string& path : targets) {
      s = WriteFileAtomically(env, path, client_list);
      if (!s.ok()) return Failed(err, path, s);
      out << "client list for the base tree: " << path << '\n';
    }
    if (targets.empty()) {
      out << "no --from tree: a base client needs curver.bin from "
             "release --init --client-list PATH\n";
    }
    ReleaseLists lists;
    s = LoadRelease(env, c.release_dir, &lists);
    if (!s.ok()) return Failed(err, "release --init", s);
    return FinishTree(env, c, &tree, lists.versions.front().guid, options.base_number, out,
                      err);
  }
  if (c.withdraw) {
    Status s = WithdrawPatch(env, c.release_dir, c.withdraw);
    if (!s.ok()) return Failed(err, "release --withdraw", s);
    out << c.release_dir << ": patch " << c.withdraw << " withdrawn\n";
    // Its objects stay: other versions may hold the same contents.
    const std::string name = TreeManifestFileName(c.withdraw);
    const std::string path = c.release_dir + "/" + name;
    if (env->FileExists(path)) {
      s = env->DeleteFile(path);
      if (!s.ok()) return Failed(err, path, s);
      out << path << ": deleted with its version (the objects it named stay)\n";
    }
    return 0;
  }
  PreparedTree tree;
  const int prepared = PrepareTree(env, c, c.tree, &tree, err);
  if (prepared != 0) return prepared;
  std::string archive = c.add;
  if (env->IsDirectory(archive)) archive += std::string("/") + kPatchArchiveName;
  AddOptions options = c.add_options;
  options.download_address = c.download_address;
  AddResult result;
  const Status s = AddPatch(env, c.release_dir, archive, options, &result);
  if (!s.ok()) return Failed(err, "release --add", s);
  for (int32_t n : result.promoted) {
    out << "patch " << n << " was optional and is now required: the new patch "
        << "builds on it\n";
  }
  out << c.release_dir << ": version " << result.patch.number
      << (result.patch.state == 2 ? " (optional)" : "") << " as "
      << result.patch.archive << " in " << result.patch.parts.size() << " part"
      << (result.patch.parts.size() == 1 ? "" : "s") << '\n';
  return FinishTree(env, c, &tree, result.patch.guid, result.patch.number, out, err);
}

}  // namespace

int RunDiff(Env* env, const DiffCommand& c, std::ostream& out, std::ostream& err) {
  TreeDiffOptions options;
  options.zip.level = c.level;
  TreeDiffResult result;
  const Status s = DiffTrees(env, c.old_tree, c.new_tree, c.patch_dir, options, &result);
  if (!s.ok()) return Failed(err, "diff", s);
  size_t shipped = 0, removed_entries = 0;
  for (const PackDelta& d : result.packs) {
    shipped += d.shipped.size();
    removed_entries += d.removed.size();
  }
  out << c.patch_dir << "/" << kPatchArchiveName << ": " << result.items << " items, "
      << result.archive_bytes << " bytes\n"
      << "files: " << result.added.size() << " added, " << result.changed.size()
      << " changed, " << result.removed.size() << " removed\n"
      << "pack entries: " << shipped << " shipped, " << removed_entries
      << " removed, " << result.moves.size() << " moved, in "
      << result.packs.size() << " packs\n";
  return 0;
}

int RunRelease(Env* env, const ReleaseCommand& c, std::istream& in,
               std::ostream& out, std::ostream& err) {
  const int actions = (c.init ? 1 : 0) + (c.add.empty() ? 0 : 1) + (c.withdraw ? 1 : 0);
  if (actions > 1 || (actions == 0 && !c.set_mirrors)) {
    err << "dizedir-publish: release: give exactly one of --init, --add, --withdraw, or only "
           "--mirror/--no-mirrors\n";
    return 1;
  }
  if (!c.tree.empty() && !c.init && c.add.empty()) {
    err << "dizedir-publish: release: --tree goes with --add (the new version's tree) or "
           "--init (the base tree)\n";
    return 1;
  }
  if (c.init && !c.tree.empty() && !c.from_tree.empty() && c.tree != c.from_tree) {
    err << "dizedir-publish: release --init: --from and --tree name the base tree; give "
           "one of them\n";
    return 1;
  }
  for (const std::string& mirror : c.mirrors) {
    if (!IsMirrorUrl(mirror)) {
      err << "dizedir-publish: release: --mirror " << mirror
          << ": not an http or https base URL\n";
      return 1;
    }
  }
  // Whatever can stop the manifest from being written is settled before
  // the release changes: the key, its password and the manifest it follows.
  std::unique_ptr<minisign::SecretKey> key;
  if (!c.secret_key.empty()) {
    key = std::make_unique<minisign::SecretKey>();
    const Status s = LoadSecretKey(env, c.secret_key, c.password_file, in, key.get());
    if (!s.ok()) return Failed(err, "release", s);
  }
  ReleaseManifest previous;
  bool has_previous = false;
  Status s = ReadManifest(env, c.release_dir, &previous, &has_previous);
  if (s.ok() && c.expires_days < 1) {
    s = Status::InvalidArgument("--expires-days must be 1 or more");
  }
  if (!s.ok()) {
    err << "dizedir-publish: release: " << s.message()
        << "\nnothing changed; fix or delete " << kReleaseManifestName << " first\n";
    return 1;
  }

  const int changed = ReleaseChange(env, c, out, err);
  if (changed != 0) return changed;

  ManifestChange change;
  change.now = c.now != 0 ? c.now : NowUnixSeconds();
  change.expires_days = c.expires_days;
  ReleaseManifest next;
  s = BuildNextManifest(env, c.release_dir, has_previous ? &previous : nullptr, change,
                        &next);
  ManifestWrite written;
  if (s.ok()) s = PublishManifest(env, c.release_dir, next, key.get(), "", change.now,
                                   &written);
  if (!s.ok()) return Failed(err, c.release_dir + "/" + kReleaseManifestName, s);
  out << c.release_dir << "/" << kReleaseManifestName << ": sequence "
      << written.manifest.sequence << ", " << written.manifest.files.size()
      << " files, expires " << FormatUtcTime(written.manifest.expires);
  if (written.signed_now) out << ", signed with key " << minisign::KeyIdHex(key->key_id);
  out << '\n';
  if (written.removed_signature) {
    err << "dizedir-publish: release: removed " << kReleaseManifestSignatureName
        << ", which signed the manifest before this change; clients that trust a "
        << "key refuse the release until it is signed again (dizedir-publish sign "
        << c.release_dir << " --key SECRET_KEY)\n";
  }
  return 0;
}

int RunServerList(Env* env, const ServerListCommand& c, std::istream& in,
                  std::ostream& out, std::ostream& err) {
  std::unique_ptr<minisign::SecretKey> key;
  if (!c.secret_key.empty()) {
    key = std::make_unique<minisign::SecretKey>();
    const Status s = LoadSecretKey(env, c.secret_key, c.password_file, in, key.get());
    if (!s.ok()) return Failed(err, "serverlist", s);
  }
  ServerListSpec layout = c.layout;
  layout.first_group.clear();
  layout.second_group.clear();
  for (const auto& [texts, group] :
       {std::pair{&c.first_group, &layout.first_group},
        std::pair{&c.second_group, &layout.second_group}}) {
    for (const std::string& text : *texts) {
      RegionSpec region;
      const Status s = ParseRegionSpec(text, &region);
      if (!s.ok()) return Failed(err, "serverlist", s);
      group->push_back(region);
    }
  }
  Status s = WriteServerList(env, c.out_dir, layout);
  if (!s.ok()) return Failed(err, "serverlist", s);
  const std::string list = ServerListFileName(layout.list_number);
  if (key != nullptr) {
    s = SignFileBeside(env, c.out_dir + "/" + list, *key, "", NowUnixSeconds());
    if (!s.ok()) return Failed(err, "serverlist", s);
  }
  out << c.out_dir << ": " << list << (key != nullptr ? " and its signature" : "")
      << " (for the server-list host), "
      << (layout.list_host.empty() ? "" : "IPconfig.dat and ")
      << "ng.ini (for client directories)\n";
  return 0;
}

int RunVerify(Env* env, const VerifyCommand& c, std::ostream& out, std::ostream& err) {
  minisign::PublicKey key;
  VerifyOptions options;
  options.now = c.now != 0 ? c.now : NowUnixSeconds();
  if (!c.public_key.empty()) {
    std::string text;
    Status s = ReadFileToString(env, c.public_key, &text, minisign::kMaxKeyFileBytes);
    if (s.ok()) s = minisign::ParsePublicKey(text, &key);
    if (!s.ok()) return Failed(err, c.public_key, s);
    options.public_key = &key;
  }
  VerifyReport report;
  const Status s = VerifyRelease(env, c.release_dir, options, &report);
  if (!s.ok()) return Failed(err, "verify", s);
  for (const std::string& p : report.problems) {
    err << "dizedir-publish: " << c.release_dir << ": " << p << '\n';
  }
  out << c.release_dir << ": " << report.parts_checked << " parts, "
      << report.patches_unpacked << " patches unpacked (" << report.items_unpacked
      << " items), ";
  if (report.tree_manifests == 0) {
    out << "no tree manifests, ";
  } else {
    out << Counted(report.tree_manifests, "tree manifest", "tree manifests") << ", "
        << Counted(report.objects_checked, "object", "objects") << " checked, ";
  }
  if (report.manifest_read) {
    out << kReleaseManifestName << " sequence " << report.manifest_sequence << " ("
        << report.manifest_files << " files, expires "
        << FormatUtcTime(report.manifest_expires) << ")"
        << (report.signature_good ? " signed by key " + minisign::KeyIdHex(key.key_id)
                                  : std::string(c.public_key.empty() ? ", signature not checked"
                                                                     : ""))
        << ", ";
  } else {
    out << "no " << kReleaseManifestName << ", ";
  }
  out << report.problems.size() << " problems\n";
  return report.ok() ? 0 : 1;
}

}  // namespace dizedir::publish
