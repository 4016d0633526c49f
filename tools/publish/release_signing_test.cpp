#include "tools/publish/release_signing.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "codec/zip_writer.h"
#include "lists/version_lists.h"
#include "support/scratch_dir.h"
#include "tools/publish/commands.h"
#include "tools/publish/sign_command.h"

namespace dizedir::publish {
namespace {

constexpr int64_t kNow = 1700000000;  // 2023-11-14
constexpr int64_t kDay = 86400;

struct Outcome {
  int rc = -1;
  std::string out, err;
};

bool HaveMinisign() { return std::system("command -v minisign >/dev/null 2>&1") == 0; }

bool Shell(const std::string& command) {
  return std::system((command + " </dev/null >/dev/null 2>&1").c_str()) == 0;
}

class ReleaseSigningTest : public ::testing::Test {
 protected:
  // An unencrypted key pair in dir/NAME/; returns the directory.
  std::string Keygen(const std::string& name) {
    KeygenCommand c;
    c.out_dir = dir_.Path(name);
    c.unencrypted = true;
    std::istringstream in;
    std::ostringstream out, err;
    EXPECT_EQ(RunKeygen(env_, c, in, out, err), 0) << err.str();
    return c.out_dir + "/";
  }
  std::string Zip(uint32_t seed) {
    const std::string path = dir_.Path("zip" + std::to_string(seed) + ".zip");
    std::unique_ptr<ZipWriter> zip;
    EXPECT_TRUE(ZipWriter::Create(env_, path, {}, &zip).ok());
    std::string data(3000 + seed, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * seed + i / 7);
    EXPECT_TRUE(zip->AddBytes("data/f" + std::to_string(seed) + ".bin", data).ok());
    EXPECT_TRUE(zip->Finish().ok());
    return path;
  }
  Outcome Release(const std::function<void(ReleaseCommand*)>& set) {
    ReleaseCommand c;
    c.release_dir = rel_;
    c.now = kNow;
    set(&c);
    Outcome r;
    std::istringstream in;
    std::ostringstream out, err;
    r.rc = RunRelease(env_, c, in, out, err);
    r.out = out.str();
    r.err = err.str();
    return r;
  }
  Outcome Sign(const std::string& key_dir, const std::function<void(SignCommand*)>& set = {}) {
    SignCommand c;
    c.file = rel_;
    c.secret_key = key_dir + kSecretKeyName;
    c.now = kNow;
    if (set) set(&c);
    Outcome r;
    std::istringstream in;
    std::ostringstream out, err;
    r.rc = RunSign(env_, c, in, out, err);
    r.out = out.str();
    r.err = err.str();
    return r;
  }
  Outcome Verify(const std::string& pub, int64_t now = kNow) {
    VerifyCommand c;
    c.release_dir = rel_;
    c.public_key = pub;
    c.now = now;
    Outcome r;
    std::ostringstream out, err;
    r.rc = RunVerify(env_, c, out, err);
    r.out = out.str();
    r.err = err.str();
    return r;
  }
  ReleaseManifest Manifest() {
    ReleaseManifest m;
    bool exists = false;
    const Status s = ReadManifest(env_, rel_, &m, &exists);
    EXPECT_TRUE(s.ok() && exists) << s.ToString();
    return m;
  }
  std::string Read(const std::string& name) { return dir_.Read("rel/" + name); }
  void Write(const std::string& name, const std::string& data) {
    ASSERT_TRUE(dir_.Write("rel/" + name, data));
  }
  // A signed release: version 1, patch 2 in two parts, patch 3 one zip.
  void SignedRelease(const std::string& key_dir) {
    ASSERT_EQ(Release([](ReleaseCommand* c) { c->init = true; }).rc, 0);
    ASSERT_EQ(Release([&](ReleaseCommand* c) {
                c->add = Zip(2);
                c->add_options.parts = 2;
              }).rc, 0);
    ASSERT_EQ(Release([&](ReleaseCommand* c) { c->add = Zip(3); }).rc, 0);
    const Outcome signed_now = Sign(key_dir);
    ASSERT_EQ(signed_now.rc, 0) << signed_now.err;
  }

