#include "tools/publish/release_builder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "codec/md5.h"
#include "codec/zip_writer.h"
#include "lists/list_text.h"
#include "lists/split_archive.h"
#include "lists/version_lists.h"
#include "support/scratch_dir.h"
#include "tools/publish/release_verifier.h"

namespace dizedir::publish {
namespace {

std::string Read(const std::string& path) {
  std::string data;
  EXPECT_TRUE(ReadFileToString(Env::Default(), path, &data).ok()) << path;
  return data;
}

std::string RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 random(seed);
  std::string out(n, '\0');
  for (char& c : out) c = static_cast<char>(random());
  return out;
}

std::vector<std::string> Lines(const std::string& data) {
  std::vector<std::string> lines;
  for (size_t start = 0; start < data.size();) {
    const size_t end = data.find(kListLineTerminator, start);
    EXPECT_NE(end, std::string::npos) << "a line without its CR CR LF";
    if (end == std::string::npos) break;
    lines.push_back(data.substr(start, end - start));
    start = end + kListLineTerminator.size();
  }
  return lines;
}

class ReleaseBuilderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(InitRelease(env_, rel_, {}, &client_list_).ok());
  }
  std::string Archive(size_t size, uint32_t seed) {
    const std::string path = dir_.dir() + "in" + std::to_string(seed) + ".zip";
    EXPECT_TRUE(WriteFileAtomically(env_, path, RandomBytes(size, seed)).ok());
    return path;
  }
  // A real patch archive, so verification can unpack it.
  std::string Zip(uint32_t seed) {
    const std::string path = dir_.dir() + "zip" + std::to_string(seed) + ".zip";
    std::unique_ptr<ZipWriter> zip;
    EXPECT_TRUE(ZipWriter::Create(env_, path, {}, &zip).ok());
    EXPECT_TRUE(zip->AddBytes("data/f.txt", RandomBytes(100, seed)).ok());
    EXPECT_TRUE(zip->Finish().ok());
    return path;
  }
  std::vector<VersionRecord> Published() {
    std::vector<VersionRecord> v;
    EXPECT_TRUE(DecodeRemoteVersions(Read(rel_ + "/curver.bin"), &v));
    return v;
  }
  std::vector<PatchRecord> Patches() {
    std::vector<PatchRecord> p;
    EXPECT_TRUE(DecodePatches(Read(rel_ + "/verlist.bin"), &p));
    return p;
  }

  Env* env_ = Env::Default();
  ScratchDir dir_{"release"};
  std::string rel_ = dir_.dir() + "rel";
  std::string client_list_;
};

// Each change of downloadaddr.txt replaces only what it names: a new
// address keeps the mirrors, new mirrors keep the address, and a bad mirror
// changes nothing.
TEST_F(ReleaseBuilderTest, DownloadAddressChangesKeepWhatTheyDoNotName) {
  const std::string path = rel_ + "/downloadaddr.txt";
  const std::vector<std::string> two = {"http://a.example/rel/", "https://b.example"};
  ASSERT_TRUE(UpdateDownloadAddress(env_, rel_, nullptr, &two).ok());
  EXPECT_EQ(Read(path), "-\r\nhttp://a.example/rel\r\nhttps://b.example\r\n");
  AddOptions options;
  options.download_address = "http://game.example/dl";
  AddResult result;
  ASSERT_TRUE(AddPatch(env_, rel_, Zip(1), options, &result).ok());
  EXPECT_EQ(Read(path),
            "http://game.example/dl\r\nhttp://a.example/rel\r\nhttps://b.example\r\n");
  const std::vector<std::string> bad = {"http://c.example", "ftp://d.example"};
  EXPECT_FALSE(UpdateDownloadAddress(env_, rel_, nullptr, &bad).ok());
  EXPECT_EQ(Read(path),
            "http://game.example/dl\r\nhttp://a.example/rel\r\nhttps://b.example\r\n");
  const std::vector<std::string> none;
  ASSERT_TRUE(UpdateDownloadAddress(env_, rel_, nullptr, &none).ok());
  EXPECT_EQ(Read(path), "http://game.example/dl\r\n");
}

