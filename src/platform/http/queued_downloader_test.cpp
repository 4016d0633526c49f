// The shared downloader core against a scripted backend: each attempt adds
// the bytes and returns the outcome its script says, so the loop's rules
// (resume offsets, fruitless counting, the file left behind) show exactly.

#include "platform/http/queued_downloader.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace dizedir::http {
namespace {

namespace fs = std::filesystem;
using Outcome = QueuedDownloader::Outcome;
using Target = QueuedDownloader::Target;

struct Step {
  std::string append;     // body bytes this attempt delivers
  Outcome outcome;
  bool restart = false;   // the answer made the stored bytes useless
  bool end = false;       // EndTransfers comes during this attempt
};

class ScriptedDownloader final : public QueuedDownloader {
 public:
  explicit ScriptedDownloader(Env* env) : QueuedDownloader(env) {}

  void Shutdown() override {}

  std::vector<Step> script;
  // What the core asked for, attempt by attempt.
  std::vector<uint64_t> resume_offsets;
  std::vector<Target> targets;
  std::vector<Target> size_queries;
  std::optional<uint64_t> size;
  std::vector<std::pair<std::string, uint16_t>> probes;
  bool reachable = true;
  int aborts = 0;
  std::vector<uint32_t> shown;  // GetReceivedBytes during each attempt

 private:
  Outcome RunAttempt(const Target& target, FileSink* sink,
                     bool publish_progress) override {
    resume_offsets.push_back(sink->stored);
    targets.push_back(target);
    if (resume_offsets.size() > script.size()) return Outcome::kFailed;
    const Step& step = script[resume_offsets.size() - 1];
    if (step.restart && !sink->Restart().ok()) return Outcome::kFailed;
    if (!sink->Append(step.append).ok()) return Outcome::kFailed;
    if (publish_progress) {
      ShowProgress(sink->stored);
      shown.push_back(GetReceivedBytes());
    }
    if (step.end) EndTransfers();
    return step.outcome;
  }
  std::optional<uint64_t> QuerySize(const Target& target, Watch*,
                                    HttpFailure* why) override {
    size_queries.push_back(target);
    if (!size) *why = kHttpFailureHttpStatus;
    return size;
  }
  bool ProbeServer(const std::string& host, uint16_t port,
                   uint32_t) override {
    probes.emplace_back(host, port);
    return reachable;
  }
  void AbortTransfers() override { ++aborts; }
};

class QueuedDownloaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device random;
    dir_ = fs::temp_directory_path() /
           ("queued_dl_test_" + std::to_string(random()) +
            std::to_string(random()));
    fs::create_directories(dir_);
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  std::string Path(const std::string& name) const {
    return (dir_ / name).string();
  }
  static std::optional<std::string> Contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  static void Write(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
  }

  fs::path dir_;
};

