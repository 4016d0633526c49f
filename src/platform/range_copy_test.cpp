// Range copies between files (WritableFile::AppendFrom) by every route a
// copy can take: inside the kernel, through the buffer when the kernel
// cannot copy, through the portable default, and through wrappers that must
// see every byte.

#include <stdlib.h>
#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "platform/env.h"
#include "support/fault_injection_env.h"
#include "support/native_file.h"

namespace dizedir {
namespace {

namespace fs = std::filesystem;

std::string Pattern(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(rng());
  return s;
}

// Hides the backend's file type, so only the portable default can copy.
class OpaqueReadable : public ReadableFile {
 public:
  explicit OpaqueReadable(std::unique_ptr<ReadableFile> file)
      : file_(std::move(file)) {}
  Status Read(uint64_t offset, size_t n, char* scratch,
              size_t* bytes_read) override {
    return file_->Read(offset, n, scratch, bytes_read);
  }
  Status Size(uint64_t* size) override { return file_->Size(size); }

 private:
  std::unique_ptr<ReadableFile> file_;
};

// Overrides only the primitives, as a wrapper written before range copies
// existed does; it must still see every byte.
class CountingWritable : public WritableFile {
 public:
  explicit CountingWritable(std::unique_ptr<WritableFile> file)
      : file_(std::move(file)) {}
  Status Append(std::string_view data) override {
    seen += data.size();
    return file_->Append(data);
  }
  Status Flush() override { return file_->Flush(); }
  Status Sync() override { return file_->Sync(); }
  Status Close() override { return file_->Close(); }
  uint64_t seen = 0;

 private:
  std::unique_ptr<WritableFile> file_;
};

enum class Route {
  kKernel,        // both files native on one filesystem
  kWriteBehind,   // the same, with early writeback asked for
  kAppending,     // the target opened for appending: the kernel refuses it
  kOpaqueSource,  // the portable default
  kCounting,      // a wrapper overriding only Append
  kOtherFs,       // the source on another filesystem, when there is one
};

const char* Name(Route r) {
  switch (r) {
    case Route::kKernel: return "kernel";
    case Route::kWriteBehind: return "write-behind";
    case Route::kAppending: return "appending";
    case Route::kOpaqueSource: return "opaque source";
    case Route::kCounting: return "counting wrapper";
    case Route::kOtherFs: return "other filesystem";
  }
  return "?";
}

class RangeCopyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = MakeTempDir(fs::temp_directory_path());
    // tmpfs, when it exists and is not where the test directory already
    // is, makes copy_file_range fail with EXDEV and forces the fallback.
    struct stat here, shm;
    if (::stat(root_.c_str(), &here) == 0 && ::stat("/dev/shm", &shm) == 0 &&
        S_ISDIR(shm.st_mode) && here.st_dev != shm.st_dev &&
        ::access("/dev/shm", W_OK) == 0) {
      other_fs_ = MakeTempDir("/dev/shm");
    }
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
    if (!other_fs_.empty()) fs::remove_all(other_fs_, ignored);
  }

