// FakeDownloader: an in-memory HttpInterface for engine and plug-in tests.
// Remote files are a map from URL path to bytes; every call is recorded.
//
// Thread-safety: the recorded calls and results are guarded; a test may
// inspect them while a task thread drives the fake.

#ifndef DIZEDIR_TESTS_SUPPORT_FAKE_DOWNLOADER_H_
#define DIZEDIR_TESTS_SUPPORT_FAKE_DOWNLOADER_H_

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "dizedir/http_interface.h"
#include "engine/patch_engine.h"
#include "platform/env.h"

namespace dizedir {

// DownloadFiles for a test downloader: one DownloadFile after another, so
// the calls a test records are the files a caller needed, not how they
// travelled.
inline int DownloadFilesOneByOne(HttpInterface* downloader, uint32_t count,
                                 const char* const* urls, const char* const* local_paths,
                                 int32_t* failures) {
  int all = 1;
  for (uint32_t i = 0; i < count; ++i) {
    const bool ok = downloader->DownloadFile(urls[i], local_paths[i]) != 0;
    if (failures != nullptr) failures[i] = ok ? kHttpFailureNone : kHttpFailureHttpStatus;
    if (!ok) all = 0;
  }
  return all;
}

class FakeDownloader final : public HttpInterface {
 public:
  // Every slot the interface declares.
  static constexpr uint32_t kAllSlots = 38;

  // A module whose GetHttpInterface hands out this object and whose StopDll
  // records the release; `slots` is what it says its interface has (0: a
  // module too old to say).
  DownloaderModule module(uint32_t slots = kAllSlots) {
    DownloaderModule m;
    m.get = [this]() -> HttpInterface* { return this; };
    m.stop = [this](HttpInterface*) { stopped = true; };
    m.slots = [slots] { return slots; };
    return m;
  }

  // Path (e.g. "/patchone.ini") to body.
  void AddFile(const std::string& path, std::string body) {
    std::lock_guard<std::mutex> lock(mu_);
    files_[path] = std::move(body);
  }
  std::vector<std::string> calls() const {
    std::lock_guard<std::mutex> lock(mu_);
    return calls_;
  }

  int Connect(const char* host, uint32_t port) override {
    Record("Connect " + std::string(host) + " " + std::to_string(port));
    ended_ = false;
    return connect_result.load();
  }
  void Shutdown() override { Record("Shutdown"); }
  int DownloadFile(const char* url, const char* local_path) override {
    Record("DownloadFile " + std::string(url) + " " + local_path);
    if (ended_) return 0;
    std::string path = url;
    const auto scheme = path.find("://");
    if (scheme != std::string::npos) {
      const auto slash = path.find('/', scheme + 3);
      path = slash == std::string::npos ? "/" : path.substr(slash);
    }
    std::string body;
    {
      std::lock_guard<std::mutex> lock(mu_);
      auto it = files_.find(path);
      if (it == files_.end()) return 0;
      body = it->second;
    }
    return WriteFileAtomically(Env::Default(), local_path, body).ok() ? 1 : 0;
  }
  void Unused3() override {}
  void Unused4() override {}
  void Unused5() override {}
  void Unused6() override {}
  void Unused7() override {}
  uint32_t GetFileSize(const char* remote_name) override {
    Record("GetFileSize " + std::string(remote_name));
    return 0;
  }
  uint32_t GetReceivedBytes() override { return 0; }
  void Unused10() override {}
  void Unused11() override {}
  int GetCurrentIndex() override { return 0; }
  void AddRemoteFile(const char* name) override { Record("AddRemoteFile " + std::string(name)); }
  void AddLocalFile(const char* path) override { Record("AddLocalFile " + std::string(path)); }
  int DownloadQueue() override { return ended_ ? 0 : 1; }
  void EndTransfers() override {
    ended_ = true;
    end_count++;
  }
  void Unused17() override {}
  void Unused18() override {}
  void Unused19() override {}
  void Unused20() override {}
  void SetRemoteDir(const char* dir) override { Record("SetRemoteDir " + std::string(dir)); }
  void SetHost(const char* host) override { Record("SetHost " + std::string(host)); }
  void SetStallTimeout(uint32_t) override {}
  void SetRetryPolicy(uint32_t, uint32_t) override {}
  void SetFileLimits(uint32_t max_bytes, uint32_t deadline_millis) override {
    Record("SetFileLimits " + std::to_string(max_bytes) + " " +
           std::to_string(deadline_millis));
  }
  int GetLastFailure() override { return last_failure.load(); }
  void SetRateFloor(uint32_t min_bytes, uint32_t window_millis) override {
    Record("SetRateFloor " + std::to_string(min_bytes) + " " +
           std::to_string(window_millis));
  }
  int SetCaBundle(const char* path) override {
    Record("SetCaBundle " + std::string(path != nullptr ? path : "(null)"));
    return ca_bundle_result.load();
  }
  void SetConnections(uint32_t count) override {
    Record("SetConnections " + std::to_string(count));
  }
  int GetFileSizes(uint32_t count, const char* const* remote_names,
                   uint64_t* sizes) override {
    int all = 1;
    for (uint32_t i = 0; i < count; ++i) {
      sizes[i] = GetFileSize64(remote_names[i]);
      if (sizes[i] == 0) all = 0;
    }
    return all;
  }
  uint64_t GetFileSize64(const char* remote_name) override {
    return GetFileSize(remote_name);
  }
  uint64_t GetReceivedBytes64() override { return GetReceivedBytes(); }
  void SetMirrors(const char* base_urls) override {
    Record("SetMirrors " +
           std::string(base_urls != nullptr ? base_urls : "(null)"));
  }
  void AddFileDigest(const char* md5_hex) override {
    Record("AddFileDigest " +
           std::string(md5_hex != nullptr ? md5_hex : "(null)"));
  }
  void AddFileSize(uint64_t size) override {
    Record("AddFileSize " + std::to_string(size));
  }
  uint64_t GetQueueReceivedBytes64() override { return 0; }
  int DownloadFiles(uint32_t count, const char* const* urls, const char* const* local_paths,
                    const uint32_t*, int32_t* failures) override {
    Record("DownloadFiles " + std::to_string(count));
    return DownloadFilesOneByOne(this, count, urls, local_paths, failures);
  }

  std::atomic<int> connect_result{1};
  std::atomic<int> ca_bundle_result{1};
  // What GetLastFailure answers, whatever the calls before it did: an
  // HttpFailure a test sets to see how the engine reports it.
  std::atomic<int> last_failure{kHttpFailureNone};
  std::atomic<int> end_count{0};
  std::atomic<bool> stopped{false};

 private:
  void Record(std::string call) {
    std::lock_guard<std::mutex> lock(mu_);
    calls_.push_back(std::move(call));
  }

  mutable std::mutex mu_;
  std::map<std::string, std::string> files_;
  std::vector<std::string> calls_;
  std::atomic<bool> ended_{false};
};

}  // namespace dizedir

#endif  // DIZEDIR_TESTS_SUPPORT_FAKE_DOWNLOADER_H_
