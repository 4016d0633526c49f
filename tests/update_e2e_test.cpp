// The update task end to end, in process: a release served on loopback by
// the test server (with its faults), the real downloader module, and a
// client directory on disk that must end exactly at the published version.

#include <gtest/gtest.h>

#include <atomic>

#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <functional>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <vector>

#include "engine/patch_engine.h"
#include "platform/env.h"
#include "plugin/string_table.h"
#include "support/recording_sink.h"
#include "support/release_fixture.h"
#include "support/release_signer.h"
#include "support/scratch_dir.h"
#include "support/test_bytes.h"
#include "support/test_http_server.h"

namespace dizedir {
namespace {

namespace fs = std::filesystem;
using Files = std::map<std::string, std::string>;

// The tree a client at each version holds (beside the system's own files).
const Files kVersion1 = {{"game.cfg", "v1"}, {"sub/keep.txt", "kept"}};
const Files kPatch2 = {{"game.cfg", "v2"}, {"sub/new.txt", "added in 2"}};
const Files kPatch3 = {{"sub/new.txt", "changed in 3"}, {"data/blob.bin", RandomBytes(300000, 3)}};

Files Expected(int version) {
  Files tree = kVersion1;
  if (version >= 2) {
    for (const auto& [k, v] : kPatch2) tree[k] = v;
  }
  if (version >= 3) {
    for (const auto& [k, v] : kPatch3) tree[k] = v;
  }
  return tree;
}

// Watches the client directory while an update runs: every file the update
// creates or renames into place, and the most bytes the directory ever held,
// sampled after each write and rename.
class DiskWatchingEnv : public EnvWrapper {
 public:
  explicit DiskWatchingEnv(fs::path dir) : EnvWrapper(Env::Default()), dir_(std::move(dir)) {}

  Status NewWritableFile(const std::string& path, std::unique_ptr<WritableFile>* result) override {
    return Watch(path, target()->NewWritableFile(path, result), result);
  }
  Status NewAppendableFile(const std::string& path,
                           std::unique_ptr<WritableFile>* result) override {
    return Watch(path, target()->NewAppendableFile(path, result), result);
  }
  // Part files ("upd..." in the client) count the bytes read from them;
  // those still arriving (temporary names) apart, as only the downloader
  // reads them.
  Status NewReadableFile(const std::string& path,
                         std::unique_ptr<ReadableFile>* result) override {
    const Status s = target()->NewReadableFile(path, result);
    const std::string name = fs::path(path).filename().string();
    if (s.ok() && name.rfind("upd", 0) == 0) {
      const bool arriving = name.size() > kTempSuffix.size() &&
                            name.compare(name.size() - kTempSuffix.size(), kTempSuffix.size(),
                                         kTempSuffix) == 0;
      *result = std::make_unique<CountedFile>(
          arriving ? &arriving_bytes_read_ : &part_bytes_read_, std::move(*result));
    }
    return s;
  }
  Status RenameFile(const std::string& from, const std::string& to) override {
    Record(to);
    const Status s = target()->RenameFile(from, to);
    Sample();
    return s;
  }

  std::vector<std::string> created() {
    std::lock_guard<std::mutex> lock(mu_);
    return created_;
  }
  uint64_t peak() {
    std::lock_guard<std::mutex> lock(mu_);
    return peak_;
  }
  uint64_t part_bytes_read() const { return part_bytes_read_.load(); }
  uint64_t arriving_bytes_read() const { return arriving_bytes_read_.load(); }

 private:
  class CountedFile : public ReadableFile {
   public:
    CountedFile(std::atomic<uint64_t>* counter, std::unique_ptr<ReadableFile> file)
        : counter_(counter), file_(std::move(file)) {}
    Status Read(uint64_t offset, size_t n, char* scratch, size_t* bytes_read) override {
      const Status s = file_->Read(offset, n, scratch, bytes_read);
      *counter_ += *bytes_read;
      return s;
    }
    Status Size(uint64_t* size) override { return file_->Size(size); }

   private:
    std::atomic<uint64_t>* const counter_;
    const std::unique_ptr<ReadableFile> file_;
  };