TEST_F(ReleaseBuilderTest, InitStartsALineTheBaseClientBelongsTo) {
  const std::vector<VersionRecord> published = Published();
  ASSERT_EQ(published.size(), 1u);
  EXPECT_EQ(published[0].number, 1);
  EXPECT_EQ(published[0].state, 1);
  EXPECT_EQ(published[0].guid.size(), 36u);
  std::vector<LocalVersionRecord> local;
  ASSERT_TRUE(DecodeLocalVersions(client_list_, &local));
  ASSERT_EQ(local.size(), 1u);
  EXPECT_EQ(local[0].guid, published[0].guid);
  EXPECT_EQ(local[0].number, 1);
  EXPECT_EQ(local[0].state, 1);
  EXPECT_EQ(Read(rel_ + "/verlist.bin"), "");
  EXPECT_FALSE(Read(rel_ + "/downloadaddr.txt").empty());
  std::string again;
  EXPECT_FALSE(InitRelease(env_, rel_, {}, &again).ok());
}

TEST_F(ReleaseBuilderTest, AddSplitsByTheRuleAndListsEveryPartDigest) {
  struct Case {
    std::string label;
    size_t size;
    AddOptions options;
    size_t parts;  // 1: one zip
  };
  AddOptions small_parts;
  small_parts.part_bytes = 1000;
  AddOptions three;
  three.parts = 3;
  AddOptions six;  // 10 bytes in 6: the rule's sixth part would be empty
  six.parts = 6;
  AddOptions one;
  one.parts = 1;
  const std::vector<Case> cases = {
      {"small stays one zip", 5000, {}, 1},
      {"by part size", 3500, small_parts, 4},
      {"by count", 3000, three, 3},
      {"no empty part", 10, six, 4},
      {"never split", 50000, one, 1},
  };
  std::string guid = Published()[0].guid;
  int32_t number = 1;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const std::string input = Archive(c.size, static_cast<uint32_t>(c.size));
    AddResult result;
    ASSERT_TRUE(AddPatch(env_, rel_, input, c.options, &result).ok());
    ++number;
    const std::vector<PatchRecord> patches = Patches();
    ASSERT_EQ(patches.size(), static_cast<size_t>(number - 1));
    const PatchRecord& p = patches.back();
    EXPECT_EQ(p.number, number);
    EXPECT_EQ(p.guid, guid);
    EXPECT_EQ(p.state, 1);
    ASSERT_EQ(p.parts.size(), c.parts);
    const std::string archive = "patch" + std::to_string(number);
    std::string joined;
    for (size_t i = 0; i < p.parts.size(); ++i) {
      const std::string expected_name =
          c.parts == 1 ? archive + ".zip" : PartName(archive, static_cast<int>(i));
      EXPECT_EQ(p.parts[i].name, expected_name);
      const std::string bytes = Read(rel_ + "/" + PartFileName(p.parts[i].name));
      EXPECT_FALSE(bytes.empty());
      EXPECT_EQ(p.parts[i].digest, Md5Hex(bytes));
      joined += bytes;
    }
    EXPECT_EQ(joined, Read(input));
    EXPECT_EQ(p.archive, c.parts == 1 ? archive + ".zip" : archive);
    // No stray part or joined zip is served beside the listed ones.
    EXPECT_FALSE(env_->FileExists(
        rel_ + "/" + PartFileName(PartName(archive, static_cast<int>(c.parts)))));
    if (c.parts > 1) {
      EXPECT_FALSE(env_->FileExists(rel_ + "/" + archive + ".zip"));
    }
    // Each line is what the record formats to, so readers agree byte for byte.
    const std::vector<std::string> lines = Lines(Read(rel_ + "/verlist.bin"));
    EXPECT_EQ(lines.back(), p.Format());
    const std::vector<VersionRecord> published = Published();
    ASSERT_EQ(published.size(), 1u);
    EXPECT_EQ(published[0].number, number);
    EXPECT_EQ(published[0].guid, guid);
  }
}

