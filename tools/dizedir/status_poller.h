// StatusPoller: one PollStatus of a plug-in read into a ProgressSnapshot.
// The text buffers live as long as the poller: the plug-in leaves a buffer
// unchanged when its text is too long to copy, and the previous text is
// then the best there is to show.
//
// Thread-safety: one thread, the one that drives the plug-in.

#ifndef DIZEDIR_TOOLS_DIZEDIR_STATUS_POLLER_H_
#define DIZEDIR_TOOLS_DIZEDIR_STATUS_POLLER_H_

#include <cstddef>

#include "dizedir/dizedir.h"
#include "platform/text.h"
#include "progress_view.h"

namespace dizedir {

class StatusPoller {
 public:
  explicit StatusPoller(DizedirInterface* plugin) : plugin_(plugin) {}

  // With `task_fields`, also the progress value and the optional-patch
  // question, which only a task in the update's place has.
  ProgressSnapshot Poll(bool task_fields) {
    ProgressSnapshot snapshot;
    snapshot.result = plugin_->PollStatus(&snapshot.total_fraction, &snapshot.item_fraction,
                                          total_text_, item_text_, status_text_);
    // A well-behaved plug-in terminates each text; do not rely on it.
    total_text_[kTextUnits - 1] = item_text_[kTextUnits - 1] = status_text_[kTextUnits - 1] = 0;
    snapshot.total_text = Utf16ToUtf8(total_text_);
    snapshot.item_text = Utf16ToUtf8(item_text_);
    snapshot.status = Utf16ToUtf8(status_text_);
    if (task_fields) {
      snapshot.progress = plugin_->GetProgressValue();
      snapshot.prompt_pending = plugin_->IsPromptPending();
    }
    return snapshot;
  }

 private:
  static constexpr size_t kTextUnits = 256;
  DizedirInterface* plugin_;
  char16_t total_text_[kTextUnits] = {};
  char16_t item_text_[kTextUnits] = {};
  char16_t status_text_[kTextUnits] = {};
};

}  // namespace dizedir

#endif  // DIZEDIR_TOOLS_DIZEDIR_STATUS_POLLER_H_