  class File : public WritableFile {
   public:
    File(DiskWatchingEnv* env, std::unique_ptr<WritableFile> file)
        : env_(env), file_(std::move(file)) {}
    Status Append(std::string_view data) override {
      // Flushed, so the sample sees the bytes on the disk.
      const Status s = file_->Append(data);
      file_->Flush();
      env_->Sample();
      return s;
    }
    Status AppendFrom(ReadableFile* source, uint64_t offset, uint64_t length) override {
      const Status s = file_->AppendFrom(source, offset, length);
      file_->Flush();
      env_->Sample();
      return s;
    }
    Status Flush() override { return file_->Flush(); }
    Status Sync() override { return file_->Sync(); }
    Status Close() override { return file_->Close(); }

   private:
    DiskWatchingEnv* const env_;
    const std::unique_ptr<WritableFile> file_;
  };

  Status Watch(const std::string& path, Status s, std::unique_ptr<WritableFile>* result) {
    Record(path);
    if (s.ok()) *result = std::make_unique<File>(this, std::move(*result));
    return s;
  }
  void Record(const std::string& path) {
    std::lock_guard<std::mutex> lock(mu_);
    created_.push_back(fs::path(path).filename().string());
  }
  void Sample() {
    uint64_t total = 0;
    std::error_code error;
    // Files come and go under the walk; what cannot be read counts nothing.
    for (fs::recursive_directory_iterator it(dir_, error), end; !error && it != end;
         it.increment(error)) {
      std::error_code ignored;
      if (it->is_regular_file(ignored)) {
        const uintmax_t size = fs::file_size(it->path(), ignored);
        if (!ignored) total += size;
      }
    }
    std::lock_guard<std::mutex> lock(mu_);
    peak_ = std::max<uint64_t>(peak_, total);
  }

  const fs::path dir_;
  std::mutex mu_;
  std::vector<std::string> created_;
  uint64_t peak_ = 0;
  std::atomic<uint64_t> part_bytes_read_{0};
  std::atomic<uint64_t> arriving_bytes_read_{0};
};

class UpdateEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(StringTable::Open(Env::Default(), DIZEDIR_RESCHN_DLL, &strings_).ok());
    client_ = scratch_.path() / "client";
    served_ = scratch_.path() / "served";
    fs::remove_all(client_);
    fs::remove_all(served_);
    release_ = std::make_unique<ReleaseFixture>(served_ / "rel", scratch_.path() / "work");
    release_->AddPatch(2, 1, kPatch2, 1);
    release_->AddPatch(3, 1, kPatch3, 3);
    server_.ServeDirectory(served_.string());
    release_->WriteClient(client_, 1, kVersion1, server_.host_port() + "/rel");
  }

  // One run of the update task in a fresh engine, as a fresh launcher would.
  // `beside` runs on the test thread while the task runs on its own.
  bool RunUpdate(const std::function<void(PatchEngine*)>& beside = nullptr) {
    DownloaderModule module;
    module.get = [] {
      HttpInterface* d = GetHttpInterface();
      // Faults in these tests must not take the production 30 s.
      d->SetStallTimeout(300);
      d->SetRetryPolicy(3, 20);
      return d;
    };
    PatchEngine engine(env_, strings_.get(), module);
    sink_ = RecordingSink();
    engine.SetPlugin(&sink_, nullptr);
    EXPECT_TRUE(engine.SetClientDir(client_.string() + "/"));
    engine.ParseRegionList();
    if (!beside) return engine.RunUpdate();
    bool ok = false;
    std::thread task([&] { ok = engine.RunUpdate(); });
    beside(&engine);
    task.join();
    return ok;
  }

