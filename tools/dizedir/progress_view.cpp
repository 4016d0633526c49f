#include "progress_view.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdio>

#include "tools/common/json_output.h"

namespace dizedir {
namespace {

// Estimates look this far back; long enough to smooth the engine's
// once-a-second updates, short enough to follow a change of link speed.
constexpr uint32_t kWindowMillis = 8000;
// No change for this long means the transfer is standing still, and a speed
// from before would mislead.
constexpr uint32_t kStallMillis = 3000;
// Two samples closer than this give a rate dominated by rounding.
constexpr uint32_t kShortestSpanMillis = 500;

// Decodes one UTF-8 character at `*pos`; an invalid byte reads as U+FFFD
// and advances by one.
char32_t NextCodePoint(std::string_view text, size_t* pos) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(*pos);
  int length = 0;
  char32_t cp = 0;
  if (lead < 0x80) {
    ++*pos;
    return lead;
  } else if ((lead & 0xe0) == 0xc0) {
    length = 2, cp = lead & 0x1f;
  } else if ((lead & 0xf0) == 0xe0) {
    length = 3, cp = lead & 0x0f;
  } else if ((lead & 0xf8) == 0xf0) {
    length = 4, cp = lead & 0x07;
  } else {
    ++*pos;
    return 0xfffd;
  }
  if (*pos + length > text.size()) {
    ++*pos;
    return 0xfffd;
  }
  for (int i = 1; i < length; ++i) {
    if ((byte(*pos + i) & 0xc0) != 0x80) {
      ++*pos;
      return 0xfffd;
    }
    cp = (cp << 6) | (byte(*pos + i) & 0x3f);
  }
  *pos += length;
  return cp;
}

bool IsWide(char32_t cp) {
  return (cp >= 0x1100 && cp <= 0x115f) || (cp >= 0x2e80 && cp <= 0x303e) ||
         (cp >= 0x3041 && cp <= 0x33ff) || (cp >= 0x3400 && cp <= 0x4dbf) ||
         (cp >= 0x4e00 && cp <= 0x9fff) || (cp >= 0xa000 && cp <= 0xa4cf) ||
         (cp >= 0xac00 && cp <= 0xd7a3) || (cp >= 0xf900 && cp <= 0xfaff) ||
         (cp >= 0xfe30 && cp <= 0xfe4f) || (cp >= 0xff00 && cp <= 0xff60) ||
         (cp >= 0xffe0 && cp <= 0xffe6) || (cp >= 0x20000 && cp <= 0x3fffd);
}

bool IsControl(char32_t cp) { return cp < 0x20 || (cp >= 0x7f && cp < 0xa0); }

int ColumnsOf(char32_t cp) { return IsWide(cp) ? 2 : 1; }

std::string Printable(std::string_view text) { return FitColumns(text, INT_MAX); }

float Clamped(float fraction) {
  if (!std::isfinite(fraction) || fraction < 0.0f) return 0.0f;
  return std::min(fraction, 1.0f);
}

std::string Percent(int32_t thousandths) {
  const int32_t value = std::clamp<int32_t>(thousandths, 0, 1000);
  char buf[16];
  std::snprintf(buf, sizeof buf, "%d.%d%%", value / 10, value % 10);
  return buf;
}

std::string BarLine(float fraction, int bar_width, const std::string& text, int columns) {
  // Floored, so a bar is full and says 100% only when the work is; the
  // small allowance keeps 0.29 (stored as 0.28999...) from showing 28%.
  const double f = Clamped(fraction);
  const int filled = std::min(bar_width, static_cast<int>(f * bar_width + 1e-4));
  char pct[8];
  std::snprintf(pct, sizeof pct, "%3d%%", std::clamp(static_cast<int>(f * 100.0 + 1e-4), 0, 100));
  std::string line = "[" + std::string(filled, '#') + std::string(bar_width - filled, '.') +
                     "] " + pct;
  if (!text.empty()) line += "  " + text;
  return FitColumns(line, columns);
}

// The fraction as the shortest decimal that reads back as the same float,
// the way launchers have always seen it: 0.29f as 0.29, not as the double
// 0.28999999165534973, and 1.0f as 1. That text is a JSON number, so the
// library reads it as one. JSON has no NaN or infinity; a launcher would
// refuse the whole line.
JsonDocument JsonFraction(float fraction) {
  if (!std::isfinite(fraction)) return 0;
  char buf[32];
  const auto printed = std::to_chars(buf, buf + sizeof buf, fraction);
  return JsonDocument::parse(std::string_view(buf, printed.ptr - buf));
}

}  // namespace

