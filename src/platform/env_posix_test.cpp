#include <fcntl.h>
#include <gnu/libc-version.h>
#include <pthread.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "platform/env.h"
#include "platform/posix/path_mapping.h"
#include "support/fault_injection_env.h"
#include "support/native_file.h"

namespace dizedir {
namespace {

namespace fs = std::filesystem;

class EnvPosixTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern =
        (fs::temp_directory_path() / "dizedir-env-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
  }
  void TearDown() override {
    std::error_code ignored;
    fs::permissions(root_, fs::perms::owner_all, fs::perm_options::add,
                    ignored);
    fs::remove_all(root_, ignored);
  }
  // A path under the test directory in the Windows form the game uses.
  std::string Win(const std::string& relative) const {
    std::string path = root_.string() + "\\" + relative;
    return path;
  }

  Env* env_ = Env::Default();
  fs::path root_;
};

// Pieces written at their offsets by several threads at once make the file
// they add up to; a full disk fails the piece that meets it.
TEST_F(EnvPosixTest, PositionalFileTakesPiecesInAnyOrder) {
  struct Case {
    const char* name;
    std::vector<std::pair<uint64_t, std::string>> pieces;
    std::optional<uint64_t> space;  // what the disk takes
    std::string contents;
    bool ok;
  };
  const std::string big(200000, 'b');
  const std::vector<Case> cases = {
      {"in order", {{0, "abc"}, {3, "def"}}, std::nullopt, "abcdef", true},
      {"back to front", {{4, "ef"}, {2, "cd"}, {0, "ab"}}, std::nullopt,
       "abcdef", true},
      {"large pieces side by side", {{0, big}, {200000, big}, {400000, "e"}},
       std::nullopt, big + big + "e", true},
      {"a rewrite in place", {{0, "xxxx"}, {0, "ab"}}, std::nullopt, "abxx",
       true},
      {"the disk fills", {{0, "abc"}, {3, "def"}}, 4, "abcd", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FaultInjectionEnv env(env_);
    if (c.space) env.FailWritesAfter(*c.space);
    const std::string path = Win("pieces.bin");
    WriteNative(root_ / "pieces.bin", "older and longer text");
    std::unique_ptr<PositionalFile> file;
    ASSERT_TRUE(env.NewPositionalFile(path, &file).ok());
    std::atomic<int> failed{0};
    std::vector<std::thread> writers;
    for (const auto& [offset, data] : c.pieces) {
      // Pieces that overlap are written in turn, the rest side by side.
      if (c.space || c.name == std::string("a rewrite in place")) {
        if (!file->WriteAt(offset, data).ok()) ++failed;
        continue;
      }
      writers.emplace_back([&file, &failed, offset = offset, &data = data] {
        if (!file->WriteAt(offset, data).ok()) ++failed;
      });
    }
    for (std::thread& writer : writers) writer.join();
    EXPECT_TRUE(file->Close().ok());
    EXPECT_EQ(failed == 0, c.ok);
    EXPECT_TRUE(ReadNative(root_ / "pieces.bin") == c.contents);
  }
}

TEST_F(EnvPosixTest, MapsWindowsPathsToExistingEntriesIgnoringCase) {
  WriteNative(root_ / "Data/Sub/File.TXT", "x");
  WriteNative(root_ / "both/Name.txt", "upper");
  WriteNative(root_ / "both/name.txt", "lower");
  WriteNative(root_ / "Straße/ÄÖ.txt", "x");
  WriteNative(root_ / "Данные/файл", "x");
  struct Case {
    const char* given;
    const char* native;
  } cases[] = {
      {"data\\sub\\file.txt", "Data/Sub/File.TXT"},
      {"Data\\Sub\\File.TXT", "Data/Sub/File.TXT"},
      // Missing components keep the requested name below existing ones.
      {"DATA\\SUB\\new.bin", "Data/Sub/new.bin"},
      {"data\\NewDir\\Deep\\f", "Data/NewDir/Deep/f"},
      {"data\\sub\\", "Data/Sub/"},
      {"data\\\\sub\\file.txt", "Data//Sub/File.TXT"},
      // The exact name wins over a case-insensitive one.
      {"both\\name.txt", "both/name.txt"},
      {"both\\Name.txt", "both/Name.txt"},
      {"Both\\NAME.TXT", "both/Name.txt"},
      {"STRASSE\\x", "STRASSE/x"},
      {"straße\\äö.TXT", "Straße/ÄÖ.txt"},
      {"данные\\ФАЙЛ", "Данные/файл"},
      {"data\\.\\sub\\..\\SUB\\file.txt", "Data/./Sub/../Sub/File.TXT"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(env_->NativePath(Win(c.given)),
              root_.string() + "/" + c.native)
        << c.given;
  }
  EXPECT_EQ(env_->NativePath("no\\such\\relative"), "no/such/relative");
}

TEST_F(EnvPosixTest, FileOperationsApplyThePathMapping) {
  WriteNative(root_ / "Client/Qmz/old.txt", "old contents");
  EXPECT_TRUE(env_->FileExists(Win("client\\QMZ\\OLD.TXT")));
  EXPECT_TRUE(env_->IsDirectory(Win("CLIENT\\qmz")));
  uint64_t size = 0;
  ASSERT_TRUE(env_->GetFileSize(Win("client\\qmz\\Old.txt"), &size).ok());
  EXPECT_EQ(size, 12u);
  std::string data;
  ASSERT_TRUE(ReadFileToString(env_, Win("CLIENT\\QMZ\\old.TXT"), &data).ok());
  EXPECT_EQ(data, "old contents");

  ASSERT_TRUE(
      WriteFileAtomically(env_, Win("client\\qmz\\New.bin"), "new").ok());
  EXPECT_EQ(ReadNative(root_ / "Client/Qmz/New.bin"), "new");
  ASSERT_TRUE(env_->CreateDirectories(Win("CLIENT\\qmz\\Fodder\\x")).ok());
  EXPECT_TRUE(fs::is_directory(root_ / "Client/Qmz/Fodder/x"));
  ASSERT_TRUE(env_->RenameFile(Win("client\\qmz\\new.bin"),
                               Win("client\\qmz\\OLD.txt"))
                  .ok());
  EXPECT_EQ(ReadNative(root_ / "Client/Qmz/old.txt"), "new");
  EXPECT_FALSE(fs::exists(root_ / "Client/Qmz/OLD.txt"));

  std::vector<std::string> names;
  ASSERT_TRUE(env_->GetChildren(Win("client\\QMZ"), &names).ok());
  EXPECT_EQ(std::set<std::string>(names.begin(), names.end()),
            (std::set<std::string>{"Fodder", "old.txt"}));
  ASSERT_TRUE(env_->DeleteDirectory(Win("client\\qmz\\fodder\\X")).ok());
  ASSERT_TRUE(env_->DeleteFile(Win("CLIENT\\QMZ\\OLD.TXT")).ok());
  EXPECT_FALSE(fs::exists(root_ / "Client/Qmz/old.txt"));
  EXPECT_TRUE(env_->DeleteFile(Win("client\\qmz\\old.txt")).IsNotFound());
  EXPECT_FALSE(env_->FileExists(Win("client\\qmz\\old.txt")));
}

// Creates an empty file with plain POSIX calls, as another program would.
void CreateOutside(const fs::path& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
  ASSERT_GE(fd, 0) << path;
  ::close(fd);
}

// Longer than a tick of the clock that stamps directory changes, so a
// listing made after it is one the lookup trusts and keeps using.
void LetTheClockTick() { ::usleep(30000); }

// Each case lists its directory "Dir" once (a lookup of a missing name),
// changes it through the Env or behind its back, then looks names up in
// other case: a kept listing that missed the change answers wrongly.
TEST_F(EnvPosixTest, CaseInsensitiveLookupSeesChangesAfterTheListing) {
  struct Lookup {
    const char* given;   // below the case's directory, Windows form
    const char* native;  // what it must map to
  };
  struct Case {
    const char* name;
    std::vector<const char*> files;  // made before the listing
    std::function<void(Env*, const std::string& win, const fs::path& dir)>
        change;
    std::vector<Lookup> lookups;
  };
  const std::vector<Case> cases = {
      {"created by the Env",
       {"Dir/Old.txt"},
       [](Env* env, const std::string& win, const fs::path&) {
         ASSERT_TRUE(WriteFileAtomically(env, win + "\\dir\\New.bin", "x").ok());
       },
       {{"DIR\\NEW.BIN", "Dir/New.bin"}, {"dir\\old.TXT", "Dir/Old.txt"}}},
      {"deleted by the Env",
       {"Dir/Old.txt"},
       [](Env* env, const std::string& win, const fs::path&) {
         ASSERT_TRUE(env->DeleteFile(win + "\\DIR\\old.txt").ok());
       },
       {{"dir\\OLD.TXT", "Dir/OLD.TXT"}}},
      {"renamed by the Env",
       {"Dir/a.txt"},
       [](Env* env, const std::string& win, const fs::path&) {
         ASSERT_TRUE(env->RenameFile(win + "\\dir\\A.TXT", win + "\\DIR\\B.txt").ok());
       },
       {{"dir\\A.txt", "Dir/A.txt"}, {"dir\\b.TXT", "Dir/B.txt"}}},
      {"directories made and removed by the Env",
       {"Dir/Gone/x"},
       [](Env* env, const std::string& win, const fs::path&) {
         ASSERT_TRUE(env->CreateDirectories(win + "\\dir\\Made\\Deep").ok());
         ASSERT_TRUE(env->DeleteFile(win + "\\dir\\gone\\X").ok());
         ASSERT_TRUE(env->DeleteDirectory(win + "\\dir\\GONE").ok());
       },
       {{"DIR\\MADE\\deep", "Dir/Made/Deep"}, {"dir\\gone\\x", "Dir/gone/x"}}},
      {"created behind the Env's back",
       {"Dir/Old.txt"},
       [](Env*, const std::string&, const fs::path& dir) {
         CreateOutside(dir / "Outside.TXT");
       },
       {{"dir\\outside.txt", "Dir/Outside.TXT"}}},
      {"created behind its back after an own change",
       {"Dir/Old.txt"},
       [](Env* env, const std::string& win, const fs::path& dir) {
         LetTheClockTick();
         CreateOutside(dir / "Outside.TXT");
         // By its exact name, so the lookup lists nothing before the
         // change is applied to the kept listing.
         ASSERT_TRUE(env->DeleteFile(win + "\\Dir\\Old.txt").ok());
       },
       {{"dir\\outside.txt", "Dir/Outside.TXT"}, {"dir\\OLD.txt", "Dir/OLD.txt"}}},
      {"deleted behind its back",
       {"Dir/Old.txt"},
       [](Env*, const std::string&, const fs::path& dir) {
         fs::remove(dir / "Old.txt");
       },
       {{"dir\\old.txt", "Dir/old.txt"}}},
      {"directory replaced by another of the same name",
       {"Dir/Old.txt"},
       [](Env*, const std::string&, const fs::path& dir) {
         fs::rename(dir, dir.parent_path() / "Aside");
         fs::create_directory(dir);
         CreateOutside(dir / "Other.Txt");
       },
       {{"dir\\OTHER.TXT", "Dir/Other.Txt"}, {"dir\\old.txt", "Dir/old.txt"}}},
      {"names differing only in case: the smallest wins",
       {"Dir/Name.txt", "Dir/name.txt"},
       [](Env*, const std::string&, const fs::path&) {},
       {{"dir\\NAME.TXT", "Dir/Name.txt"}, {"dir\\name.txt", "Dir/name.txt"}}},
      {"the smallest of several deleted by the Env",
       {"Dir/Name.txt", "Dir/name.txt"},
       [](Env* env, const std::string& win, const fs::path&) {
         ASSERT_TRUE(env->DeleteFile(win + "\\dir\\Name.txt").ok());
       },
       {{"dir\\NAME.TXT", "Dir/name.txt"}}},
      {"a case variant deleted, another created by the Env",
       {"Dir/name.txt"},
       [](Env* env, const std::string& win, const fs::path&) {
         ASSERT_TRUE(env->DeleteFile(win + "\\dir\\NAME.TXT").ok());
         std::unique_ptr<WritableFile> file;
         ASSERT_TRUE(env->NewWritableFile(win + "\\dir\\Name.txt", &file).ok());
       },
       {{"dir\\NAME.txt", "Dir/Name.txt"}}},
      {"through a symbolic link to the directory",
       {"Real/Sub/File.txt"},
       [](Env* env, const std::string& win, const fs::path& dir) {
         fs::create_directory_symlink(dir.parent_path() / "Real", dir / "Link");
         ASSERT_TRUE(env->NativePath(win + "\\real\\SUB\\none") ==
                     (dir.parent_path() / "Real/Sub/none").string());
         // Written through the link: the listing kept under the real
         // name must not stay as it was.
         ASSERT_TRUE(WriteFileAtomically(env, win + "\\DIR\\link\\sub\\New", "").ok());
       },
       {{"dir\\LINK\\sub\\file.TXT", "Dir/Link/Sub/File.txt"},
        {"real\\sub\\NEW", "Real/Sub/New"}}},
  };
  // Once with listings the lookup keeps using, once with listings made in
  // the tick of the last change.
  for (const bool settled : {true, false}) {
    for (size_t i = 0; i < cases.size(); ++i) {
      const fs::path base = root_ / (std::to_string(settled) + "-" + std::to_string(i));
      fs::create_directories(base / "Dir");
      for (const char* file : cases[i].files) WriteNative(base / file, "");
    }
    if (settled) LetTheClockTick();
    for (size_t i = 0; i < cases.size(); ++i) {
      const Case& c = cases[i];
      SCOPED_TRACE(std::string(c.name) + (settled ? "" : ", unsettled"));
      const fs::path base = root_ / (std::to_string(settled) + "-" + std::to_string(i));
      const std::string win = base.string();
      ASSERT_EQ(env_->NativePath(win + "\\DIR\\none"), (base / "Dir/none").string());
      c.change(env_, win, base / "Dir");
      for (const Lookup& lookup : c.lookups) {
        EXPECT_EQ(env_->NativePath(win + "\\" + lookup.given),
                  (base / lookup.native).string())
            << lookup.given;
      }
    }
  }
}

// The Env follows links the player made, except where it asks about the
// link itself.
TEST_F(EnvPosixTest, QueriesFollowSymbolicLinks) {
  WriteNative(root_ / "Data/File.txt", "12345");
  fs::create_directory_symlink(root_ / "Data", root_ / "DirLink");
  fs::create_symlink(root_ / "Data/File.txt", root_ / "FileLink");
  fs::create_symlink(root_ / "nowhere", root_ / "Dangling");
  struct Case {
    const char* given;
    bool exists, directory, link;
  } cases[] = {
      {"dirlink", true, true, true},
      {"DIRLINK\\file.TXT", true, false, false},
      {"filelink", true, false, true},
      {"dangling", false, false, true},
      {"data", true, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.given);
    EXPECT_EQ(env_->FileExists(Win(c.given)), c.exists);
    EXPECT_EQ(env_->IsDirectory(Win(c.given)), c.directory);
    EXPECT_EQ(env_->IsSymbolicLink(Win(c.given)), c.link);
  }
  uint64_t size = 0;
  ASSERT_TRUE(env_->GetFileSize(Win("FILELINK"), &size).ok());
  EXPECT_EQ(size, 5u);
  EXPECT_TRUE(env_->CreateDirectories(Win("dirlink\\New")).ok());
  EXPECT_TRUE(fs::is_directory(root_ / "Data/New"));
}

// Many threads looking names up and changing one directory through the Env
// at once (run under TSan too): each must see its own changes.
TEST_F(EnvPosixTest, CaseInsensitiveLookupFromManyThreads) {
  const fs::path shared = root_ / "Shared";
  for (int i = 0; i < 50; ++i) WriteNative(shared / ("Base" + std::to_string(i)), "");
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (char t = '0'; t < '4'; ++t) {
    threads.emplace_back([this, t, &shared, &wrong] {
      const std::string dir = Win("SHARED\\");
      for (int i = 0; i < 100; ++i) {
        const std::string number = std::to_string(i);
        std::string name = "T-" + number;
        name[1] = t;
        std::string lower = name;
        lower[0] = 't';
        bool ok = env_->NativePath(dir + "base" + std::to_string(i % 50)) ==
                  (shared / ("Base" + std::to_string(i % 50))).string();
        ok = ok && WriteFileAtomically(env_, dir + name, "").ok() &&
             env_->NativePath(dir + lower) == (shared / name).string();
        if (i % 2 == 0) {
          ok = ok && env_->DeleteFile(dir + lower).ok() &&
               env_->NativePath(dir + lower) == (shared / lower).string();
        }
        if (!ok) ++wrong;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong, 0);
}

// The kept listings themselves: one listing serves every later miss, the
// mapper's own changes cost none, a change from outside costs one, and the
// limits hold.
TEST_F(EnvPosixTest, PathMapperListsADirectoryOncePerOutsideChange) {
  const fs::path dir = root_ / "Dir";
  for (int i = 0; i < 20; ++i) WriteNative(dir / ("File" + std::to_string(i)), "");
  LetTheClockTick();
  PathMapper mapper;
  const std::string prefix = dir.string() + "/";
  for (int i = 0; i < 200; ++i) {
    const std::string missing = prefix + "missing" + std::to_string(i);
    ASSERT_EQ(mapper.Map(missing), missing);
  }
  EXPECT_EQ(mapper.Map(prefix + "FILE7"), prefix + "File7");
  EXPECT_EQ(mapper.listings_made(), 1u);

  {
    PathMapper::Change change(&mapper, prefix + "New");
    CreateOutside(dir / "New");
  }
  EXPECT_EQ(mapper.Map(prefix + "NEW"), prefix + "New");
  {
    PathMapper::Change change(&mapper, prefix + "File3");
    fs::remove(dir / "File3");
  }
  EXPECT_EQ(mapper.Map(prefix + "file3"), prefix + "file3");
  EXPECT_EQ(mapper.listings_made(), 1u);

  CreateOutside(dir / "Outside");
  EXPECT_EQ(mapper.Map(prefix + "OUTSIDE"), prefix + "Outside");
  EXPECT_EQ(mapper.listings_made(), 2u);

  // Three directories kept two at a time, and one too large to keep: every
  // answer is still right, each only at the price of a listing.
  for (const char* sub : {"A", "B", "C"}) WriteNative(root_ / sub / "Name", "");
  LetTheClockTick();
  PathMapper small(2, 500);  // bytes: room for a few short names
  for (int round = 0; round < 3; ++round) {
    for (const char* sub : {"A", "B", "C"}) {
      EXPECT_EQ(small.Map(root_.string() + "/" + sub + "/NAME"),
                root_.string() + "/" + sub + "/Name");
    }
    EXPECT_EQ(small.Map(prefix + "file19"), prefix + "File19");
  }
  EXPECT_EQ(small.listings_made(), 12u);
}

TEST_F(EnvPosixTest, WritableFilesKeepEveryAppendInOrder) {
  // Sizes around the internal buffer exercise the buffered path, the
  // direct path and the switch between them.
  const std::vector<std::vector<size_t>> sequences = {
      {},
      {1, 2, 3},
      {65535, 1, 1},
      {65536},
      {10, 200000, 10},
      {40000, 40000, 40000},
  };
  for (const bool appendable : {false, true}) {
    for (const auto& sizes : sequences) {
      const std::string path = Win("out.bin");
      std::string expected = appendable ? "prefix" : "";
      WriteNative(root_ / "out.bin", appendable ? "prefix" : "stale");
      std::unique_ptr<WritableFile> file;
      ASSERT_TRUE((appendable ? env_->NewAppendableFile(path, &file)
                              : env_->NewWritableFile(path, &file))
                      .ok());
      char fill = 'a';
      for (const size_t n : sizes) {
        const std::string piece(n, fill);
        fill = fill == 'z' ? 'a' : static_cast<char>(fill + 1);
        ASSERT_TRUE(file->Append(piece).ok());
        expected += piece;
      }
      ASSERT_TRUE(file->Sync().ok());
      ASSERT_TRUE(file->Close().ok());
      EXPECT_TRUE(ReadNative(root_ / "out.bin") == expected)
          << "appendable " << appendable << ", " << sizes.size() << " pieces";
    }
  }
  // Destruction without Close still hands the buffer to the OS.
  {
    std::unique_ptr<WritableFile> file;
    ASSERT_TRUE(env_->NewWritableFile(Win("unclosed"), &file).ok());
    ASSERT_TRUE(file->Append("kept").ok());
  }
  EXPECT_EQ(ReadNative(root_ / "unclosed"), "kept");
}

TEST_F(EnvPosixTest, ReadableFilesReadAtOffsetsAndStopAtTheEnd) {
  WriteNative(root_ / "in.bin", "0123456789");
  std::unique_ptr<ReadableFile> file;
  ASSERT_TRUE(env_->NewReadableFile(Win("IN.BIN"), &file).ok());
  uint64_t size = 0;
  ASSERT_TRUE(file->Size(&size).ok());
  EXPECT_EQ(size, 10u);
  struct Case {
    uint64_t offset;
    size_t n;
    std::string expected;
  } cases[] = {{0, 10, "0123456789"}, {3, 4, "3456"}, {8, 5, "89"},
               {10, 3, ""},           {100, 1, ""},   {0, 0, ""}};
  for (const Case& c : cases) {
    std::string scratch(c.n, '\0');
    size_t got = 99;
    ASSERT_TRUE(file->Read(c.offset, c.n, scratch.data(), &got).ok());
    EXPECT_EQ(scratch.substr(0, got), c.expected) << c.offset;
  }
  EXPECT_TRUE(env_->NewReadableFile(Win("missing"), &file).IsNotFound());
  EXPECT_EQ(file, nullptr);
}

TEST_F(EnvPosixTest, AtomicWriteLeavesTheOldOrTheNewFile) {
  struct Case {
    const char* name;
    int renames_to_fail;
    uint64_t space;  // UINT64_MAX: unlimited
    bool ok;
    Status::Code code;
    const char* contents;
  } cases[] = {
      {"success", 0, UINT64_MAX, true, Status::Code::kOk, "new contents"},
      {"rename fails", 1, UINT64_MAX, false, Status::Code::kIOError,
       "old contents"},
      {"disk full", 0, 5, false, Status::Code::kNoSpace, "old contents"},
      {"disk full at once", 0, 0, false, Status::Code::kNoSpace,
       "old contents"},
  };
  for (const Case& c : cases) {
    WriteNative(root_ / "curver.bin", "old contents");
    FaultInjectionEnv faulty(env_);
    faulty.FailNextRenames(c.renames_to_fail);
    if (c.space != UINT64_MAX) faulty.FailWritesAfter(c.space);
    const Status s =
        WriteFileAtomically(&faulty, Win("CURVER.BIN"), "new contents");
    EXPECT_EQ(s.ok(), c.ok) << c.name << ": " << s.ToString();
    EXPECT_EQ(s.code(), c.code) << c.name;
    EXPECT_EQ(ReadNative(root_ / "curver.bin"), c.contents) << c.name;
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(root_)) {
      names.push_back(entry.path().filename().string());
    }
    EXPECT_EQ(names, std::vector<std::string>{"curver.bin"}) << c.name;
  }
}

TEST_F(EnvPosixTest, FaultEnvReportsItsFreeSpaceAndRefusesThreads) {
  FaultInjectionEnv faulty(env_);
  uint64_t bytes = 0;
  ASSERT_TRUE(faulty.GetFreeDiskSpace(root_.string(), &bytes).ok());
  EXPECT_GT(bytes, 0u);
  faulty.ReportFreeDiskSpace(1234);
  ASSERT_TRUE(faulty.GetFreeDiskSpace(root_.string(), &bytes).ok());
  EXPECT_EQ(bytes, 1234u);

  faulty.FailThreadCreation(true);
  std::unique_ptr<Thread> thread;
  EXPECT_FALSE(faulty.NewThread([] { return 1u; }, &thread).ok());
  EXPECT_EQ(thread, nullptr);
  faulty.FailThreadCreation(false);
  ASSERT_TRUE(faulty.NewThread([] { return 5u; }, &thread).ok());
  thread->Resume();
  EXPECT_EQ(thread->Join(), 5u);
}

TEST_F(EnvPosixTest, LockFileIsExclusiveUntilReleased) {
  const std::string path = Win("update.lock");
  std::unique_ptr<FileLock> first, second;
  ASSERT_TRUE(env_->LockFile(path, &first).ok());
  EXPECT_TRUE(fs::exists(root_ / "update.lock"));
  // Another object of the same process, through a differently cased name.
  EXPECT_TRUE(env_->LockFile(Win("UPDATE.LOCK"), &second).IsBusy());
  EXPECT_EQ(second, nullptr);
  first.reset();
  EXPECT_TRUE(env_->LockFile(path, &second).ok());
}

TEST_F(EnvPosixTest, DirectoriesLinksAndFileAttributes) {
  ASSERT_TRUE(env_->CreateDirectories(Win("a\\b\\c")).ok());
  EXPECT_TRUE(env_->CreateDirectories(Win("a\\b\\c")).ok());
  EXPECT_TRUE(env_->CreateDirectories(Win("a\\b\\c\\")).ok());
  WriteNative(root_ / "a/file", "x");
  EXPECT_FALSE(env_->CreateDirectories(Win("a\\file\\d")).ok());
  EXPECT_FALSE(env_->CreateDirectories(Win("a\\file")).ok());
  EXPECT_FALSE(env_->DeleteDirectory(Win("a")).ok());  // not empty

  fs::create_symlink(root_ / "a/file", root_ / "link");
  fs::create_symlink(root_ / "nowhere", root_ / "dangling");
  EXPECT_TRUE(env_->IsSymbolicLink(Win("link")));
  EXPECT_TRUE(env_->IsSymbolicLink(Win("LINK")));
  EXPECT_TRUE(env_->IsSymbolicLink(Win("dangling")));
  EXPECT_FALSE(env_->IsSymbolicLink(Win("a\\file")));
  EXPECT_FALSE(env_->IsSymbolicLink(Win("a")));
  EXPECT_FALSE(env_->IsDirectory(Win("a\\file")));
  EXPECT_TRUE(env_->IsDirectory(Win("A\\B")));

  const std::string file = Win("a\\file");
  ASSERT_TRUE(env_->SetReadOnly(file, true).ok());
  EXPECT_EQ(fs::status(root_ / "a/file").permissions() &
                (fs::perms::owner_write | fs::perms::group_write |
                 fs::perms::others_write),
            fs::perms::none);
  ASSERT_TRUE(env_->SetReadOnly(file, false).ok());
  EXPECT_NE(fs::status(root_ / "a/file").permissions() & fs::perms::owner_write,
            fs::perms::none);

  FileTimes times;
  times.modified = 1000000000;
  times.accessed = 1200000000;
  ASSERT_TRUE(env_->SetFileTimes(Win("A\\FILE"), times).ok());
  struct stat st;
  ASSERT_EQ(::stat((root_ / "a/file").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtime, 1000000000);
  EXPECT_EQ(st.st_atime, 1200000000);

  uint64_t free_bytes = 0;
  EXPECT_TRUE(env_->GetFreeDiskSpace(Win("a"), &free_bytes).ok());
  EXPECT_GT(free_bytes, 0u);
  EXPECT_TRUE(env_->GetFreeDiskSpace(Win("missing"), &free_bytes).IsNotFound());
  EXPECT_TRUE(env_->SyncDirectory(Win("A")).ok());
}

TEST(EnvPosixThreadTest, ThreadsRunOnlyAfterResume) {
  Env* env = Env::Default();
  std::atomic<int> runs{0};
  std::atomic<size_t> stack_size{0};
  std::unique_ptr<Thread> thread;
  ASSERT_TRUE(env->NewThread(
                     [&] {
                       pthread_attr_t attr;
                       size_t size = 0;
                       if (pthread_getattr_np(pthread_self(), &attr) == 0) {
                         pthread_attr_getstacksize(&attr, &size);
                         pthread_attr_destroy(&attr);
                       }
                       stack_size = size;
                       ++runs;
                       return 42u;
                     },
                     &thread)
                  .ok());
  env->SleepMillis(30);
  EXPECT_EQ(runs, 0);
  thread->Resume();
  EXPECT_EQ(thread->Join(), 42u);
  EXPECT_EQ(thread->Join(), 42u);
  EXPECT_EQ(runs, 1);
  EXPECT_EQ(stack_size, Env::kThreadStackSize);

  // Never resumed: destroyed without running.
  for (int i = 0; i < 20; ++i) {
    std::unique_ptr<Thread> discarded;
    ASSERT_TRUE(env->NewThread([&] { return ++runs, 1u; }, &discarded).ok());
  }
  EXPECT_EQ(runs, 1);
}

TEST(EnvPosixClockTest, TicksLocalTimeAndGuids) {
  Env* env = Env::Default();
  const uint32_t before = env->TickMillis();
  env->SleepMillis(20);
  EXPECT_GE(static_cast<uint32_t>(env->TickMillis() - before), 20u);

  const LocalTime now = env->GetLocalTime();
  EXPECT_NEAR(static_cast<double>(env->LocalTimeToUnix(now)),
              static_cast<double>(::time(nullptr)), 2.0);
  EXPECT_GE(now.millisecond, 0);
  EXPECT_LT(now.millisecond, 1000);

  std::set<std::array<uint8_t, 16>> seen;
  for (int i = 0; i < 32; ++i) {
    std::array<uint8_t, 16> guid{};
    ASSERT_TRUE(env->NewGuid(&guid).ok());
    EXPECT_EQ(guid[7] >> 4, 4) << "version";
    EXPECT_EQ(guid[8] & 0xC0, 0x80) << "variant";
    seen.insert(guid);
  }
  EXPECT_EQ(seen.size(), 32u);
}

TEST(EnvPosixClockTest, LocalTimeToUnixUsesTheLocalZone) {
  Env* env = Env::Default();
  const char* saved = ::getenv("TZ");
  const std::string old_tz = saved ? saved : "";
  struct Case {
    const char* tz;
    LocalTime local;
    int64_t expected;
  } cases[] = {
      {"UTC0", {2000, 1, 6, 1, 0, 0, 0, 0}, 946684800},
      {"UTC0", {2024, 2, 4, 29, 12, 30, 15, 0}, 1709209815},
      // Central Europe: winter one hour east, summer two.
      {"CET-1CEST,M3.5.0,M10.5.0/3", {2024, 1, 1, 15, 12, 0, 0, 0},
       1705316400},
      {"CET-1CEST,M3.5.0,M10.5.0/3", {2024, 7, 1, 15, 12, 0, 0, 0},
       1721037600},
  };
  for (const Case& c : cases) {
    ::setenv("TZ", c.tz, 1);
    ::tzset();
    EXPECT_EQ(env->LocalTimeToUnix(c.local), c.expected) << c.tz;
  }
  if (saved) {
    ::setenv("TZ", old_tz.c_str(), 1);
  } else {
    ::unsetenv("TZ");
  }
  ::tzset();
}

TEST(EnvPosixModuleTest, ModuleDirectoryFindsTheObjectHoldingTheAddress) {
  Env* env = Env::Default();
  struct Case {
    const char* name;
    const void* address;
    const char* file_in_directory;
  } cases[] = {
      {"test binary", reinterpret_cast<const void*>(&ReadNative),
       "dizedir_platform_test"},
      {"libc", reinterpret_cast<const void*>(&::gnu_get_libc_version),
       "libc.so.6"},
      {"no module", nullptr, "dizedir_platform_test"},
  };
  for (const Case& c : cases) {
    const std::string dir = env->ModuleDirectory(c.address);
    ASSERT_FALSE(dir.empty()) << c.name;
    EXPECT_EQ(dir.front(), '/') << c.name;
    EXPECT_EQ(dir.back(), '/') << c.name;
    EXPECT_TRUE(fs::exists(dir + c.file_in_directory)) << c.name << ": " << dir;
  }
}

TEST(EnvAsideNameTest, OnlyAsideNamesGiveTheirOriginal) {
  struct Case {
    std::string name;
    bool aside;
    std::string original;
  };
  const Case cases[] = {
      {AsideName("items.pac", 0), true, "items.pac"},
      {AsideName("Http.dll", 42), true, "Http.dll"},
      {"a.b.old7.dztmp", true, "a.b"},
      {"items.pac.dztmp", false, ""},
      {"items.pac.old.dztmp", false, ""},
      {"items.pac.oldx1.dztmp", false, ""},
      {".old1.dztmp", false, ""},
      {"items.pac.old1", false, ""},
      {"old1.dztmp", false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string original = "untouched";
    EXPECT_EQ(OriginalOfAsideName(c.name, &original), c.aside);
    EXPECT_EQ(original, c.aside ? c.original : "untouched");
  }
}

}  // namespace
}  // namespace dizedir