  Env* env_ = Env::Default();
  ScratchDir dir_{"release_signing"};
  std::string rel_ = dir_.Path("rel");
};

TEST_F(ReleaseSigningTest, ReleaseKeepsTheManifestInStepWithWhatClientsFetch) {
  struct Step {
    const char* label;
    std::function<void(ReleaseCommand*)> change;
    std::set<std::string> files;
  };
  const std::set<std::string> lists = {"downloadaddr.txt", "curver.bin", "verlist.bin"};
  auto plus = [&](std::set<std::string> more) {
    more.insert(lists.begin(), lists.end());
    return more;
  };
  const Step steps[] = {
      {"init", [](ReleaseCommand* c) { c->init = true; }, lists},
      {"split patch",
       [&](ReleaseCommand* c) {
         c->add = Zip(2);
         c->add_options.parts = 2;
       },
       plus({"patch2_0.zxp", "patch2_1.zxp"})},
      {"optional zip",
       [&](ReleaseCommand* c) {
         c->add = Zip(3);
         c->add_options.optional = true;
         c->expires_days = 3;
       },
       plus({"patch2_0.zxp", "patch2_1.zxp", "patch3.zip"})},
      {"withdrawn", [](ReleaseCommand* c) { c->withdraw = 3; },
       plus({"patch2_0.zxp", "patch2_1.zxp"})},
  };
  int64_t sequence = 0;
  for (const Step& step : steps) {
    SCOPED_TRACE(step.label);
    const Outcome r = Release(step.change);
    ASSERT_EQ(r.rc, 0) << r.err;
    const ReleaseManifest m = Manifest();
    EXPECT_EQ(m.sequence, ++sequence);
    std::vector<VersionRecord> published;
    ASSERT_TRUE(DecodeRemoteVersions(Read("curver.bin"), &published));
    EXPECT_EQ(m.line, published.at(0).guid);
    std::set<std::string> names;
    for (const ManifestFile& f : m.files) {
      names.insert(f.name);
      const std::string bytes = Read(f.name);
      EXPECT_EQ(f.size, bytes.size()) << f.name;
      EXPECT_EQ(f.hash, HashBytes(bytes)) << f.name;
    }
    EXPECT_EQ(names, step.files);
    std::vector<std::string> problems;
    CompareManifest(env_, rel_, m, &problems);
    EXPECT_EQ(problems, std::vector<std::string>());
  }
  // The last step kept the default lifetime; the one before asked for 3 days.
  EXPECT_EQ(Manifest().expires, kNow + 30 * kDay);
  EXPECT_FALSE(dir_.Exists("rel/release.manifest.minisig"));
  EXPECT_EQ(Verify("").rc, 0) << Verify("").err;
}

TEST_F(ReleaseSigningTest, ASignatureFollowsEveryChangeOrGoes) {
  const std::string keys = Keygen("k");
  const std::string pub = keys + kPublicKeyName;
  ASSERT_EQ(Release([&](ReleaseCommand* c) {
              c->init = true;
              c->secret_key = keys + kSecretKeyName;
            }).rc, 0);
  Outcome v = Verify(pub);
  EXPECT_EQ(v.rc, 0) << v.err;

  const Outcome unsigned_add = Release([&](ReleaseCommand* c) { c->add = Zip(2); });
  ASSERT_EQ(unsigned_add.rc, 0) << unsigned_add.err;
  EXPECT_NE(unsigned_add.err.find("removed release.manifest.minisig"), std::string::npos);
  EXPECT_FALSE(dir_.Exists("rel/release.manifest.minisig"));
  v = Verify(pub);
  EXPECT_EQ(v.rc, 1);
  EXPECT_NE(v.err.find("release.manifest.minisig is missing"), std::string::npos) << v.err;
  EXPECT_EQ(Verify("").rc, 0) << "without a key only the files are compared";

  ASSERT_EQ(Sign(keys).rc, 0);
  EXPECT_EQ(Manifest().sequence, 3);
  const Outcome signed_add = Release([&](ReleaseCommand* c) {
    c->add = Zip(3);
    c->secret_key = keys + kSecretKeyName;
  });
  ASSERT_EQ(signed_add.rc, 0) << signed_add.err;
  EXPECT_EQ(Manifest().sequence, 4);
  v = Verify(pub);
  EXPECT_EQ(v.rc, 0) << v.err;
  // minisign's default trusted comment, which the tool writes too.
  EXPECT_NE(Read("release.manifest.minisig")
                .find("trusted comment: timestamp:1700000000\tfile:release.manifest\thashed\n"),
            std::string::npos);

  // A broken manifest stops a change before anything is written.
  Write("release.manifest", "dizedir release manifest 1\nline x\n");
  const std::string verlist = Read("verlist.bin");
  const Outcome refused = Release([&](ReleaseCommand* c) { c->add = Zip(4); });
  EXPECT_EQ(refused.rc, 1);
  EXPECT_NE(refused.err.find("line 3"), std::string::npos) << refused.err;
  EXPECT_EQ(Read("verlist.bin"), verlist);
  EXPECT_FALSE(dir_.Exists("rel/patch4.zip"));
}

TEST_F(ReleaseSigningTest, VerifyNamesWhatWasTamperedWith) {
  struct Case {
    const char* label;
    std::function<void()> tamper;
    const char* problem;  // empty: verify passes
    bool with_key = true;
    int64_t now = kNow;
  };
  minisign::SecretKey key;
  std::string keys, pub;
  // Rewrites the manifest with `edit` and signs it again with the right
  // key, so only the layout or the files can be at fault.
  auto resign = [&](const std::function<void(ReleaseManifest*)>& edit) {
    ReleaseManifest m = Manifest();
    edit(&m);
    Write("release.manifest", FormatReleaseManifest(m));
    ASSERT_TRUE(SignFileBeside(env_, rel_ + "/release.manifest", key, "", kNow).ok());
  };
  auto flip = [&](const std::string& name, size_t at) {
    std::string data = Read(name);
    data[at] ^= 0x20;
    Write(name, data);
  };
  const Case cases[] = {
      {"untouched", [] {}, ""},
      {"untouched, no key", [] {}, "", false},
      {"downloadaddr.txt", [&] { flip("downloadaddr.txt", 0); },
       "downloadaddr.txt differs from release.manifest"},
      {"curver.bin grown", [&] { Write("curver.bin", Read("curver.bin") + "x"); },
       "curver.bin holds"},
      {"verlist.bin", [&] { flip("verlist.bin", 3); },
       "verlist.bin differs from release.manifest"},
      {"a part", [&] { flip("patch2_1.zxp", 10); },
       "patch2_1.zxp differs from release.manifest"},
      {"a part, no key", [&] { flip("patch3.zip", 10); },
       "patch3.zip differs from release.manifest", false},
      {"a part gone", [&] { env_->DeleteFile(rel_ + "/patch2_0.zxp"); },
       "patch2_0.zxp, listed in release.manifest, is missing"},
      {"manifest byte",
       [&] {
         std::string text = Read("release.manifest");
         text.replace(text.find("sequence 4\n"), 10, "sequence 9");
         Write("release.manifest", text);
       },
       "release.manifest.minisig does not verify release.manifest"},
      {"trusted comment",
       [&] {
         std::string sig = Read("release.manifest.minisig");
         sig.replace(sig.find("timestamp:"), 10, "timestamq:");
         Write("release.manifest.minisig", sig);
       },
       "the trusted comment was altered"},
      {"signature gone", [&] { env_->DeleteFile(rel_ + "/release.manifest.minisig"); },
       "release.manifest.minisig is missing"},
      {"signature gone, no key",
       [&] { env_->DeleteFile(rel_ + "/release.manifest.minisig"); }, "", false},
      {"manifest gone", [&] { env_->DeleteFile(rel_ + "/release.manifest"); },
       "release.manifest is missing"},
      {"foreign key",
       [&] {
         const std::string other = Keygen("other");
         minisign::SecretKey foreign;
         std::istringstream in;
         ASSERT_TRUE(LoadSecretKey(env_, other + kSecretKeyName, "", in, &foreign).ok());
         ASSERT_TRUE(SignFileBeside(env_, rel_ + "/release.manifest", foreign, "", kNow).ok());
       },
       "not by the trusted key"},
      {"expired", [] {}, "release.manifest expired at 2023-12-14T22:13:20Z", true,
       kNow + 30 * kDay},
      {"expired, no key", [] {}, "", false, kNow + 365 * kDay},
      {"layout", [&] { Write("release.manifest", Read("release.manifest") + "extra\n"); },
       "release.manifest: line 11: expected"},
      {"a file clients do not fetch",
       [&] { resign([](ReleaseManifest* m) { m->files.push_back({"extra.bin", 1, {}}); }); },
       "release.manifest lists extra.bin, which clients do not fetch"},
      {"a part left out",
       [&] { resign([](ReleaseManifest* m) { m->files.erase(m->files.begin() + 4); }); },
       "patch2_1.zxp is not in release.manifest"},
      {"another line",
       [&] { resign([](ReleaseManifest* m) { m->line = "0-0"; }); },
       "release.manifest is for release line 0-0"},
      {"a size", [&] { resign([](ReleaseManifest* m) { m->files[1].size += 1; }); },
       "curver.bin holds"},
  };
  keys = Keygen("k");
  pub = keys + kPublicKeyName;
  std::istringstream in;
  ASSERT_TRUE(LoadSecretKey(env_, keys + kSecretKeyName, "", in, &key).ok());
  SignedRelease(keys);
  ASSERT_EQ(Manifest().files.size(), 6u);
  const std::string pristine = dir_.Path("pristine");
  std::filesystem::copy(rel_, pristine);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    std::filesystem::remove_all(rel_);
    std::filesystem::copy(pristine, rel_);
    c.tamper();
    const Outcome v = Verify(c.with_key ? pub : "", c.now);
    if (*c.problem == '\0') {
      EXPECT_EQ(v.rc, 0) << v.err;
    } else {
      EXPECT_EQ(v.rc, 1);
      EXPECT_NE(v.err.find(c.problem), std::string::npos) << v.err;
    }
  }
}

TEST_F(ReleaseSigningTest, RefreshExtendsOnlyWhatTheKeySignedBefore) {
  const std::string keys = Keygen("k");
  SignedRelease(keys);
  const ReleaseManifest before = Manifest();

  Outcome r = Sign(keys, [](SignCommand* c) {
    c->refresh = true;
    c->now = kNow + 20 * kDay;
  });
  ASSERT_EQ(r.rc, 0) << r.err;
  const ReleaseManifest after = Manifest();
  EXPECT_EQ(after.sequence, before.sequence + 1);
  EXPECT_EQ(after.expires, kNow + 50 * kDay);
  EXPECT_EQ(FormatReleaseManifest(after).substr(FormatReleaseManifest(after).find("file ")),
            FormatReleaseManifest(before).substr(FormatReleaseManifest(before).find("file ")));
  EXPECT_EQ(Verify(keys + kPublicKeyName, kNow + 40 * kDay).rc, 0);

  struct Case {
    const char* label;
    std::function<void()> setup;
    std::string key_dir;
    const char* why;
  };
  const std::string other = Keygen("other");
  const Case refused[] = {
      {"a part changed",
       [&] {
         std::string data = Read("patch3.zip");
         data[1] ^= 1;
         Write("patch3.zip", data);
       },
       keys, "patch3.zip differs from release.manifest"},
      {"another key", [] {}, other, "no release.manifest signed by key"},
      {"unsigned", [&] { env_->DeleteFile(rel_ + "/release.manifest.minisig"); }, keys,
       "no release.manifest signed by key"},
  };
  for (const Case& c : refused) {
    SCOPED_TRACE(c.label);
    c.setup();
    const std::string text = Read("release.manifest");
    r = Sign(c.key_dir, [](SignCommand* s) { s->refresh = true; });
    EXPECT_EQ(r.rc, 1);
    EXPECT_NE(r.err.find(c.why), std::string::npos) << r.err;
    EXPECT_EQ(Read("release.manifest"), text) << "a refused refresh writes nothing";
  }
  // Signing without --refresh vouches for the files as they are now.
  r = Sign(keys);
  ASSERT_EQ(r.rc, 0) << r.err;
  std::vector<std::string> problems;
  CompareManifest(env_, rel_, Manifest(), &problems);
  EXPECT_EQ(problems, std::vector<std::string>());
}

TEST_F(ReleaseSigningTest, NextKeyIsAnnouncedKeptAndDroppedOnceInUse) {
  const std::string old_keys = Keygen("old");
  const std::string new_keys = Keygen("new");
  const std::string stranger = Keygen("stranger");
  std::string text;
  minisign::PublicKey new_pub;
  ASSERT_TRUE(ReadFileToString(env_, new_keys + kPublicKeyName, &text).ok());
  ASSERT_TRUE(minisign::ParsePublicKey(text, &new_pub).ok());
  SignedRelease(old_keys);

  Outcome r = Sign(old_keys, [&](SignCommand* c) { c->next_key_file = new_keys + kPublicKeyName; });
  ASSERT_EQ(r.rc, 0) << r.err;
  EXPECT_NE(r.out.find("announces next key " + minisign::KeyIdHex(new_pub.key_id)),
            std::string::npos) << r.out;
  EXPECT_EQ(Manifest().next_key, minisign::PublicKeyLine(new_pub));
  ASSERT_EQ(Release([](ReleaseCommand* c) { c->withdraw = 3; }).rc, 0);
  EXPECT_EQ(Manifest().next_key, minisign::PublicKeyLine(new_pub)) << "a change keeps the announcement";

  r = Sign(new_keys);
  ASSERT_EQ(r.rc, 0) << r.err;
  EXPECT_EQ(r.err, "") << "the announced key takes over without a warning";
  EXPECT_EQ(Manifest().next_key, "") << "the rotation is done";
  EXPECT_EQ(Verify(new_keys + kPublicKeyName).rc, 0);

  r = Sign(stranger);
  ASSERT_EQ(r.rc, 0) << r.err;
  EXPECT_NE(r.err.find("clients that trust the old key will refuse"), std::string::npos)
      << r.err;

  ASSERT_EQ(Sign(stranger, [&](SignCommand* c) {
              c->next_key_file = new_keys + kPublicKeyName;
            }).rc, 0);
  ASSERT_EQ(Sign(stranger, [](SignCommand* c) { c->no_next_key = true; }).rc, 0);
  EXPECT_EQ(Manifest().next_key, "");
}

// Either tool signs, either tool checks: the manifest is an ordinary file
// to minisign.
TEST_F(ReleaseSigningTest, MinisignSignsAndChecksTheSameFiles) {
  if (!HaveMinisign()) GTEST_SKIP() << "minisign is not installed";
  const std::string keys = Keygen("k");
  const std::string pub = keys + kPublicKeyName;
  SignedRelease(keys);
  const std::string manifest = rel_ + "/release.manifest";
  EXPECT_TRUE(Shell("minisign -Vm " + manifest + " -p " + pub));

  ASSERT_TRUE(Shell("minisign -Sm " + manifest + " -s " + keys + kSecretKeyName +
                    " -t 'signed by hand'"));
  const Outcome v = Verify(pub);
  EXPECT_EQ(v.rc, 0) << v.err;
  EXPECT_NE(Read("release.manifest.minisig").find("trusted comment: signed by hand"),
            std::string::npos);

  ServerListCommand list;
  list.out_dir = dir_.Path("list");
  list.first_group = {"north=updates.example.com/rel"};
  list.secret_key = keys + kSecretKeyName;
  std::istringstream in;
  std::ostringstream out, err;
  ASSERT_EQ(RunServerList(env_, list, in, out, err), 0) << err.str();
  EXPECT_TRUE(Shell("minisign -Vm " + list.out_dir + "/patchone.ini -p " + pub));
  dir_.Write("list/patchone.ini", dir_.Read("list/patchone.ini") + " ");
  EXPECT_FALSE(Shell("minisign -Vm " + list.out_dir + "/patchone.ini -p " + pub));
}

}  // namespace
}  // namespace dizedir::publish