TEST_F(ReleaseBuilderTest, OptionalPromotionAndWithdrawal) {
  AddResult r;
  ASSERT_TRUE(AddPatch(env_, rel_, Zip(1), {}, &r).ok());  // 2
  AddOptions optional;
  optional.optional = true;
  ASSERT_TRUE(AddPatch(env_, rel_, Zip(2), optional, &r).ok());  // 3
  struct Expect {
    std::vector<std::pair<int32_t, int32_t>> published;  // number, state
    std::vector<int32_t> patch_states;
  };
  auto check = [&](const Expect& e) {
    std::vector<std::pair<int32_t, int32_t>> published;
    for (const VersionRecord& v : Published()) published.emplace_back(v.number, v.state);
    EXPECT_EQ(published, e.published);
    std::vector<int32_t> states;
    for (const PatchRecord& p : Patches()) states.push_back(p.state);
    EXPECT_EQ(states, e.patch_states);
    VerifyReport report;
    ASSERT_TRUE(VerifyRelease(env_, rel_, &report).ok());
    EXPECT_EQ(report.problems, std::vector<std::string>());
  };
  {
    SCOPED_TRACE("the optional patch is published after the newest required");
    check({{{2, 1}, {3, 2}}, {1, 2}});
  }
  EXPECT_FALSE(WithdrawPatch(env_, rel_, 2).ok()) << "3 is built on 2";
  ASSERT_TRUE(AddPatch(env_, rel_, Zip(3), {}, &r).ok());  // 4
  EXPECT_EQ(r.promoted, std::vector<int32_t>{3});
  {
    SCOPED_TRACE("a later patch makes the optional one required");
    check({{{4, 1}}, {1, 1, 1}});
  }
  ASSERT_TRUE(WithdrawPatch(env_, rel_, 4).ok());
  {
    SCOPED_TRACE("withdrawn: state 0 in the patch list, head back to 3");
    check({{{3, 1}}, {1, 1, 0}});
  }
  ASSERT_TRUE(AddPatch(env_, rel_, Zip(4), {}, &r).ok());
  EXPECT_EQ(r.patch.number, 5) << "numbers are never reused";

  ReleaseLists lists;
  ASSERT_TRUE(LoadRelease(env_, rel_, &lists).ok());
  std::string client;
  ASSERT_TRUE(ClientListAt(lists, 3, &client).ok());
  std::vector<LocalVersionRecord> local;
  ASSERT_TRUE(DecodeLocalVersions(client, &local));
  EXPECT_EQ(local.at(0).number, 3);
  EXPECT_EQ(local.at(0).guid, lists.versions.front().guid);
  EXPECT_FALSE(ClientListAt(lists, 4, &client).ok()) << "withdrawn";
}

TEST_F(ReleaseBuilderTest, VerifyFindsWhatClientsWouldTripOver) {
  AddResult r;
  AddOptions split;
  split.parts = 2;
  ASSERT_TRUE(AddPatch(env_, rel_, Archive(4000, 9), split, &r).ok());
  struct Case {
    std::string label;
    std::function<void()> damage;
    std::string problem;
  };
  const std::string part = rel_ + "/patch2_1.zxp";
  const std::vector<Case> cases = {
      {"not a zip", [] {}, "not a zip archive"},
      {"part changed", [&] { WriteFileAtomically(env_, part, "other bytes"); },
       "has digest"},
      {"part missing", [&] { env_->DeleteFile(part); }, "missing"},
      {"no downloadaddr.txt", [&] { env_->DeleteFile(rel_ + "/downloadaddr.txt"); },
       "downloadaddr.txt"},
      {"list line broken", [&] { WriteFileAtomically(env_, rel_ + "/verlist.bin", "x\r\r\n"); },
       "line 1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    c.damage();
    VerifyReport report;
    ASSERT_TRUE(VerifyRelease(env_, rel_, &report).ok());
    ASSERT_FALSE(report.ok());
    bool found = false;
    for (const std::string& p : report.problems) found = found || p.find(c.problem) != std::string::npos;
    EXPECT_TRUE(found) << ::testing::PrintToString(report.problems);
  }
}

}  // namespace
}  // namespace dizedir::publish