  // Waits (bounded) until the task asks the optional-patch question.
  static bool WaitForQuestion(PatchEngine* engine) {
    for (int i = 0; i < 1000 && !engine->IsPromptPending(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return engine->IsPromptPending();
  }

  // The client tree without the system's own files.
  Files ClientTree() {
    Files tree;
    for (const auto& entry : fs::recursive_directory_iterator(client_)) {
      if (!entry.is_regular_file()) continue;
      const std::string name = fs::relative(entry.path(), client_).generic_string();
      // Downloaded parts are not part of the game; they may stay for reuse.
      const bool download = name.rfind("upd", 0) == 0 &&
                            (name.find(".zip") != std::string::npos ||
                             name.find(".zxp") != std::string::npos);
      // A signed release's key and the trust it left are the client's own.
      if (download || name == "curver.bin" || name == "patchone.ini" ||
          name == "dizedir.lock" || name == "qmz_GT/downloadaddr.txt" ||
          name == kTrustedKeyName || name == kReleaseStateName) {
        continue;
      }
      tree[name] = ReadBytes(entry.path());
    }
    return tree;
  }

  void ExpectCurrent() {
    EXPECT_EQ(ClientTree(), Expected(3));
    // Applied patches leave no download behind.
    for (const auto& entry : fs::directory_iterator(client_)) {
      EXPECT_EQ(entry.path().filename().string().rfind("upd", 0), std::string::npos)
          << entry.path();
    }
    // A further run finds nothing to do.
    EXPECT_TRUE(RunUpdate());
    EXPECT_EQ(sink_.finished(), std::vector<std::string>{strings_->LookupNarrow(227)});
    EXPECT_EQ(ClientTree(), Expected(3));
  }

  std::string FirstFailure() const {
    const auto failures = sink_.failures();
    return failures.empty() ? "" : failures.front();
  }
  std::string Text(uint32_t id) const { return strings_->LookupNarrow(id); }

  Env* env_ = Env::Default();
  ScratchDir scratch_{"update_e2e"};
  fs::path client_, served_;
  std::unique_ptr<StringTable> strings_;
  std::unique_ptr<ReleaseFixture> release_;
  TestHttpServer server_;
  RecordingSink sink_;
};

TEST_F(UpdateEndToEnd, FromOneToThreeThroughAWholeAndASplitArchive) {
  ASSERT_TRUE(RunUpdate()) << FirstFailure();
  EXPECT_EQ(sink_.finished(), std::vector<std::string>{Text(246)});
  // The total bar counts the four parts of both patches while they arrive,
  // then names each patch by its version while it is unpacked, counting
  // the two this run applies.
  const std::string unpack2 = Text(245) + "2" + Text(249);
  const std::string unpack3 = Text(245) + "3" + Text(249);
  std::vector<RecordingSink::Item> transfer, applying;
  for (const RecordingSink::Item& total : sink_.totals()) {
    if (total.text.rfind(Text(245), 0) == 0) {
      applying.push_back(total);
    } else if (!total.text.empty()) {
      transfer.push_back(total);
    }
  }
  // A part may be done before the first poll sees it (the apply thread
  // polls about once a second), so the texts may begin past the first part; they
  // never go back, and each names the part its numbers count.
  ASSERT_FALSE(transfer.empty());
  int32_t last = 1;
  for (const RecordingSink::Item& total : transfer) {
    EXPECT_EQ(total, (RecordingSink::Item{strings_->FormatNarrow(247, total.done, 4),
                                          total.done, 4}));
    EXPECT_GE(total.done, last);
    last = total.done;
  }
  EXPECT_EQ(applying, (std::vector<RecordingSink::Item>{
                          {unpack2, 0, 2}, {unpack2, 1, 2}, {unpack3, 1, 2}, {unpack3, 2, 2}}));
  ExpectCurrent();
}

TEST_F(UpdateEndToEnd, ASplitArchiveIsReadFromItsPartsWithoutAJoinedCopy) {
  uint64_t parts = 0;
  for (const auto& entry : fs::directory_iterator(release_->root())) {
    if (entry.path().filename().string().rfind("upd", 0) == 0) parts += entry.file_size();
  }
  uint64_t unpacked = 0;
  for (const Files* files : {&kVersion1, &kPatch2, &kPatch3}) {
    for (const auto& [name, bytes] : *files) unpacked += bytes.size();
  }
  // The lists and the update's own small files; far less than the split
  // archive (its 300000 random bytes do not shrink), so a joined copy of
  // it cannot hide in here.
  constexpr uint64_t kSmallFiles = 64 << 10;
  struct Case {
    const char* what;
    std::string stale_copy;  // left as upd3.zip by an older version's killed run
    bool signed_release = false;
  };
  const Case cases[] = {{"a clean client", ""},
                        {"a joined copy left behind", RandomBytes(100000, 9)},
                        {"a signed release", "", true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SetUp();
    if (!c.stale_copy.empty()) WriteBytes(client_ / "upd3.zip", c.stale_copy);
    if (c.signed_release) {
      const ReleaseSigner signer;
      WriteBytes(client_ / kTrustedKeyName, signer.PublicKeyFile());
      signer.Sign(release_->root(),
                  signer.ManifestOf(release_->root(), ReleaseFixture::kGuid, 1));
    }
    DiskWatchingEnv watching(client_);
    env_ = &watching;
    const bool ok = RunUpdate();
    env_ = Env::Default();
    ASSERT_TRUE(ok) << FirstFailure();
    EXPECT_EQ(ClientTree(), Expected(3));
    EXPECT_FALSE(fs::exists(client_ / "upd3.zip"));
    for (const std::string& name : watching.created()) {
      EXPECT_EQ(name.find("upd3.zip"), std::string::npos) << name;
    }
    EXPECT_GT(watching.peak(), parts);
    EXPECT_LE(watching.peak(), c.stale_copy.size() + parts + unpacked + kSmallFiles);
    // The downloader checked each part's digest as it arrived: the update
    // reads the parts once, to unpack them, and never again to digest them;
    // a signed one once more for the signed hash. Opening an archive reads
    // up to 64 KiB at its end twice, looking for its end record; a digest
    // pass would read every part once more.
    constexpr uint64_t kEndSearches = 2 * 2 * (64 << 10);
    const uint64_t passes = c.signed_release ? 2 : 1;
    EXPECT_LE(watching.part_bytes_read(), passes * parts + kEndSearches);
    // Bytes that came ahead of a part's in-order run (another connection's
    // range) are hashed from disk when the part ends, each at most once.
    EXPECT_LE(watching.arriving_bytes_read(), parts);
    fs::remove(release_->root() / kReleaseManifestName);
    fs::remove(release_->root() / kReleaseManifestSignatureName);
  }
}

TEST_F(UpdateEndToEnd, EveryFaultEndsCleanlyAndTheNextRunConverges) {
  struct Case {
    const char* name;
    std::string path;
    TestHttpServer::Fault fault;
    bool first_run_succeeds;
    uint32_t failure;
  };
  const std::vector<Case> cases = {
      {"part missing", "/rel/upd3_1.zxp", TestHttpServer::Fault::Status(404), false, 225},
      {"server error", "/rel/upd2.zip", TestHttpServer::Fault::Status(500), false, 225},
      {"patch list missing", "/rel/verlist.bin", TestHttpServer::Fault::Status(404), false, 224},
      {"published list missing", "/rel/curver.bin", TestHttpServer::Fault::Status(500), false, 221},
      {"dropped mid-part", "/rel/upd3_0.zxp", TestHttpServer::Fault::DropAfter(5000, 1), true, 0},
      {"stalled part", "/rel/upd3_1.zxp", TestHttpServer::Fault::Stall(2000, 1), true, 0},
      {"truncated part", "/rel/upd3_2.zxp", TestHttpServer::Fault::ShortBody(100), false, 225},
      {"range ignored", "/rel/upd3_0.zxp", TestHttpServer::Fault::IgnoreRange(), true, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    server_.SetFault(c.path, c.fault);
    const bool ok = RunUpdate();
    EXPECT_EQ(ok, c.first_run_succeeds) << FirstFailure();
    if (!ok) {
      EXPECT_EQ(FirstFailure().rfind(Text(c.failure), 0), 0u) << FirstFailure();
      EXPECT_FALSE(fs::exists(client_ / "newver.bin"));
    }
    server_.ClearFault(c.path);
    if (!ok) {
      ASSERT_TRUE(RunUpdate()) << FirstFailure();
    }
    ExpectCurrent();
  }
}

TEST_F(UpdateEndToEnd, AWrongDigestIsRefusedAndNothingIsUnpacked) {
  release_->patches()[1].parts[1].digest = std::string(32, '0');
  release_->Publish();
  EXPECT_FALSE(RunUpdate());
  EXPECT_EQ(FirstFailure().rfind(Text(236), 0), 0u) << FirstFailure();
  EXPECT_EQ(ClientTree(), Expected(1));
  // Mended on the server: the parts that verified are reused.
  PatchRecord& fixed = release_->patches()[1];
  fixed.parts[1].digest = Md5Hex(ReadBytes(release_->root() / "upd3_1.zxp"));
  release_->Publish();
  // Parts in transfer beside the wrong one were finished and kept; one not
  // started yet when it failed was not fetched. Whatever is on disk now is
  // not fetched again.
  std::vector<std::string> kept;
  for (const char* part : {"upd2.zip", "upd3_0.zxp", "upd3_2.zxp"}) {
    if (fs::exists(client_ / part)) kept.push_back(std::string("/rel/") + part);
  }
  EXPECT_FALSE(kept.empty());
  EXPECT_FALSE(fs::exists(client_ / "upd3_1.zxp"));
  server_.ClearRequests();
  ASSERT_TRUE(RunUpdate()) << FirstFailure();
  for (const std::string& reused : kept) {
    for (const auto& request : server_.RequestsFor(reused)) {
      EXPECT_NE(request.method, "GET") << reused;
    }
  }
  ExpectCurrent();
}

TEST_F(UpdateEndToEnd, AnInterruptedTransferResumesWithTheMissingPartsOnly) {
  // The last part never arrives: everything before it is complete on disk.
  server_.SetFault("/rel/upd3_2.zxp", TestHttpServer::Fault::Stall(0, 1000));
  EXPECT_FALSE(RunUpdate());
  server_.ClearFault("/rel/upd3_2.zxp");
  server_.ClearRequests();
  ASSERT_TRUE(RunUpdate()) << FirstFailure();
  std::vector<std::string> fetched;
  for (const auto& request : server_.requests()) {
    if (request.method == "GET" && request.path.find(".z") != std::string::npos) {
      fetched.push_back(request.path);
    }
  }
  EXPECT_EQ(fetched, std::vector<std::string>{"/rel/upd3_2.zxp"});
  ExpectCurrent();
}

// The publisher writes a manifest into unsigned releases too. One that
// names the very patch list fetched tells the parts' sizes, so none is
// asked of the server; any other is ignored. Its sizes are the server's
// word like any answer: a wrong one fails the transfer, and the next honest
// release repairs the client.
TEST_F(UpdateEndToEnd, AnUnsignedManifestSparesTheSizeQueries) {
  struct Case {
    const char* name;
    // Edits the manifest written over the release; null: none is written.
    std::function<void(ReleaseManifest*)> edit;
    bool sizes_asked;
    bool succeeds;
  };
  const auto entry = [](ReleaseManifest* m, const char* name) {
    for (ManifestFile& file : m->files) {
      if (file.name == name) return &file;
    }
    std::abort();
  };
  const std::vector<Case> cases = {
      {"written with this list", [](ReleaseManifest*) {}, false, true},
      {"no manifest", nullptr, true, true},
      {"of an earlier list",
       [&](ReleaseManifest* m) { entry(m, "verlist.bin")->hash[0] ^= 1; }, true, true},
      {"a part told one byte short",
       [&](ReleaseManifest* m) { --entry(m, "upd3_1.zxp")->size; }, false, false},
      {"a part told one byte long",
       [&](ReleaseManifest* m) { ++entry(m, "upd3_1.zxp")->size; }, false, false},
  };
  int round = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (round++ > 0) {
      fs::remove_all(client_);
      release_->WriteClient(client_, 1, kVersion1, server_.host_port() + "/rel");
    }
    const fs::path manifest_path = release_->root() / kReleaseManifestName;
    fs::remove(manifest_path);
    if (c.edit) {
      ReleaseManifest manifest = ReleaseSigner().ManifestOf(release_->root(), "guid", 1);
      c.edit(&manifest);
      WriteBytes(manifest_path, FormatReleaseManifest(manifest));
    }
    server_.ClearRequests();
    EXPECT_EQ(RunUpdate(), c.succeeds) << FirstFailure();
    bool asked = false;
    for (const auto& request : server_.requests()) {
      if (request.path.find(".z") == std::string::npos) continue;
      asked = asked || request.method == "HEAD" || request.range == "bytes=0-0";
    }
    EXPECT_EQ(asked, c.sizes_asked);
    if (!c.succeeds) {
      EXPECT_EQ(FirstFailure().rfind(Text(225), 0), 0u) << FirstFailure();
      EXPECT_NE(ClientTree(), Expected(3));
      fs::remove(manifest_path);
      ASSERT_TRUE(RunUpdate()) << FirstFailure();
    }
    ExpectCurrent();
  }
}

TEST_F(UpdateEndToEnd, AFileLeftAsideByAKilledReplaceComesBack) {
  // A run killed between moving an open file aside and moving its successor
  // in: the aside copy is the only one left, the successor a stale temporary.
  const fs::path kept = client_ / "sub" / "keep.txt";
  fs::rename(kept, AsideName(kept.string(), 0));
  WriteBytes(kept.string() + std::string(kTempSuffix), "half a successor");
  // An aside copy whose successor did arrive is only a leftover.
  WriteBytes(AsideName((client_ / "game.cfg").string(), 3), "old game.cfg");
  ASSERT_TRUE(RunUpdate()) << FirstFailure();
  ExpectCurrent();
}

TEST_F(UpdateEndToEnd, ASecondUpdateOfTheSameClientIsRefused) {
  std::unique_ptr<FileLock> held;
  ASSERT_TRUE(Env::Default()->LockFile((client_ / kUpdateLockName).string(), &held).ok());
  EXPECT_FALSE(RunUpdate());
  EXPECT_EQ(FirstFailure(), Text(kStringUpdateRunning));
  EXPECT_EQ(ClientTree(), Expected(1));
  held.reset();
  ASSERT_TRUE(RunUpdate()) << FirstFailure();
  ExpectCurrent();
}

TEST_F(UpdateEndToEnd, OneQuestionCoversEveryOptionalPatch) {
  const Files optional4 = {{"extras/hd.bin", RandomBytes(5000, 4)}};
  const Files optional5 = {{"extras/voice.bin", RandomBytes(7000, 5)}};
  release_->AddPatch(4, 2, optional4, 1);
  release_->AddPatch(5, 2, optional5, 2);
  struct Case {
    int32_t answer;
    bool fetched;
  };
  for (const Case& c : {Case{2, false}, Case{1, true}}) {
    SCOPED_TRACE(c.answer);
    int questions = 0;
    ASSERT_TRUE(RunUpdate([&](PatchEngine* engine) {
      if (WaitForQuestion(engine)) ++questions;
      engine->AnswerPrompt(c.answer);
    })) << FirstFailure();
    EXPECT_EQ(questions, 1);
    // Optional patches are fetched on consent but never applied.
    EXPECT_EQ(ClientTree(), Expected(3));
    EXPECT_EQ(fs::exists(client_ / "upd4.zip"), c.fetched);
    EXPECT_EQ(fs::exists(client_ / "upd5_1.zxp"), c.fetched);
  }
}

TEST_F(UpdateEndToEnd, AStopEndsTheTaskPromptlyAndTheNextRunResumes) {
  struct Case {
    const char* name;
    std::function<void(PatchEngine*)> stop;
  };
  const Case cases[] = {
      {"during the question",
       [](PatchEngine* engine) {
         ASSERT_TRUE(WaitForQuestion(engine));
         engine->RequestStop();
       }},
      {"during the transfer",
       [this](PatchEngine* engine) {
         ASSERT_TRUE(WaitForQuestion(engine));
         server_.SetFault("/rel/upd3_1.zxp", TestHttpServer::Fault::SlowRate(2000));
         engine->AnswerPrompt(2);
         std::this_thread::sleep_for(std::chrono::milliseconds(500));
         engine->RequestStop();
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    release_->AddPatch(4, 2, {{"extras/hd.bin", "optional"}}, 1);
    std::chrono::steady_clock::time_point stopped;
    const bool ok = RunUpdate([&](PatchEngine* engine) {
      c.stop(engine);
      stopped = std::chrono::steady_clock::now();
    });
    const auto took = std::chrono::steady_clock::now() - stopped;
    EXPECT_FALSE(ok);
    EXPECT_LT(took, std::chrono::seconds(2));
    EXPECT_EQ(FirstFailure(), Text(kStringUpdateStopped));
    server_.ClearFault("/rel/upd3_1.zxp");
    ASSERT_TRUE(RunUpdate([](PatchEngine* engine) {
      if (WaitForQuestion(engine)) engine->AnswerPrompt(2);
    })) << FirstFailure();
    EXPECT_EQ(ClientTree(), Expected(3));
  }
}

}  // namespace
}  // namespace dizedir