int DisplayColumns(std::string_view text) {
  int columns = 0;
  for (size_t pos = 0; pos < text.size();) columns += ColumnsOf(NextCodePoint(text, &pos));
  return columns;
}

std::string FitColumns(std::string_view text, int columns) {
  std::string out;
  int used = 0;
  for (size_t pos = 0; pos < text.size();) {
    const size_t start = pos;
    const char32_t cp = NextCodePoint(text, &pos);
    const int width = ColumnsOf(cp);
    if (used + width > columns) break;
    used += width;
    if (IsControl(cp) || cp == 0xfffd) {
      out += '?';
    } else {
      out.append(text.substr(start, pos - start));
    }
  }
  return out;
}

std::optional<PartCounts> ParsePartCounts(std::string_view item_text) {
  std::vector<uint64_t> numbers;
  for (size_t i = 0; i < item_text.size();) {
    if (item_text[i] < '0' || item_text[i] > '9') {
      ++i;
      continue;
    }
    uint64_t value = 0;
    const auto result = std::from_chars(item_text.data() + i, item_text.data() + item_text.size(),
                                        value);
    if (result.ec != std::errc()) return std::nullopt;
    numbers.push_back(value);
    i = static_cast<size_t>(result.ptr - item_text.data());
    if (numbers.size() > 4) return std::nullopt;
  }
  if (numbers.size() != 4 || numbers[1] > numbers[2]) return std::nullopt;
  return PartCounts{numbers[0], numbers[1], numbers[2]};
}

std::string FormatSpeed(double bytes_per_second) {
  char buf[32];
  if (bytes_per_second < 1024.0) {
    std::snprintf(buf, sizeof buf, "%.0f B/s", bytes_per_second);
  } else if (bytes_per_second < 1024.0 * 1024.0) {
    std::snprintf(buf, sizeof buf, "%.1f KiB/s", bytes_per_second / 1024.0);
  } else {
    std::snprintf(buf, sizeof buf, "%.1f MiB/s", bytes_per_second / (1024.0 * 1024.0));
  }
  return buf;
}

std::string FormatDuration(double seconds) {
  const auto total = static_cast<int64_t>(std::ceil(std::max(0.0, seconds)));
  char buf[32];
  if (total >= 3600) {
    std::snprintf(buf, sizeof buf, "%lld:%02d:%02d", static_cast<long long>(total / 3600),
                  static_cast<int>(total / 60 % 60), static_cast<int>(total % 60));
  } else {
    std::snprintf(buf, sizeof buf, "%d:%02d", static_cast<int>(total / 60),
                  static_cast<int>(total % 60));
  }
  return buf;
}

void ProgressMeter::Trim(std::deque<Sample>* samples, uint32_t now_millis) {
  while (samples->size() > 1 && now_millis - samples->front().millis > kWindowMillis) {
    samples->pop_front();
  }
}

std::optional<double> ProgressMeter::RatePerMilli(const std::deque<Sample>& samples,
                                                  uint32_t now_millis) {
  if (samples.size() < 2) return std::nullopt;
  if (now_millis - samples.back().millis > kStallMillis) return std::nullopt;
  const uint32_t span = samples.back().millis - samples.front().millis;
  if (span < kShortestSpanMillis) return std::nullopt;
  const double rate = (samples.back().value - samples.front().value) / span;
  if (!(rate > 0.0)) return std::nullopt;
  return rate;
}

void ProgressMeter::Add(uint32_t now_millis, const ProgressSnapshot& snapshot) {
  now_millis_ = now_millis;
  const double value = snapshot.progress;
  // The value starts again from the bottom when application follows the
  // transfer; the rate of one phase says nothing about the next.
  if (!progress_.empty() && value < progress_.back().value) progress_.clear();
  if (progress_.empty() || value != progress_.back().value) {
    progress_.push_back({now_millis, value});
  }
  Trim(&progress_, now_millis);

  const std::optional<PartCounts> counts = ParsePartCounts(snapshot.item_text);
  if (!counts) {
    kib_.clear();
    have_part_ = false;
    return;
  }
  double moved = 0;
  bool restart = !have_part_;
  if (have_part_ && counts->part == part_) {
    if (counts->received_kib >= part_received_) {
      moved = static_cast<double>(counts->received_kib - part_received_);
    } else {
      restart = true;  // the part is being fetched again from its start
    }
  } else if (have_part_) {
    moved = static_cast<double>(part_size_ - part_received_ + counts->received_kib);
  }
  if (restart) {
    kib_.clear();
    kib_moved_ = 0;
    kib_.push_back({now_millis, 0});
  } else if (moved > 0) {
    kib_moved_ += moved;
    kib_.push_back({now_millis, kib_moved_});
  }
  have_part_ = true;
  part_ = counts->part;
  part_received_ = counts->received_kib;
  part_size_ = counts->size_kib;
  Trim(&kib_, now_millis);
}