TEST_F(QueuedDownloaderTest, RetryLoopFollowsTheScript) {
  constexpr auto kC = Outcome::kComplete;
  constexpr auto kR = Outcome::kRetry;
  constexpr auto kF = Outcome::kFailed;
  struct Case {
    const char* name;
    uint32_t retries;
    std::vector<Step> script;
    bool ok;
    std::vector<uint64_t> offsets;  // the resume point of every attempt
    std::string body;               // the stored file when ok
  };
  const Case cases[] = {
      {"first attempt", 2, {{"abc", kC}}, true, {0}, "abc"},
      {"resumes from what is stored", 2,
       {{"ab", kR}, {"cd", kR}, {"ef", kC}}, true, {0, 2, 4}, "abcdef"},
      // Progress resets the count: five retries in a row with one allowed.
      {"progress keeps it going", 1,
       {{"a", kR}, {"b", kR}, {"c", kR}, {"d", kR}, {"e", kR}, {"f", kC}},
       true, {0, 1, 2, 3, 4, 5}, "abcdef"},
      {"fruitless retries up to the limit", 2,
       {{"", kR}, {"", kR}, {"xy", kC}}, true, {0, 0, 0}, "xy"},
      {"one fruitless retry too many", 2,
       {{"", kR}, {"", kR}, {"", kR}, {"xy", kC}}, false, {0, 0, 0}, ""},
      // A fruitless streak ends with progress, and the count starts again.
      {"streak broken by progress", 1,
       {{"", kR}, {"a", kR}, {"", kR}, {"b", kC}}, true, {0, 0, 1, 1}, "ab"},
      {"no retries at all", 0, {{"", kR}, {"a", kC}}, false, {0}, ""},
      {"failure ends at once", 5, {{"abc", kF}, {"d", kC}}, false, {0}, ""},
      {"restart drops stored bytes", 2,
       {{"old", kR}, {"new", kC, /*restart=*/true}}, true, {0, 3}, "new"},
      {"ended during an attempt", 5,
       {{"ab", kR, false, /*end=*/true}, {"cd", kC}}, false, {0}, ""},
      {"complete wins over a late end", 5,
       {{"ab", kC, false, /*end=*/true}}, true, {0}, "ab"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedDownloader d(Env::Default());
    // The longest wait only matters when the end is missed: then the run
    // would sit in it for a minute instead of returning.
    d.SetRetryPolicy(c.retries, c.name == std::string("ended during an attempt")
                                    ? 60000
                                    : 0);
    d.script = c.script;
    d.Connect("example.com", 80);
    const std::string local = Path("sub/dir/file.bin");
    EXPECT_EQ(d.DownloadFile("http://example.com/f", local.c_str()),
              c.ok ? 1 : 0);
    EXPECT_EQ(d.resume_offsets, c.offsets);
    EXPECT_EQ(Contents(local), c.ok ? std::optional(c.body) : std::nullopt);
    EXPECT_FALSE(fs::exists(local + std::string(kTempSuffix)));
  }
}

TEST_F(QueuedDownloaderTest, FailureRemovesAnOlderCopyAndEndedRunsNothing) {
  const std::string local = Path("list.txt");
  {
    ScriptedDownloader d(Env::Default());
    d.SetRetryPolicy(0, 0);
    d.script = {{"new", Outcome::kFailed}};
    d.Connect("example.com", 80);
    Write(local, "old");
    EXPECT_EQ(d.DownloadFile("http://example.com/list.txt", local.c_str()), 0);
    EXPECT_FALSE(fs::exists(local));
  }
  {
    ScriptedDownloader d(Env::Default());
    d.script = {{"new", Outcome::kComplete}};
    d.Connect("example.com", 80);
    d.EndTransfers();
    EXPECT_EQ(d.aborts, 1);
    Write(local, "old");
    EXPECT_EQ(d.DownloadFile("http://example.com/list.txt", local.c_str()), 0);
    EXPECT_TRUE(d.resume_offsets.empty());
    EXPECT_FALSE(fs::exists(local));
    d.AddRemoteFile("a");
    d.AddLocalFile(local.c_str());
    EXPECT_EQ(d.DownloadQueue(), 0);
    EXPECT_TRUE(d.resume_offsets.empty());
    d.size = 5;
    EXPECT_EQ(d.GetFileSize("a"), 0u);
    EXPECT_TRUE(d.size_queries.empty());
    // Connect lifts the end.
    d.Connect("example.com", 80);
    EXPECT_EQ(d.DownloadFile("http://example.com/list.txt", local.c_str()), 1);
    EXPECT_EQ(Contents(local), "new");
  }
}

TEST_F(QueuedDownloaderTest, ConnectTakesThePortFromTheHostText) {
  struct Case {
    const char* host;
    uint32_t port;
    std::optional<std::pair<std::string, uint16_t>> probe;
  };
  const Case cases[] = {
      {"example.com", 8080, {{"example.com", 8080}}},
      {"example.com:81", 8080, {{"example.com", 81}}},
      {"[::1]:82", 8080, {{"::1", 82}}},
      {"example.com", 0, {{"example.com", 80}}},
      {"example.com", 70000, {{"example.com", 80}}},
      {"example.com:99999", 80, std::nullopt},
      {"", 80, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.host);
    ScriptedDownloader d(Env::Default());
    EXPECT_EQ(d.Connect(c.host, c.port), c.probe ? 1 : 0);
    ASSERT_EQ(d.probes.size(), c.probe ? 1u : 0u);
    if (c.probe) {
      EXPECT_EQ(d.probes[0], *c.probe);
    }
  }
  ScriptedDownloader unreachable(Env::Default());
  unreachable.reachable = false;
  EXPECT_EQ(unreachable.Connect("example.com", 80), 0);
}

TEST_F(QueuedDownloaderTest, TargetsBuiltFromTheCallersTexts) {
  struct Case {
    const char* name;
    const char* set_host;  // null: SetHost never called
    const char* remote_dir;
    const char* request;   // a queue item's name, or a URL for DownloadFile
    bool by_url;
    std::optional<Target> target;  // nullopt: refused before any attempt
  };
  const Case cases[] = {
      {"queue on the connected server", nullptr, "patch/v2", "P 0.zxp", false,
       Target{"conn.example", 8000, "/patch/v2/P%200.zxp", false}},
      {"backslashes in the name", nullptr, "", "data\\a.bin", false,
       Target{"conn.example", 8000, "/data/a.bin", false}},
      {"set host with its own port", "cdn.example:81", "d", "x", false,
       Target{"cdn.example", 81, "/d/x", false}},
      {"set host names the connected one", "CONN.example", "", "x", false,
       Target{"CONN.example", 8000, "/x", false}},
      {"set host elsewhere defaults to 80", "cdn.example", "", "x", false,
       Target{"cdn.example", 80, "/x", false}},
      {"unparsable set host falls back", "bad:port", "", "x", false,
       Target{"conn.example", 8000, "/x", false}},
      {"url on the connected host takes its port", nullptr, "",
       "http://conn.example/list.txt", true,
       Target{"conn.example", 8000, "/list.txt", false}},
      {"url port wins", nullptr, "", "http://conn.example:90/a", true,
       Target{"conn.example", 90, "/a", false}},
      {"url elsewhere", nullptr, "", "other.example", true,
       Target{"other.example", 80, "/", false}},
      {"https", nullptr, "", "https://other.example/a?b=1", true,
       Target{"other.example", 443, "/a?b=1", true}},
      {"url with backslashes and spaces", nullptr, "",
       "http://conn.example\\dir\\a b.txt", true,
       Target{"conn.example", 8000, "/dir/a%20b.txt", false}},
      {"other scheme refused", nullptr, "", "ftp://conn.example/a", true,
       std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedDownloader d(Env::Default());
    d.script = {{"z", Outcome::kComplete}};
    d.Connect("conn.example", 8000);
    if (c.set_host != nullptr) d.SetHost(c.set_host);
    d.SetRemoteDir(c.remote_dir);
    const std::string local = Path("out.bin");
    int result;
    if (c.by_url) {
      result = d.DownloadFile(c.request, local.c_str());
    } else {
      d.AddRemoteFile(c.request);
      d.AddLocalFile(local.c_str());
      result = d.DownloadQueue();
    }
    EXPECT_EQ(result, c.target ? 1 : 0);
    ASSERT_EQ(d.targets.size(), c.target ? 1u : 0u);
    if (!c.target) continue;
    EXPECT_EQ(d.targets[0].host, c.target->host);
    EXPECT_EQ(d.targets[0].port, c.target->port);
    EXPECT_EQ(d.targets[0].path, c.target->path);
    EXPECT_EQ(d.targets[0].secure, c.target->secure);
  }
}

TEST_F(QueuedDownloaderTest, QueueRunsInOrderAndStopsAtTheFirstFailure) {
  ScriptedDownloader d(Env::Default());
  d.SetRetryPolicy(0, 0);
  d.Connect("example.com", 80);
  d.script = {{"one", Outcome::kComplete},
              {"tw", Outcome::kFailed},
              {"three", Outcome::kComplete}};
  // Locals may be queued after all remotes: each pairs with the latest
  // remote still without one, counted from the end.
  d.AddRemoteFile("a");
  d.AddLocalFile(Path("a").c_str());
  d.AddRemoteFile("b");
  d.AddLocalFile(Path("b").c_str());
  d.AddRemoteFile("c");
  d.AddLocalFile(Path("c").c_str());
  EXPECT_EQ(d.DownloadQueue(), 0);
  ASSERT_EQ(d.targets.size(), 2u);
  EXPECT_EQ(d.targets[0].path, "/a");
  EXPECT_EQ(d.targets[1].path, "/b");
  EXPECT_EQ(Contents(Path("a")), "one");
  EXPECT_FALSE(fs::exists(Path("b")));
  EXPECT_FALSE(fs::exists(Path("c")));
  EXPECT_EQ(d.GetCurrentIndex(), 1);
  // The failed run consumed the queue: the next one has nothing to do.
  EXPECT_EQ(d.DownloadQueue(), 1);
  EXPECT_EQ(d.targets.size(), 2u);

  // A complete item shows its full size; a new queue starts from zero.
  d.script.clear();
  d.targets.clear();
  d.resume_offsets.clear();
  d.script = {{"12345", Outcome::kComplete}};
  d.AddRemoteFile("d");
  EXPECT_EQ(d.GetReceivedBytes(), 0u);
  EXPECT_EQ(d.GetCurrentIndex(), 0);
  d.AddLocalFile(Path("d").c_str());
  d.shown.clear();
  EXPECT_EQ(d.DownloadQueue(), 1);
  // The last byte shows only once the file has its name.
  EXPECT_EQ(d.shown, std::vector<uint32_t>{4});
  EXPECT_EQ(d.GetReceivedBytes(), 5u);

  // An item without a local path fails the run before any transfer.
  d.targets.clear();
  d.AddRemoteFile("e");
  EXPECT_EQ(d.DownloadQueue(), 0);
  EXPECT_TRUE(d.targets.empty());
}

TEST_F(QueuedDownloaderTest, GetFileSizeNarrowsToThirtyTwoBits) {
  struct Case {
    std::optional<uint64_t> size;
    uint32_t expected;
  };
  const Case cases[] = {{std::nullopt, 0}, {0, 0}, {1234, 1234},
                        {0xFFFFFFFFull, 0xFFFFFFFFu}, {0x100000000ull, 0}};
  for (const Case& c : cases) {
    ScriptedDownloader d(Env::Default());
    d.Connect("example.com", 8080);
    d.SetRemoteDir("ignored");
    d.size = c.size;
    EXPECT_EQ(d.GetFileSize("dir\\f.bin"), c.expected);
    ASSERT_EQ(d.size_queries.size(), 1u);
    EXPECT_EQ(d.size_queries[0].path, "/dir/f.bin");
    EXPECT_EQ(d.size_queries[0].port, 8080);
  }
}

}  // namespace
}  // namespace dizedir::http
