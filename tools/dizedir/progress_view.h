// Progress display of the host program: what one poll of the plug-in
// showed, rolling estimates of speed and time left, and the three ways of
// showing it (an in-place terminal frame, plain log lines, JSON lines for
// launchers). Everything here is pure: time comes in as a number and text
// goes out as strings, so the program decides where it is written.
//
// Thread-safety: values and single-threaded objects; use each from one
// thread.

#ifndef DIZEDIR_TOOLS_DIZEDIR_PROGRESS_VIEW_H_
#define DIZEDIR_TOOLS_DIZEDIR_PROGRESS_VIEW_H_

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace dizedir {

// One poll of the running task. Texts are UTF-8.
struct ProgressSnapshot {
  int result = 0;  // a DizedirPollResult
  std::string status;
  std::string item_text;
  float item_fraction = 0.0f;
  std::string total_text;
  float total_fraction = 0.0f;
  int32_t progress = 0;  // thousandths of the whole task
  bool prompt_pending = false;
};

struct ProgressEstimate {
  std::optional<double> bytes_per_second;
  std::optional<double> seconds_left;
};

// Speed and time left over the last few seconds. The progress value gives
// the time left; the item text, when it carries the part's received and
// total KiB the way the download text does, gives the byte rate. Both are
// withheld while nothing moves, rather than shown stale.
class ProgressMeter {
 public:
  void Add(uint32_t now_millis, const ProgressSnapshot& snapshot);
  ProgressEstimate Estimate() const;

 private:
  struct Sample {
    uint32_t millis;
    double value;
  };
  static void Trim(std::deque<Sample>* samples, uint32_t now_millis);
  static std::optional<double> RatePerMilli(const std::deque<Sample>& samples,
                                            uint32_t now_millis);

  uint32_t now_millis_ = 0;
  std::deque<Sample> progress_;  // progress value, on each change
  std::deque<Sample> kib_;       // KiB moved since counting began
  bool have_part_ = false;
  uint64_t part_ = 0, part_received_ = 0, part_size_ = 0;
  double kib_moved_ = 0;
};

// The item text's part number, KiB received and KiB of the part, when it
// holds exactly four numbers (the fourth is the engine's own speed) and the
// second does not exceed the third.
struct PartCounts {
  uint64_t part, received_kib, size_kib;
};
std::optional<PartCounts> ParsePartCounts(std::string_view item_text);

// Columns `text` takes on a terminal (East Asian wide characters take two).
int DisplayColumns(std::string_view text);
// The longest prefix of `text` that fits in `columns`, never splitting a
// character; control characters become '?' so that text from the network
// cannot move the cursor.
std::string FitColumns(std::string_view text, int columns);

std::string FormatSpeed(double bytes_per_second);  // "512 B/s", "1.5 MiB/s"
std::string FormatDuration(double seconds);        // "0:42", "1:02:03"

// The four lines of the terminal frame, each at most `width` - 1 columns so
// that no terminal wraps them: status; item bar and text; total bar and
// text; overall percentage, speed and time left.
std::vector<std::string> FormatTerminalLines(const ProgressSnapshot& snapshot,
                                             const ProgressEstimate& estimate, int width);
// One JSON object, without a line ending.
std::string FormatJsonLine(const ProgressSnapshot& snapshot);

// Redraws the frame in place: the cursor goes back up over the lines drawn
// before and each line is cleared and rewritten.
class TerminalView {
 public:
  // What to write; empty when the frame is the one already shown.
  std::string Redraw(const std::vector<std::string>& lines);
  // Leaves the current frame where it is; the next one starts below it.
  void Release() {
    drawn_ = 0;
    last_.clear();
  }

 private:
  size_t drawn_ = 0;
  std::vector<std::string> last_;
};

// The plain log: a line for each field a poll shows changed, saying only
// that field, so no line repeats what an earlier step left in another.
// In the order of the plug-in's fields:
//   the status, when it changes or the task ends:   Update complete.
//   the total text, when it changes to a new one:    [12.5%] Downloading part 2 of 4
//   the item text, likewise:                         [12.5%] Unpacking maps.pac
// Bracketed is the whole task's progress. A transfer report of a part
// (ParsePartCounts) changes every second; another of the same part waits
// kRepeatMillis, and such lines end with the speed and time left when
// known: "[42.5%] Part 1: 512 of 1024 KiB (100 KiB/s) | 1.5 MiB/s | 0:43 left".
// A text cleared to nothing gets no line.
class PlainView {
 public:
  static constexpr uint32_t kRepeatMillis = 5000;
  // The lines this poll calls for, possibly none.
  std::vector<std::string> Next(uint32_t now_millis, const ProgressSnapshot& snapshot,
                                const ProgressEstimate& estimate);

 private:
  int result_ = 0;
  std::string status_, total_text_, item_text_;
  // The part the last item line reported, and when it was printed.
  std::optional<uint64_t> part_;
  uint32_t part_printed_at_ = 0;
};

}  // namespace dizedir

#endif  // DIZEDIR_TOOLS_DIZEDIR_PROGRESS_VIEW_H_
