// The Win32 Env and the other Windows backends, on a real (Wine) file
// system: what the POSIX backend's tests check there, plus what only
// Windows does (open files that cannot be replaced, read-only attributes,
// exclusive opens as locks).

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/env.h"
#include "platform/ini_file.h"
#include "platform/shared_library.h"
#include "platform/text.h"
#include "support/client_files.h"
#include "support/file_bytes.h"
#include "support/scratch_dir.h"

namespace dizedir {
namespace {

namespace fs = std::filesystem;

void Write(const fs::path& path, const std::string& data) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << data;
}

std::vector<std::string> Listing(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

class Win32EnvTest : public ::testing::Test {
 protected:
  // Windows form, as the engine builds paths: the directory and a backslash.
  std::string In(const std::string& name) const { return scratch_.path().string() + "\\" + name; }

  Env* env_ = Env::Default();
  ScratchDir scratch_{"win32env"};
};

TEST_F(Win32EnvTest, FilesReadWriteAndAppendAtAnyForm) {
  struct Case {
    const char* name;
    std::string write_as, read_as;  // relative names
  } cases[] = {
      {"backslashes", "a\\b\\one.txt", "a\\b\\one.txt"},
      {"slashes", "a/b/two.txt", "a\\b\\two.txt"},
      {"mixed", "a\\b/three.txt", "a/b\\three.txt"},
      {"other case", "Dir\\Four.TXT", "dir\\four.txt"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string written = In(c.write_as);
    const std::string dir = written.substr(0, written.find_last_of("\\/"));
    ASSERT_TRUE(env_->CreateDirectories(dir).ok());
    std::unique_ptr<WritableFile> file;
    ASSERT_TRUE(env_->NewWritableFile(written, &file).ok());
    // Larger than the write buffer, so both paths of Append are taken.
    const std::string big(200 * 1024, 'x');
    ASSERT_TRUE(file->Append("head").ok());
    ASSERT_TRUE(file->Append(big).ok());
    ASSERT_TRUE(file->Sync().ok());
    ASSERT_TRUE(file->Close().ok());
    ASSERT_TRUE(env_->NewAppendableFile(In(c.read_as), &file).ok());
    ASSERT_TRUE(file->Append("tail").ok());
    ASSERT_TRUE(file->Close().ok());

    std::string data;
    ASSERT_TRUE(ReadFileToString(env_, In(c.read_as), &data).ok());
    EXPECT_EQ(data, "head" + big + "tail");
    uint64_t size = 0;
    ASSERT_TRUE(env_->GetFileSize(In(c.read_as), &size).ok());
    EXPECT_EQ(size, data.size());

    std::unique_ptr<ReadableFile> reader;
    ASSERT_TRUE(env_->NewReadableFile(In(c.read_as), &reader).ok());
    char scratch[8];
    size_t got = 0;
    ASSERT_TRUE(reader->Read(size - 6, sizeof scratch, scratch, &got).ok());
    EXPECT_EQ(std::string(scratch, got), "xxtail");  // short only at the end
    ASSERT_TRUE(reader->Read(size + 10, sizeof scratch, scratch, &got).ok());
    EXPECT_EQ(got, 0u);
  }
  std::unique_ptr<ReadableFile> missing;
  EXPECT_TRUE(env_->NewReadableFile(In("nope\\x"), &missing).IsNotFound());
  EXPECT_FALSE(env_->FileExists(In("nope")));
  EXPECT_TRUE(env_->IsDirectory(In("a\\b")));
  EXPECT_FALSE(env_->IsDirectory(In("a\\b\\one.txt")));
}

TEST_F(Win32EnvTest, RenameReplacesWhateverHoldsTheTarget) {
  struct Case {
    const char* name;
    bool read_only_target;
    bool target_open;  // a reader still has it, as a pack being merged does
  } cases[] = {
      {"plain", false, false},
      {"read-only target", true, false},
      {"open target", false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path dir = scratch_.path() / c.name;
    Write(dir / "new.dztmp", "new");
    Write(dir / "target.pac", "old");
    const std::string target = (dir / "target.pac").string();
    if (c.read_only_target) {
      ASSERT_TRUE(env_->SetReadOnly(target, true).ok());
    }
    std::unique_ptr<ReadableFile> reader;
    if (c.target_open) {
      ASSERT_TRUE(env_->NewReadableFile(target, &reader).ok());
    }

    ASSERT_TRUE(env_->RenameFile((dir / "new.dztmp").string(), target).ok());
    if (reader) {
      // The reader keeps reading what it opened.
      char buffer[3];
      size_t got = 0;
      ASSERT_TRUE(reader->Read(0, 3, buffer, &got).ok());
      EXPECT_EQ(std::string(buffer, got), "old");
      reader.reset();
    }
    EXPECT_EQ(ReadBytes(dir / "target.pac"), "new");
    // Nothing is left beside it once every handle is closed.
    EXPECT_EQ(Listing(dir), std::vector<std::string>{"target.pac"});
  }
  EXPECT_TRUE(env_->RenameFile(In("missing"), In("other")).IsNotFound());
}

TEST_F(Win32EnvTest, ALoadedModuleIsReplacedAndItsOldFileLeftForTheSweep) {
  const fs::path module = scratch_.path() / "VkMain.dll";
  fs::copy_file(fs::path(DIZEDIR_MODULE_DIR) / "VkMain.dll", module);
  std::unique_ptr<SharedLibrary> loaded;
  ASSERT_TRUE(LoadSharedLibrary(module.string(), &loaded).ok());
  Write(scratch_.path() / ("VkMain.dll" + std::string(kTempSuffix)), "new module");

  ASSERT_TRUE(env_->RenameFile(In("VkMain.dll" + std::string(kTempSuffix)), In("VkMain.dll")).ok());
  EXPECT_EQ(ReadBytes(module), "new module");
  // The mapped file went aside under a name the stale-temporary sweep of
  // a later run removes.
  std::vector<std::string> aside;
  for (const std::string& name : Listing(scratch_.path())) {
    if (name != "VkMain.dll") aside.push_back(name);
  }
  ASSERT_EQ(aside.size(), 1u);
  EXPECT_TRUE(aside[0].starts_with("VkMain.dll.") && aside[0].ends_with(kTempSuffix)) << aside[0];
}

TEST_F(Win32EnvTest, ReadOnlyFilesCanStillBeDeleted) {
  Write(scratch_.path() / "ro.txt", "x");
  const std::string path = In("ro.txt");
  ASSERT_TRUE(env_->SetReadOnly(path, true).ok());
  ASSERT_TRUE(env_->SetReadOnly(path, false).ok());
  std::unique_ptr<WritableFile> file;
  ASSERT_TRUE(env_->NewWritableFile(path, &file).ok());
  file.reset();
  ASSERT_TRUE(env_->SetReadOnly(path, true).ok());
  EXPECT_TRUE(env_->DeleteFile(path).ok());
  EXPECT_FALSE(env_->FileExists(path));
  EXPECT_TRUE(env_->DeleteFile(path).IsNotFound());
}

TEST_F(Win32EnvTest, DirectoriesAndChildren) {
  struct Case {
    std::string path;
    bool ok;
  } cases[] = {
      {In("x\\y\\z"), true},
      {In("x\\y\\z\\"), true},  // again, with a trailing separator
      {In("x/w"), true},
      {In("file.txt\\sub"), false},  // a file stands in the way
  };
  Write(scratch_.path() / "file.txt", "f");
  for (const Case& c : cases) {
    EXPECT_EQ(env_->CreateDirectories(c.path).ok(), c.ok) << c.path;
  }
  std::vector<std::string> names;
  ASSERT_TRUE(env_->GetChildren(In("x"), &names).ok());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"w", "y"}));
  ASSERT_TRUE(env_->GetChildren(In("x\\w"), &names).ok());
  EXPECT_TRUE(names.empty());
  EXPECT_TRUE(env_->GetChildren(In("none"), &names).IsNotFound());
  EXPECT_TRUE(env_->DeleteDirectory(In("x\\w")).ok());
  EXPECT_FALSE(env_->DeleteDirectory(In("x")).ok());  // not empty
  EXPECT_FALSE(env_->IsSymbolicLink(In("x")));
}

TEST_F(Win32EnvTest, LockIsExclusiveUntilReleased) {
  const std::string path = In("dizedir.lock");
  std::unique_ptr<FileLock> first, second;
  ASSERT_TRUE(env_->LockFile(path, &first).ok());
  EXPECT_TRUE(env_->LockFile(path, &second).IsBusy());
  EXPECT_EQ(second, nullptr);
  first.reset();
  EXPECT_TRUE(env_->LockFile(path, &second).ok());
}

TEST_F(Win32EnvTest, ThreadsRunOnlyOnceResumed) {
  std::atomic<int> runs{0};
  std::unique_ptr<Thread> thread;
  ASSERT_TRUE(env_->NewThread(
                      [&] {
                        ++runs;
                        return 7u;
                      },
                      &thread)
                  .ok());
  env_->SleepMillis(50);
  EXPECT_EQ(runs.load(), 0);
  thread->Resume();
  EXPECT_EQ(thread->Join(), 7u);
  EXPECT_EQ(thread->Join(), 7u);
  EXPECT_EQ(runs.load(), 1);

  // Never resumed: the body never runs, whether joined or just dropped.
  ASSERT_TRUE(env_->NewThread([&] { return static_cast<uint32_t>(++runs); }, &thread).ok());
  EXPECT_EQ(thread->Join(), UINT32_MAX);
  ASSERT_TRUE(env_->NewThread([&] { return static_cast<uint32_t>(++runs); }, &thread).ok());
  thread.reset();
  EXPECT_EQ(runs.load(), 1);

  // The stack is the promised size: a frame of most of it fits.
  ASSERT_TRUE(env_->NewThread(
                      [] {
                        volatile char frame[900 * 1024];
                        frame[0] = 1;
                        frame[sizeof frame - 1] = 2;
                        return static_cast<uint32_t>(frame[0] + frame[sizeof frame - 1]);
                      },
                      &thread)
                  .ok());
  thread->Resume();
  EXPECT_EQ(thread->Join(), 3u);
}

TEST_F(Win32EnvTest, ClockTimesAndIdentity) {
  const uint32_t start = env_->TickMillis();
  env_->SleepMillis(30);
  EXPECT_GE(env_->TickMillis() - start, 25u);

  const LocalTime now = env_->GetLocalTime();
  const int64_t unix_now = std::chrono::duration_cast<std::chrono::seconds>(
                               std::chrono::system_clock::now().time_since_epoch())
                               .count();
  EXPECT_NEAR(static_cast<double>(env_->LocalTimeToUnix(now)), static_cast<double>(unix_now), 2);

  Write(scratch_.path() / "timed.txt", "t");
  FileTimes times;
  times.modified = 1262304000;  // 2010-01-01 00:00:00 UTC
  times.accessed = 1262390400;
  ASSERT_TRUE(env_->SetFileTimes(In("timed.txt"), times).ok());
  const auto written = fs::last_write_time(scratch_.path() / "timed.txt");
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
      fs::file_time_type::clock::to_sys(written).time_since_epoch());
  EXPECT_EQ(seconds.count(), times.modified);

