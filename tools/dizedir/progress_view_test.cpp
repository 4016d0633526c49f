#include "progress_view.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace dizedir {
namespace {

ProgressSnapshot Downloading() {
  ProgressSnapshot s;
  s.status = "Downloading";
  s.item_text = "Part 1: 512 of 1024 KiB (100 KiB/s)";
  s.item_fraction = 0.5f;
  s.total_text = "Downloading part 1 of 2";
  s.total_fraction = 0.29f;
  s.progress = 425;
  return s;
}

const ProgressEstimate kFast{1572864.0, 42.3};

TEST(ProgressViewTest, TerminalFrames) {
  struct Case {
    const char* name;
    ProgressSnapshot snapshot;
    ProgressEstimate estimate;
    int width;
    std::vector<std::string> lines;
  };
  ProgressSnapshot done = Downloading();
  done.result = 1;
  done.progress = 1000;
  done.item_fraction = 1.0f;
  ProgressSnapshot odd;
  odd.status = std::string(12, 'x') + "\xe6\x9b\xb4\xe6\x96\xb0\xe6\x9b\xb4\xe6\x96\xb0"
               "\xe6\x9b\xb4\xe6\x96\xb0\xe6\x9b\xb4\xe6\x96\xb0\xe6\x9b\xb4\xe6\x96\xb0";
  odd.item_text = "a\x1b[2Jb\r";
  odd.item_fraction = std::numeric_limits<float>::quiet_NaN();
  odd.total_fraction = 1.7f;
  odd.progress = -5;
  const Case cases[] = {
      {"downloading, 40 columns", Downloading(), kFast, 40,
       {"Downloading",
        "[######.......]  50%  Part 1: 512 of 10",
        "[###..........]  29%  Downloading part ",
        "42.5%  1.5 MiB/s  0:43 left"}},
      {"ended: no estimate", done, kFast, 20,
       {"Downloading",
        "[##########] 100%  ",
        "[##........]  29%  ",
        "100.0%"}},
      {"no estimate yet, unknown width", Downloading(), {}, 0,
       {"Downloading",
        "[#############.............]  50%  "
        "Part 1: 512 of 1024 KiB (100 KiB/s)",
        "[#######...................]  29%  "
        "Downloading part 1 of 2",
        "42.5%"}},
      // 23 columns: twelve narrow and five of the wide characters fit.
      {"wide, control and broken values", odd, {}, 24,
       {std::string(12, 'x') + "\xe6\x9b\xb4\xe6\x96\xb0\xe6\x9b\xb4\xe6\x96\xb0\xe6\x9b\xb4",
        "[..........]   0%  a?[2",
        "[##########] 100%",
        "0.0%"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<std::string> lines = FormatTerminalLines(c.snapshot, c.estimate, c.width);
    EXPECT_EQ(lines, c.lines);
    const int limit = (c.width > 0 ? std::max(c.width, 20) : 80) - 1;
    for (const std::string& line : lines) EXPECT_LE(DisplayColumns(line), limit) << line;
  }
}

TEST(ProgressViewTest, JsonLines) {
  ProgressSnapshot done = Downloading();
  done.result = 2;
  done.status = "Update failed: \"disk\"\\full\x01";
  done.item_fraction = std::numeric_limits<float>::infinity();
  done.total_fraction = 0.1f;
  done.prompt_pending = true;
  // A status from a server that does not send UTF-8.
  ProgressSnapshot garbled;
  garbled.result = 2;
  garbled.status = "Fehler: \xFF\xE6\x9D";
  garbled.total_text = "\xe6\x9d\xb1\xe4\xba\xac";
  garbled.total_fraction = 1.0f;
  struct Case {
    const char* name;
    ProgressSnapshot snapshot;
    std::string json;
  };
  const Case cases[] = {
      {"downloading", Downloading(),
       "{\"result\":0,\"status\":\"Downloading\",\"itemText\":\"Part 1: 512 of 1024 KiB "
       "(100 KiB/s)\",\"itemFraction\":0.5,\"totalText\":\"Downloading part 1 of 2\","
       "\"totalFraction\":0.29,\"progress\":425,\"promptPending\":false}"},
      {"empty", ProgressSnapshot(),
       "{\"result\":0,\"status\":\"\",\"itemText\":\"\",\"itemFraction\":0,\"totalText\":\"\","
       "\"totalFraction\":0,\"progress\":0,\"promptPending\":false}"},
      {"failed, with characters to escape", done,
       "{\"result\":2,\"status\":\"Update failed: \\\"disk\\\"\\\\full\\u0001\",\"itemText\":"
       "\"Part 1: 512 of 1024 KiB (100 KiB/s)\",\"itemFraction\":0,\"totalText\":"
       "\"Downloading part 1 of 2\",\"totalFraction\":0.1,\"progress\":425,"
       "\"promptPending\":true}"},
      {"text that is not UTF-8", garbled,
       "{\"result\":2,\"status\":\"Fehler: \xef\xbf\xbd\xef\xbf\xbd\",\"itemText\":\"\","
       "\"itemFraction\":0,\"totalText\":\"\xe6\x9d\xb1\xe4\xba\xac\",\"totalFraction\":1,"
       "\"progress\":0,\"promptPending\":false}"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(FormatJsonLine(c.snapshot), c.json);
  }
}

TEST(ProgressViewTest, NumbersAndTexts) {
  struct Duration {
    double seconds;
    const char* text;
  };
  for (const Duration& d : std::vector<Duration>{{0, "0:00"}, {59.2, "1:00"}, {3599, "59:59"},
                                                {3600, "1:00:00"}, {90061, "25:01:01"},
                                                {-4, "0:00"}}) {
    EXPECT_EQ(FormatDuration(d.seconds), d.text) << d.seconds;
  }
  struct Speed {
    double bytes;
    const char* text;
  };
  for (const Speed& s : std::vector<Speed>{{512, "512 B/s"}, {1023.4, "1023 B/s"},
                                          {1536, "1.5 KiB/s"}, {1572864, "1.5 MiB/s"}}) {
    EXPECT_EQ(FormatSpeed(s.bytes), s.text) << s.bytes;
  }
  struct Parse {
    const char* text;
    std::optional<PartCounts> counts;
  };
  const Parse parses[] = {
      {"Part 2: 10 of 20 KiB (5 KiB/s)", PartCounts{2, 10, 20}},
      {"Teil 3 - 0/7 KiB, 0 KiB/s", PartCounts{3, 0, 7}},
      {"Part 2: 10 of 20 KiB", std::nullopt},
      {"Part 2: 30 of 20 KiB (5 KiB/s)", std::nullopt},
      {"Part 2 of 3: 10 of 20 KiB (5 KiB/s)", std::nullopt},
      {"Part 1: 99999999999999999999999 of 2 KiB (1 KiB/s)", std::nullopt},
      {"Unpacking data.pac", std::nullopt},
  };
  for (const Parse& p : parses) {
    SCOPED_TRACE(p.text);
    const auto counts = ParsePartCounts(p.text);
    ASSERT_EQ(counts.has_value(), p.counts.has_value());
    if (counts) {
      EXPECT_EQ(counts->part, p.counts->part);
      EXPECT_EQ(counts->received_kib, p.counts->received_kib);
      EXPECT_EQ(counts->size_kib, p.counts->size_kib);
    }
  }
}

// Feeds polls every 100 ms up to `until`, the plug-in's values coming from
// `at`, and returns the estimate then.
template <typename At>
ProgressEstimate FeedPolls(uint32_t until, At at) {
  ProgressMeter meter;
  for (uint32_t t = 0; t < until; t += 100) meter.Add(t, at(t));
  meter.Add(until, at(until));
  return meter.Estimate();
}

ProgressSnapshot WithValue(int32_t progress, std::string item_text = {}) {
  ProgressSnapshot s;
  s.progress = progress;
  s.item_text = std::move(item_text);
  return s;
}

TEST(ProgressViewTest, MeterEstimates) {
  struct Case {
    const char* name;
    ProgressEstimate estimate;
    std::optional<double> bytes_per_second;
    std::optional<double> seconds_left;
  };
  // The engine moves its value once a second.
  const auto steady = [](uint32_t t) { return WithValue(100 * static_cast<int32_t>(t / 1000)); };
  const auto parts = [](uint32_t t) {
    if (t < 1000) return WithValue(0, "Part 1: 0 of 1000 KiB (0 KiB/s)");
    if (t < 2000) return WithValue(200, "Part 1: 500 of 1000 KiB (500 KiB/s)");
    return WithValue(400, "Part 2: 300 of 800 KiB (800 KiB/s)");
  };
  const Case cases[] = {
      // 200 thousandths in 2 s, 800 to go, 50 ms since the last change.
      {"steady", FeedPolls(2050, steady), std::nullopt, 7.95},
      {"standing still", FeedPolls(5100, [](uint32_t t) { return WithValue(t < 2000 ? 100 : 200); }),
       std::nullopt, std::nullopt},
      {"application starts over", FeedPolls(3000, [](uint32_t t) {
         return WithValue(t < 2500 ? 900 + static_cast<int32_t>(t / 1000) : 1);
       }),
       std::nullopt, std::nullopt},
      // 500 KiB of part 1, its other 500 and 300 of part 2, in 2 s.
      {"across a part change", FeedPolls(2000, parts), 1300.0 / 2000 * 1024 * 1000, 3.0},
      {"part fetched again", FeedPolls(2000, [](uint32_t t) {
         return WithValue(0, t < 1500 ? "Part 1: " + std::to_string(t) + " of 5000 KiB (1 KiB/s)"
                                      : "Part 1: 0 of 5000 KiB (0 KiB/s)");
       }),
       std::nullopt, std::nullopt},
      {"item text without counts", FeedPolls(2000, [](uint32_t t) {
         return WithValue(static_cast<int32_t>(t / 10), "Unpacking a.zip");
       }),
       std::nullopt, 8.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(c.estimate.bytes_per_second.has_value(), c.bytes_per_second.has_value());
    if (c.bytes_per_second) {
      EXPECT_NEAR(*c.estimate.bytes_per_second, *c.bytes_per_second, 1.0);
    }
    ASSERT_EQ(c.estimate.seconds_left.has_value(), c.seconds_left.has_value());
    if (c.seconds_left) {
      EXPECT_NEAR(*c.estimate.seconds_left, *c.seconds_left, 0.01);
    }
  }
}

TEST(ProgressViewTest, TerminalViewRedrawsInPlace) {
  TerminalView view;
  EXPECT_EQ(view.Redraw({"a", "b"}), "\x1b[2Ka\n\x1b[2Kb\n");
  EXPECT_EQ(view.Redraw({"a", "b"}), "");
  EXPECT_EQ(view.Redraw({"a", "c"}), "\r\x1b[2A\x1b[2Ka\n\x1b[2Kc\n");
  view.Release();
  EXPECT_EQ(view.Redraw({"a", "c"}), "\x1b[2Ka\n\x1b[2Kc\n");
}

// A whole task as a plain log shows it, poll by poll: each line names the
// one field that changed, and no line carries a text an earlier step left.
TEST(ProgressViewTest, PlainViewPrintsWhatChanged) {
  PlainView view;
  ProgressSnapshot s;
  struct Step {
    uint32_t millis;
    void (*change)(ProgressSnapshot*);
    ProgressEstimate estimate;
    std::vector<std::string> lines;
  };
  const ProgressEstimate none;
  const Step steps[] = {
      {0, [](ProgressSnapshot*) {}, none, {}},
      {100, [](ProgressSnapshot* p) { p->status = "Patch list loaded."; }, none,
       {"Patch list loaded."}},
      {200,
       [](ProgressSnapshot* p) {
         p->total_text = "Downloading part 1 of 2";
         p->item_text = "Part 1: 0 of 1024 KiB (0 KiB/s)";
       },
       none, {"[0.0%] Downloading part 1 of 2", "[0.0%] Part 1: 0 of 1024 KiB (0 KiB/s)"}},
      // Reports of the same part, now and then; with the speed once known.
      {1200,
       [](ProgressSnapshot* p) {
         p->item_text = "Part 1: 100 of 1024 KiB (100 KiB/s)";
         p->progress = 50;
       },
       kFast, {}},
      {5100, [](ProgressSnapshot* p) { p->item_text = "Part 1: 500 of 1024 KiB (99 KiB/s)"; }, kFast,
       {}},
      {5200, [](ProgressSnapshot* p) { p->item_text = "Part 1: 512 of 1024 KiB (100 KiB/s)"; },
       kFast, {"[5.0%] Part 1: 512 of 1024 KiB (100 KiB/s) | 1.5 MiB/s | 0:43 left"}},
      {5300, [](ProgressSnapshot* p) { p->progress = 60; }, kFast, {}},
      // A new part is said at once.
      {5400,
       [](ProgressSnapshot* p) {
         p->total_text = "Downloading part 2 of 2";
         p->item_text = "Part 2: 0 of 8 KiB (0 KiB/s)";
       },
       none, {"[6.0%] Downloading part 2 of 2", "[6.0%] Part 2: 0 of 8 KiB (0 KiB/s)"}},
      // The bars are cleared as application starts: nothing to say of them.
      {6000,
       [](ProgressSnapshot* p) {
         p->status = "Preparing to install the update ...";
         p->total_text.clear();
         p->item_text.clear();
         p->progress = 1000;
       },
       none, {"Preparing to install the update ..."}},
      {6100,
       [](ProgressSnapshot* p) {
         p->status = "Patches verified. Unpacking ...";
         p->total_text = "Unpacking patch 2 ...";
         p->progress = 1;
       },
       none, {"Patches verified. Unpacking ...", "[0.1%] Unpacking patch 2 ..."}},
      // Items are not part reports: each one is said, however soon.
      {6200, [](ProgressSnapshot* p) { p->item_text = "Unpacking tile3.dat"; }, none,
       {"[0.1%] Unpacking tile3.dat"}},
      {6300, [](ProgressSnapshot* p) { p->item_text = "Unpacking tile17.dat"; }, none,
       {"[0.1%] Unpacking tile17.dat"}},
      // Control characters and broken UTF-8 from the network are made harmless.
      {6400, [](ProgressSnapshot* p) { p->item_text = "Unpacking \x1b[2J\xFF.dat"; }, none,
       {"[0.1%] Unpacking ?[2J?.dat"}},
      // The end: the plug-in has cleared the bars, the status is the outcome.
      {6500,
       [](ProgressSnapshot* p) {
         p->result = 1;
         p->status = "Update complete.";
         p->total_text.clear();
         p->item_text.clear();
         p->progress = 1000;
       },
       none, {"Update complete."}},
      {6600, [](ProgressSnapshot*) {}, none, {}},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.millis);
    step.change(&s);
    EXPECT_EQ(view.Next(step.millis, s, step.estimate), step.lines);
  }
}

}  // namespace
}  // namespace dizedir