ProgressEstimate ProgressMeter::Estimate() const {
  ProgressEstimate estimate;
  if (const auto kib_rate = RatePerMilli(kib_, now_millis_)) {
    estimate.bytes_per_second = *kib_rate * 1024.0 * 1000.0;
  }
  if (const auto rate = RatePerMilli(progress_, now_millis_)) {
    const double remaining = std::max(0.0, 1000.0 - progress_.back().value);
    const double millis = remaining / *rate - (now_millis_ - progress_.back().millis);
    estimate.seconds_left = std::max(0.0, millis) / 1000.0;
  }
  return estimate;
}

std::vector<std::string> FormatTerminalLines(const ProgressSnapshot& snapshot,
                                             const ProgressEstimate& estimate, int width) {
  if (width <= 0) width = 80;
  const int columns = std::max(width, 20) - 1;
  const int bar_width = std::clamp(columns / 3, 10, 40);
  std::string summary = Percent(snapshot.progress);
  if (snapshot.result == 0) {
    if (estimate.bytes_per_second) summary += "  " + FormatSpeed(*estimate.bytes_per_second);
    if (estimate.seconds_left) summary += "  " + FormatDuration(*estimate.seconds_left) + " left";
  }
  return {FitColumns(snapshot.status, columns),
          BarLine(snapshot.item_fraction, bar_width, snapshot.item_text, columns),
          BarLine(snapshot.total_fraction, bar_width, snapshot.total_text, columns),
          FitColumns(summary, columns)};
}

std::string FormatJsonLine(const ProgressSnapshot& snapshot) {
  JsonDocument line;
  line["result"] = snapshot.result;
  line["status"] = snapshot.status;
  line["itemText"] = snapshot.item_text;
  line["itemFraction"] = JsonFraction(snapshot.item_fraction);
  line["totalText"] = snapshot.total_text;
  line["totalFraction"] = JsonFraction(snapshot.total_fraction);
  line["progress"] = snapshot.progress;
  line["promptPending"] = snapshot.prompt_pending;
  return JsonLine(line);
}

std::string TerminalView::Redraw(const std::vector<std::string>& lines) {
  if (drawn_ > 0 && lines == last_) return {};
  std::string out;
  if (drawn_ > 0) out += "\r\x1b[" + std::to_string(drawn_) + "A";
  for (const std::string& line : lines) out += "\x1b[2K" + line + "\n";
  drawn_ = lines.size();
  last_ = lines;
  return out;
}

std::vector<std::string> PlainView::Next(uint32_t now_millis, const ProgressSnapshot& snapshot,
                                         const ProgressEstimate& estimate) {
  std::vector<std::string> lines;
  const std::string progress = "[" + Percent(snapshot.progress) + "] ";
  // The outcome is said even when the status is the one already printed.
  if ((snapshot.status != status_ || snapshot.result != result_) && !snapshot.status.empty()) {
    lines.push_back(Printable(snapshot.status));
  }
  status_ = snapshot.status;
  result_ = snapshot.result;

  if (snapshot.total_text != total_text_ && !snapshot.total_text.empty()) {
    lines.push_back(progress + Printable(snapshot.total_text));
  }
  total_text_ = snapshot.total_text;

  if (snapshot.item_text != item_text_) {
    item_text_ = snapshot.item_text;
    const std::optional<PartCounts> counts = ParsePartCounts(item_text_);
    const bool same_part = counts && part_ && *part_ == counts->part;
    if (item_text_.empty()) {
      part_.reset();
    } else if (!same_part || now_millis - part_printed_at_ >= kRepeatMillis) {
      std::string line = progress + Printable(item_text_);
      if (counts && snapshot.result == 0) {
        if (estimate.bytes_per_second) line += " | " + FormatSpeed(*estimate.bytes_per_second);
        if (estimate.seconds_left) line += " | " + FormatDuration(*estimate.seconds_left) + " left";
      }
      lines.push_back(std::move(line));
      part_ = counts ? std::optional<uint64_t>(counts->part) : std::nullopt;
      part_printed_at_ = now_millis;
    }
  }
  return lines;
}

}  // namespace dizedir
