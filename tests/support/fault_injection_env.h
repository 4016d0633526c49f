// FaultInjectionEnv: an Env for tests that forwards to a real one and can be
// told to break in the ways the field breaks: a disk that fills after a
// number of bytes, renames that fail, threads that cannot start, a chosen
// amount of free space.
//
// Thread-safety: as safe as the wrapped Env; the fault settings may be
// changed from any thread while files and threads are in use.

#ifndef DIZEDIR_TESTS_SUPPORT_FAULT_INJECTION_ENV_H_
#define DIZEDIR_TESTS_SUPPORT_FAULT_INJECTION_ENV_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/env.h"

namespace dizedir {

class FaultInjectionEnv : public EnvWrapper {
 public:
  explicit FaultInjectionEnv(Env* target) : EnvWrapper(target) {}

  // After `bytes` more bytes have been appended through files opened by
  // this Env, an append writes what still fits and fails with NoSpace, as a
  // full disk does.
  void FailWritesAfter(uint64_t bytes) { space_left_ = bytes; }
  void StopFailingWrites() { space_left_ = kUnlimited; }
  // What is left of the space FailWritesAfter gave.
  uint64_t SpaceLeft() const { return space_left_.load(); }

  // The next `count` renames fail with IOError and change nothing.
  void FailNextRenames(int count) { renames_to_fail_ = count; }

  void FailThreadCreation(bool fail) { fail_threads_ = fail; }

  // What GetFreeDiskSpace reports from now on, for every directory.
  void ReportFreeDiskSpace(uint64_t bytes) {
    free_space_ = bytes;
    report_free_space_ = true;
  }

  int renames_attempted() const { return renames_attempted_; }

  Status NewWritableFile(const std::string& path,
                         std::unique_ptr<WritableFile>* result) override {
    Status s = target()->NewWritableFile(path, result);
    if (s.ok()) *result = std::make_unique<FullDiskFile>(this, std::move(*result));
    return s;
  }

  Status NewAppendableFile(const std::string& path,
                           std::unique_ptr<WritableFile>* result) override {
    Status s = target()->NewAppendableFile(path, result);
    if (s.ok()) *result = std::make_unique<FullDiskFile>(this, std::move(*result));
    return s;
  }

  Status NewPositionalFile(const std::string& path,
                           std::unique_ptr<PositionalFile>* result) override {
    Status s = target()->NewPositionalFile(path, result);
    if (s.ok()) {
      *result = std::make_unique<FullDiskPositionalFile>(this, std::move(*result));
    }
    return s;
  }

  Status RenameFile(const std::string& from, const std::string& to) override {
    ++renames_attempted_;
    int left = renames_to_fail_.load();
    while (left > 0) {
      if (renames_to_fail_.compare_exchange_weak(left, left - 1)) {
        return Status::IOError("injected rename failure: " + from);
      }
    }
    return target()->RenameFile(from, to);
  }

  Status NewThread(std::function<uint32_t()> body,
                   std::unique_ptr<Thread>* result) override {
    if (fail_threads_) {
      result->reset();
      return Status::IOError("injected thread creation failure");
    }
    return target()->NewThread(std::move(body), result);
  }

  Status GetFreeDiskSpace(const std::string& dir, uint64_t* bytes) override {
    if (report_free_space_) {
      *bytes = free_space_;
      return Status::OK();
    }
    return target()->GetFreeDiskSpace(dir, bytes);
  }

 private:
  static constexpr uint64_t kUnlimited = UINT64_MAX;

  class FullDiskFile : public WritableFile {
   public:
    FullDiskFile(FaultInjectionEnv* env, std::unique_ptr<WritableFile> file)
        : env_(env), file_(std::move(file)) {}

    Status Append(std::string_view data) override {
      const size_t allowed = static_cast<size_t>(env_->TakeSpace(data.size()));
      Status s = file_->Append(data.substr(0, allowed));
      if (s.ok() && allowed < data.size()) {
        return Status::NoSpace("injected full disk");
      }
      return s;
    }
    // Forwarded so the backend's own range copy is what tests exercise, with
    // the copied bytes claimed from the space like appended ones.
    Status AppendFrom(ReadableFile* source, uint64_t offset,
                      uint64_t length) override {
      const uint64_t allowed = env_->TakeSpace(length);
      Status s = file_->AppendFrom(source, offset, allowed);
      if (s.ok() && allowed < length) {
        return Status::NoSpace("injected full disk");
      }
      return s;
    }
    void WillSync() override { file_->WillSync(); }
    Status Flush() override { return file_->Flush(); }
    Status Sync() override { return file_->Sync(); }
    Status Close() override { return file_->Close(); }

   private:
    FaultInjectionEnv* const env_;
    const std::unique_ptr<WritableFile> file_;
  };

  // Counts every byte written, wherever it lands, against the space: a
  // rewrite of bytes already there claims space again, which only makes
  // the disk fill a little sooner.
  class FullDiskPositionalFile : public PositionalFile {
   public:
    FullDiskPositionalFile(FaultInjectionEnv* env,
                           std::unique_ptr<PositionalFile> file)
        : env_(env), file_(std::move(file)) {}

    Status WriteAt(uint64_t offset, std::string_view data) override {
      const size_t allowed = static_cast<size_t>(env_->TakeSpace(data.size()));
      Status s = file_->WriteAt(offset, data.substr(0, allowed));
      if (s.ok() && allowed < data.size()) {
        return Status::NoSpace("injected full disk");
      }
      return s;
    }
    Status Sync() override { return file_->Sync(); }
    Status Close() override { return file_->Close(); }

   private:
    FaultInjectionEnv* const env_;
    const std::unique_ptr<PositionalFile> file_;
  };

  // Claims up to `wanted` bytes of the remaining space; returns how many.
  uint64_t TakeSpace(uint64_t wanted) {
    uint64_t left = space_left_.load();
    for (;;) {
      if (left == kUnlimited) return wanted;
      const uint64_t granted = left < wanted ? left : wanted;
      if (space_left_.compare_exchange_weak(left, left - granted)) {
        return granted;
      }
    }
  }

  std::atomic<uint64_t> space_left_{kUnlimited};
  std::atomic<int> renames_to_fail_{0};
  std::atomic<int> renames_attempted_{0};
  std::atomic<bool> fail_threads_{false};
  std::atomic<bool> report_free_space_{false};
  std::atomic<uint64_t> free_space_{0};
};

}  // namespace dizedir

#endif  // DIZEDIR_TESTS_SUPPORT_FAULT_INJECTION_ENV_H_