  std::array<uint8_t, 16> a{}, b{};
  ASSERT_TRUE(env_->NewGuid(&a).ok());
  ASSERT_TRUE(env_->NewGuid(&b).ok());
  EXPECT_NE(a, b);
  EXPECT_EQ(a[7] >> 4, 4);  // a random GUID: version 4 in the third field
  EXPECT_EQ(a[8] & 0xC0, 0x80);

  uint64_t free_bytes = 0;
  ASSERT_TRUE(env_->GetFreeDiskSpace(In(""), &free_bytes).ok());
  EXPECT_GT(free_bytes, 0u);

  // This program's own directory, with the separator the engine appends
  // names to.
  const std::string dir = env_->ModuleDirectory(reinterpret_cast<const void*>(&Write));
  ASSERT_FALSE(dir.empty());
  EXPECT_EQ(dir.back(), '\\');
  EXPECT_TRUE(fs::exists(fs::path(dir) / "win32_env_test.exe")) << dir;
}

TEST_F(Win32EnvTest, IniFilesAnswerLikeTheProfileFunctions) {
  const std::u16string text =
      u"[SETTING]\r\nSP = 3\r\nname=\"quoted\"  \r\n[Region1]\r\nlist=\u00e9toile\r\n";
  struct Case {
    const char* name;
    std::string bytes;
  } cases[] = {
      {"utf-16le, read by the OS", Utf16Le(text, true)},
      {"utf-8, read by the portable reader", Utf16ToUtf8(text)},
      {"utf-8 with mark", "\xEF\xBB\xBF" + Utf16ToUtf8(text)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Write(scratch_.path() / "ng.ini", c.bytes);
    IniFile ini;
    ASSERT_TRUE(IniFile::Load(env_, In("ng.ini"), &ini).ok());
    EXPECT_EQ(ini.GetInt(u"setting", u"sp", -1), 3);
    EXPECT_EQ(ini.GetInt(u"SETTING", u"missing", -1), -1);
    EXPECT_EQ(ini.GetString(u"setting", u"name", u"", 256), u"quoted");
    EXPECT_EQ(ini.GetString(u"setting", u"name", u"", 4), u"quo");  // buffer of 4
    EXPECT_EQ(ini.GetString(u"region1", u"LIST", u"", 256), u"\u00e9toile");
    EXPECT_EQ(ini.GetString(u"none", u"list", u"dflt  ", 256), u"dflt");
  }
  // An ASCII file goes to the OS too.
  Write(scratch_.path() / "plain.ini", "[SETTING]\nSP=12x\n");
  IniFile ini;
  ASSERT_TRUE(IniFile::Load(env_, In("plain.ini"), &ini).ok());
  EXPECT_EQ(ini.GetInt(u"SETTING", u"SP", 0), 12);
  EXPECT_TRUE(IniFile::Load(env_, In("absent.ini"), &ini).IsNotFound());
  EXPECT_EQ(ini.GetInt(u"SETTING", u"SP", 5), 5);
}

}  // namespace
}  // namespace dizedir