  static fs::path MakeTempDir(const fs::path& parent) {
    std::string pattern = (parent / "dizedir-copy-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) return fs::path();
    return pattern;
  }

  std::vector<Route> Routes() const {
    std::vector<Route> routes = {Route::kKernel, Route::kWriteBehind,
                                 Route::kAppending, Route::kOpaqueSource,
                                 Route::kCounting};
    if (!other_fs_.empty()) routes.push_back(Route::kOtherFs);
    return routes;
  }

  // Writes the source for a route and opens both ends; the target holds
  // `existing` and is positioned after it.
  void Open(Route route, Env* env, const std::string& source_bytes,
            const std::string& existing, std::unique_ptr<ReadableFile>* source,
            std::unique_ptr<WritableFile>* target) {
    const fs::path source_path =
        (route == Route::kOtherFs ? other_fs_ : root_) / "source.bin";
    WriteNative(source_path, source_bytes);
    ASSERT_TRUE(env->NewReadableFile(source_path.string(), source).ok());
    if (route == Route::kOpaqueSource) {
      *source = std::make_unique<OpaqueReadable>(std::move(*source));
    }
    const std::string target_path = (root_ / "target.bin").string();
    if (route == Route::kAppending) {
      WriteNative(target_path, existing);
      ASSERT_TRUE(env->NewAppendableFile(target_path, target).ok());
    } else {
      ASSERT_TRUE(env->NewWritableFile(target_path, target).ok());
      ASSERT_TRUE((*target)->Append(existing).ok());
    }
    if (route == Route::kCounting) {
      *target = std::make_unique<CountingWritable>(std::move(*target));
    }
    if (route == Route::kWriteBehind) (*target)->WillSync();
  }

  std::string Target() const { return ReadNative(root_ / "target.bin"); }

  fs::path root_;
  fs::path other_fs_;
};

TEST_F(RangeCopyTest, CopiesExactlyTheRangeByEveryRoute) {
  struct Case {
    const char* name;
    size_t source_size;
    uint64_t offset;
    uint64_t length;
    Status::Code code;
    // Bytes of the source that end up in the file, from `offset` on.
    uint64_t copied;
    // Bytes the target holds before the copy; a whole block puts the copy
    // on block boundaries, where the kernel may copy (or share extents).
    size_t head = 4;
  };
  const size_t big = (size_t{3} << 20) + 17;  // several buffer chunks
  const size_t huge = size_t{40} << 20;       // past the writeback window
  const std::vector<Case> cases = {
      {"whole file", 5000, 0, 5000, Status::Code::kOk, 5000},
      {"middle", 5000, 1000, 3000, Status::Code::kOk, 3000},
      {"empty range at the end", 5000, 5000, 0, Status::Code::kOk, 0},
      {"empty source", 0, 0, 0, Status::Code::kOk, 0},
      {"unaligned, many chunks", big, 5, big - 7, Status::Code::kOk, big - 7},
      {"beyond the writeback window", huge, 3, huge - 3, Status::Code::kOk,
       huge - 3},
      {"source shorter than asked", 5000, 100, 6000,
       Status::Code::kCorruption, 4900},
      {"offset past the end", 5000, 5010, 5, Status::Code::kCorruption, 0},
      {"range past the largest offset", 5000, UINT64_MAX - 2, 10,
       Status::Code::kInvalidArgument, 0},
      {"block-aligned", big, 8192, 1 << 20, Status::Code::kOk, 1 << 20, 4096},
      {"block-aligned to the end", big, 4096, big - 4096, Status::Code::kOk,
       big - 4096, 4096},
      {"block-aligned, source shorter than asked", big, 4096, big,
       Status::Code::kCorruption, big - 4096, 4096},
      {"block-aligned, offset past the end", 8192, 12288, 4096,
       Status::Code::kCorruption, 0, 4096},
  };
  std::vector<std::string> sources;
  for (const Case& c : cases) sources.push_back(Pattern(c.source_size, 7));
  for (const Route route : Routes()) {
    for (size_t i = 0; i < cases.size(); ++i) {
      const Case& c = cases[i];
      const std::string& bytes = sources[i];
      SCOPED_TRACE(std::string(Name(route)) + ": " + c.name);
      std::unique_ptr<ReadableFile> source;
      std::unique_ptr<WritableFile> target;
      const std::string head(c.head, 'h');
      Open(route, Env::Default(), bytes, head, &source, &target);
      const Status s = target->AppendFrom(source.get(), c.offset, c.length);
      EXPECT_EQ(s.code(), c.code) << s.ToString();
      // Buffered data before and after the copy keeps its place.
      ASSERT_TRUE(target->Append("tail").ok());
      ASSERT_TRUE(target->Sync().ok());
      ASSERT_TRUE(target->Close().ok());
      if (route == Route::kCounting) {
        EXPECT_EQ(static_cast<CountingWritable*>(target.get())->seen,
                  4 + c.copied);  // the copy and the tail
      }
      const std::string got = Target();
      const std::string want =
          head +
          (c.copied == 0 ? std::string()
                         : bytes.substr(static_cast<size_t>(c.offset),
                                        static_cast<size_t>(c.copied))) +
          "tail";
      EXPECT_EQ(got.size(), want.size());
      EXPECT_TRUE(got == want) << "contents differ";
    }
  }
}

TEST_F(RangeCopyTest, FullDiskStopsACopyWhereTheSpaceEnds) {
  const std::string bytes = Pattern(size_t{2} << 20, 11);
  struct Case {
    const char* name;
    uint64_t space;  // bytes the disk takes after the head
    bool ok;
  };
  // Unaligned, and on block boundaries where the kernel may do the copy.
  for (const size_t head_size : {size_t{4}, size_t{4096}}) {
    const std::string head(head_size, 'h');
    const uint64_t offset = head_size == 4 ? 12345 : 8192;
    const uint64_t length = bytes.size() - offset;
    const std::vector<Case> cases = {
        {"full before the copy", 0, false},
        {"full a byte into the copy", 1, false},
        {"full in the middle", length / 2, false},
        {"full a byte short", length - 1, false},
        {"exactly enough", length, true},
    };
    for (const Route route : Routes()) {
      for (const Case& c : cases) {
        SCOPED_TRACE(std::string(Name(route)) + ", head of " +
                     std::to_string(head_size) + ": " + c.name);
        FaultInjectionEnv faulty(Env::Default());
        std::unique_ptr<ReadableFile> source;
        std::unique_ptr<WritableFile> target;
        Open(route, &faulty, bytes, head, &source, &target);
        faulty.FailWritesAfter(c.space);
        const Status s = target->AppendFrom(source.get(), offset, length);
        EXPECT_EQ(s.ok(), c.ok) << s.ToString();
        if (!c.ok) {
          EXPECT_EQ(s.code(), Status::Code::kNoSpace);
        }
        ASSERT_TRUE(target->Close().ok());
        const std::string want =
            head + bytes.substr(static_cast<size_t>(offset),
                                static_cast<size_t>(c.space));
        EXPECT_TRUE(Target() == want)
            << "wrote " << Target().size() << " of " << want.size() << " bytes";
      }
    }
  }
}

}  // namespace
}  // namespace dizedir
