// RecordingSink: a ProgressSink that remembers what the engine reported, for
// engine tests that run without a plug-in object.
//
// Thread-safety: guarded; the engine's threads may report while a test reads.

#ifndef DIZEDIR_TESTS_SUPPORT_RECORDING_SINK_H_
#define DIZEDIR_TESTS_SUPPORT_RECORDING_SINK_H_

#include <mutex>
#include <string>
#include <vector>

#include "dizedir/dizedir.h"

namespace dizedir {

class RecordingSink final : public ProgressSink {
 public:
  RecordingSink() = default;
  RecordingSink& operator=(RecordingSink&& other) {
    std::scoped_lock lock(mu_, other.mu_);
    statuses_ = std::move(other.statuses_);
    failures_ = std::move(other.failures_);
    finished_ = std::move(other.finished_);
    items_ = std::move(other.items_);
    totals_ = std::move(other.totals_);
    return *this;
  }

  void SetStatusText(const char* text) override { Add(&statuses_, text); }
  void SetNoticeText(const char*) override {}
  // A bar's text and fraction, each time it is set.
  struct Item {
    std::string text;
    int32_t done = 0, total = 0;
    bool operator==(const Item&) const = default;
  };
  void SetItemProgress(const char* text, int32_t done, int32_t total, bool) override {
    std::lock_guard<std::mutex> lock(mu_);
    items_.push_back({text != nullptr ? text : "", done, total});
  }
  void SetTotalProgress(const char* text, int32_t done, int32_t total, bool) override {
    std::lock_guard<std::mutex> lock(mu_);
    totals_.push_back({text != nullptr ? text : "", done, total});
  }
  void Finish(const char* text) override { Add(&finished_, text); }
  bool ReservedCheck() override { return true; }
  // Without the plug-in's failure prefix.
  void Fail(const char* text) override { Add(&failures_, text); }

  std::vector<std::string> statuses() const { return Get(statuses_); }
  std::vector<std::string> failures() const { return Get(failures_); }
  std::vector<std::string> finished() const { return Get(finished_); }
  std::vector<Item> items() const {
    std::lock_guard<std::mutex> lock(mu_);
    return items_;
  }
  std::vector<Item> totals() const {
    std::lock_guard<std::mutex> lock(mu_);
    return totals_;
  }

 private:
  void Add(std::vector<std::string>* to, const char* text) {
    std::lock_guard<std::mutex> lock(mu_);
    to->push_back(text != nullptr ? text : "");
  }
  std::vector<std::string> Get(const std::vector<std::string>& from) const {
    std::lock_guard<std::mutex> lock(mu_);
    return from;
  }

  mutable std::mutex mu_;
  std::vector<std::string> statuses_, failures_, finished_;
  std::vector<Item> items_, totals_;
};

}  // namespace dizedir

#endif  // DIZEDIR_TESTS_SUPPORT_RECORDING_SINK_H_
