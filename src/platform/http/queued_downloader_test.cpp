// The shared downloader core against a scripted backend: each attempt adds
// the bytes and returns the outcome its script says, so the loop's rules
// (resume offsets, fruitless counting, the file left behind) show exactly.

#include "platform/http/queued_downloader.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <new>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "codec/md5.h"
#include "support/test_bytes.h"

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
  bool throws = false;    // memory runs out after the bytes are stored
};

class ScriptedDownloader final : public QueuedDownloader {
 public:
  // One connection unless a test asks for more: the script is a sequence.
  explicit ScriptedDownloader(Env* env) : QueuedDownloader(env) {
    SetConnections(1);
  }

  void Shutdown() override {}

  std::vector<Step> script;
  // What the core asked for, attempt by attempt.
  std::vector<uint64_t> resume_offsets;
  std::vector<Target> targets;
  std::vector<Target> size_queries;
  std::optional<uint64_t> size;
  // How the first size queries fail, before `size` answers the rest.
  std::vector<HttpFailure> size_query_failures;
  std::vector<std::pair<std::string, uint16_t>> probes;
  bool reachable = true;
  int aborts = 0;
  std::vector<uint32_t> shown;  // GetReceivedBytes during each attempt

 private:
  Outcome RunAttempt(size_t, const Target& target, FileSink* sink) override {
    resume_offsets.push_back(sink->stored);
    targets.push_back(target);
    if (resume_offsets.size() > script.size()) return Outcome::kFailed;
    const Step& step = script[resume_offsets.size() - 1];
    if (step.restart && !sink->Restart().ok()) return Outcome::kFailed;
    if (!sink->Append(step.append).ok()) return Outcome::kFailed;
    if (sink->item != nullptr) shown.push_back(GetReceivedBytes());
    if (step.end) EndTransfers();
    if (step.throws) throw std::bad_alloc();
    return step.outcome;
  }
  void PrepareConnections(size_t) override {}
  std::optional<uint64_t> QuerySize(size_t, const Target& target, Watch*,
                                    HttpFailure* why) override {
    size_queries.push_back(target);
    if (size_query_failures.size() >= size_queries.size()) {
      *why = size_query_failures[size_queries.size() - 1];
      return std::nullopt;
    }
    if (!size) *why = kHttpFailureHttpStatus;
    return size;
  }
  bool ProbeServer(const std::string& host, uint16_t port,
                   uint32_t) override {
    probes.emplace_back(host, port);
    return reachable;
  }
  void AbortTransfers() override { ++aborts; }
  bool UseTrustAnchors(const std::string* pem) override {
    anchors = pem != nullptr ? std::optional<std::string>(*pem) : std::nullopt;
    return pem == nullptr || anchors_usable;
  }

 public:
  std::optional<std::string> anchors;  // what the core handed over last
  bool anchors_usable = true;
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
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
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
      // Answers that send the file back to its start gain nothing, however
      // many bytes they bring: the count is against the furthest it got.
      {"going back to the start is no progress", 1,
       {{"abc", kR}, {"ab", kR, true}, {"abc", kR, true}, {"abcd", kC, true}},
       false, {0, 3, 2}, ""},
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
      // A scheme names its own port; one in the text still wins.
      {"https://example.com", 80, {{"example.com", 443}}},
      {"http://example.com", 8080, {{"example.com", 80}}},
      {"https://example.com:8443/rel", 80, {{"example.com", 8443}}},
      {"ftp://example.com", 80, std::nullopt},
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

// A server that just delivered a file is not probed again by Connect: the
// launcher's update server is often its list server. Any other server, or
// one whose last fetch failed, is.
TEST_F(QueuedDownloaderTest, AServerThatJustAnsweredNeedsNoProbe) {
  struct Case {
    const char* fetched;  // the URL fetched before Connect
    Outcome outcome;
    const char* host;     // Connect's text
    bool probed;
  };
  const Case cases[] = {
      {"http://lists.example/patchone.ini", Outcome::kComplete, "lists.example", false},
      {"http://lists.example/patchone.ini", Outcome::kComplete, "LISTS.example", false},
      {"http://lists.example:8080/a.ini", Outcome::kComplete, "lists.example:8080", false},
      {"http://lists.example/patchone.ini", Outcome::kComplete, "lists.example:81", true},
      {"http://lists.example/patchone.ini", Outcome::kComplete, "https://lists.example:80", true},
      {"http://lists.example/patchone.ini", Outcome::kComplete, "upd.example", true},
      {"http://lists.example/patchone.ini", Outcome::kFailed, "lists.example", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.fetched) + " then " + c.host);
    ScriptedDownloader d(Env::Default());
    d.SetRetryPolicy(0, 0);
    d.script = {{"[list]", c.outcome}};
    d.DownloadFile(c.fetched, Path("list.ini").c_str());
    d.probes.clear();
    EXPECT_EQ(d.Connect(c.host, 80), 1);
    EXPECT_EQ(d.probes.size(), c.probed ? 1u : 0u);
  }
}

TEST_F(QueuedDownloaderTest, TargetsBuiltFromTheCallersTexts) {
  struct Case {
    const char* name;
    const char* connect;   // Connect's host text (its port argument is 8000)
    const char* set_host;  // null: SetHost never called
    const char* remote_dir;
    const char* request;   // a queue item's name, or a URL for DownloadFile
    bool by_url;
    std::optional<Target> target;  // nullopt: refused before any attempt
  };
  const Case cases[] = {
      {"queue on the connected server", "conn.example", nullptr, "patch/v2", "P 0.zxp", false,
       Target{"conn.example", 8000, "/patch/v2/P%200.zxp", false}},
      {"backslashes in the name", "conn.example", nullptr, "", "data\\a.bin", false,
       Target{"conn.example", 8000, "/data/a.bin", false}},
      {"set host with its own port", "conn.example", "cdn.example:81", "d", "x", false,
       Target{"cdn.example", 81, "/d/x", false}},
      {"set host names the connected one", "conn.example", "CONN.example", "", "x", false,
       Target{"CONN.example", 8000, "/x", false}},
      {"set host elsewhere defaults to 80", "conn.example", "cdn.example", "", "x", false,
       Target{"cdn.example", 80, "/x", false}},
      {"unparsable set host falls back", "conn.example", "bad:port", "", "x", false,
       Target{"conn.example", 8000, "/x", false}},
      {"url on the connected host takes its port", "conn.example", nullptr, "",
       "http://conn.example/list.txt", true,
       Target{"conn.example", 8000, "/list.txt", false}},
      {"url port wins", "conn.example", nullptr, "", "http://conn.example:90/a", true,
       Target{"conn.example", 90, "/a", false}},
      {"url elsewhere", "conn.example", nullptr, "", "other.example", true,
       Target{"other.example", 80, "/", false}},
      {"https", "conn.example", nullptr, "", "https://other.example/a?b=1", true,
       Target{"other.example", 443, "/a?b=1", true}},
      {"url with backslashes and spaces", "conn.example", nullptr, "",
       "http://conn.example\\dir\\a b.txt", true,
       Target{"conn.example", 8000, "/dir/a%20b.txt", false}},
      {"other scheme refused", "conn.example", nullptr, "", "ftp://conn.example/a", true,
       std::nullopt},
      // Schemes: a secure server keeps TLS for every transfer to it.
      {"queue on a secure server", "https://conn.example", nullptr, "d", "x",
       false, Target{"conn.example", 443, "/d/x", true}},
      {"bare set host takes the connected scheme and port",
       "https://conn.example:8443", "conn.example", "", "x", false,
       Target{"conn.example", 8443, "/x", true}},
      {"secure set host elsewhere defaults to 443", "conn.example",
       "https://cdn.example", "", "x", false,
       Target{"cdn.example", 443, "/x", true}},
      {"secure set host on the connected server keeps its port",
       "https://conn.example:8443", "https://CONN.example", "", "x", false,
       Target{"CONN.example", 8443, "/x", true}},
      {"plain set host on a secure server's name is port 80",
       "https://conn.example:8443", "http://conn.example", "", "x", false,
       Target{"conn.example", 80, "/x", false}},
      {"url with the connected scheme takes its port",
       "https://conn.example:8443", nullptr, "", "https://conn.example/l.txt",
       true, Target{"conn.example", 8443, "/l.txt", true}},
      {"url with another scheme takes that scheme's port",
       "https://conn.example:8443", nullptr, "", "http://conn.example/l.txt",
       true, Target{"conn.example", 80, "/l.txt", false}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedDownloader d(Env::Default());
    d.script = {{"z", Outcome::kComplete}};
    d.Connect(c.connect, 8000);
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

TEST_F(QueuedDownloaderTest, MemoryRunningOutFailsTheItemNotTheHost) {
  for (const uint32_t connections : {1u, 3u}) {
    SCOPED_TRACE(connections);
    ScriptedDownloader d(Env::Default());
    d.SetConnections(connections);
    d.SetRetryPolicy(3, 0);
    d.Connect("example.com", 80);
    d.script = {{"one", Outcome::kComplete, false, false, true}};
    d.AddRemoteFile("a");
    d.AddLocalFile(Path("a").c_str());
    EXPECT_EQ(d.DownloadQueue(), 0);
    EXPECT_EQ(d.GetLastFailure(), kHttpFailureBadRequest);
    // Not retried as if the link had failed, and nothing half-written stays.
    EXPECT_EQ(d.targets.size(), 1u);
    EXPECT_FALSE(fs::exists(Path("a")));
    EXPECT_TRUE(fs::is_empty(dir_));
    // The downloader goes on working.
    d.script.push_back({"two", Outcome::kComplete});
    d.AddRemoteFile("a");
    d.AddLocalFile(Path("a").c_str());
    EXPECT_EQ(d.DownloadQueue(), 1);
    EXPECT_EQ(Contents(Path("a")), "two");
    fs::remove(Path("a"));
  }
}

// The whole queue's count: every item's bytes, bytes of an attempt that had
// to start over counted once, and a new queue from zero.
TEST_F(QueuedDownloaderTest, QueueBytesCountEveryItemOnce) {
  struct Case {
    const char* name;
    std::vector<Step> script;
    int items;
    uint64_t bytes;
  };
  const Case cases[] = {
      {"two items", {{"abc", Outcome::kComplete}, {"de", Outcome::kComplete}}, 2, 5},
      {"resumed", {{"abc", Outcome::kRetry}, {"def", Outcome::kComplete}}, 1, 6},
      {"started over",
       {{"abc", Outcome::kRetry}, {"abcdef", Outcome::kComplete, true}}, 1, 6},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedDownloader d(Env::Default());
    d.SetRetryPolicy(3, 0);
    d.Connect("example.com", 80);
    d.script = c.script;
    for (int i = 0; i < c.items; ++i) {
      d.AddRemoteFile(("f" + std::to_string(i)).c_str());
      d.AddLocalFile(Path("f" + std::to_string(i)).c_str());
    }
    EXPECT_EQ(d.DownloadQueue(), 1);
    EXPECT_EQ(d.GetQueueReceivedBytes64(), c.bytes);
    d.AddRemoteFile("next");
    EXPECT_EQ(d.GetQueueReceivedBytes64(), 0u);
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

TEST_F(QueuedDownloaderTest, SizeQueriesWithoutAnswerAreAskedAgain) {
  struct Case {
    const char* name;
    std::vector<HttpFailure> failures;
    uint32_t expected;
    size_t queries;
    HttpFailure last_failure;
  };
  const Case cases[] = {
      {"a dead kept-alive connection", {kHttpFailureConnection}, 700, 2, kHttpFailureNone},
      {"two", {kHttpFailureConnection, kHttpFailureConnection}, 700, 3, kHttpFailureNone},
      {"a server that is down",
       {kHttpFailureConnection, kHttpFailureConnection, kHttpFailureConnection,
        kHttpFailureConnection},
       0, 3, kHttpFailureConnection},
      {"an answer is final", {kHttpFailureHttpStatus}, 0, 1, kHttpFailureHttpStatus},
      {"a bad answer is final", {kHttpFailureBadResponse}, 0, 1, kHttpFailureBadResponse},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedDownloader d(Env::Default());
    d.Connect("example.com", 8080);
    d.size = 700;
    d.size_query_failures = c.failures;
    EXPECT_EQ(d.GetFileSize("f.bin"), c.expected);
    EXPECT_EQ(d.size_queries.size(), c.queries);
    EXPECT_EQ(d.GetLastFailure(), c.last_failure);
  }
}

TEST_F(QueuedDownloaderTest, QueueItemsAreHeldToTheSizeAskedFor) {
  struct Case {
    const char* name;
    const char* asked;   // the name GetFileSize was given; null: not asked
    bool reconnect;      // Connect between asking and queueing
    size_t body;         // bytes the server sends
    int failure;
    uint64_t given = 0;  // the size AddFileSize gives the item, 0: none
  };
  const Case cases[] = {
      {"at the size", "dir\\A.zxp", false, 10, kHttpFailureNone},
      {"one byte more", "dir\\A.zxp", false, 11, kHttpFailureBodyTooLong},
      {"same name, other case", "DIR/a.ZXP", false, 11,
       kHttpFailureBodyTooLong},
      {"forgotten at Connect", "dir\\A.zxp", true, 11, kHttpFailureNone},
      {"size of another name", "dir\\B.zxp", false, 11, kHttpFailureNone},
      {"given, not asked", nullptr, false, 10, kHttpFailureNone, 10},
      {"given, one byte more", nullptr, false, 11, kHttpFailureBodyTooLong, 10},
      {"given outranks asked", "dir\\A.zxp", false, 11, kHttpFailureNone, 11},
      {"given outlives Connect", nullptr, true, 11, kHttpFailureBodyTooLong, 10},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedDownloader d(Env::Default());
    d.SetRetryPolicy(0, 0);
    d.Connect("example.com", 80);
    d.size = 10;
    if (c.asked != nullptr) {
      EXPECT_EQ(d.GetFileSize(c.asked), 10u);
    }
    d.script = {{std::string(c.body, 'x'), Outcome::kComplete}};
    d.SetRemoteDir("dir");
    d.AddRemoteFile("a.zxp");
    d.AddLocalFile(Path("a.zxp").c_str());
    d.AddFileSize(c.given);
    if (c.reconnect) d.Connect("example.com", 80);
    EXPECT_EQ(d.DownloadQueue(), c.failure == kHttpFailureNone ? 1 : 0);
    EXPECT_EQ(d.GetLastFailure(), c.failure);
    EXPECT_EQ(fs::exists(Path("a.zxp")), c.failure == kHttpFailureNone);
    EXPECT_FALSE(fs::exists(Path("a.zxp") + std::string(kTempSuffix)));
  }
}

TEST_F(QueuedDownloaderTest, DigestIsCheckedBeforeTheItemTakesItsName) {
  const std::string body = "the part's bytes";
  const std::string right = Md5Hex(body);
  std::string upper = right;
  for (char& c : upper) c = static_cast<char>(std::toupper(c));
  std::string wrong = right;
  wrong[31] = wrong[31] == 'a' ? 'b' : 'a';
  struct Case {
    const char* name;
    std::string digest;
    int failure;
  };
  const Case cases[] = {
      {"matches", right, kHttpFailureNone},
      {"matches in upper case", upper, kHttpFailureNone},
      {"one digit off", wrong, kHttpFailureDigestMismatch},
      {"not hexadecimal is ignored", std::string(32, 'z'), kHttpFailureNone},
      {"too short is ignored", right.substr(1), kHttpFailureNone},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedDownloader d(Env::Default());
    d.SetRetryPolicy(0, 0);
    d.Connect("example.com", 80);
    d.script = {{body, Outcome::kComplete}};
    const std::string local = Path("part.zxp");
    Write(local, "older copy");
    d.AddRemoteFile("part.zxp");
    d.AddLocalFile(local.c_str());
    d.AddFileDigest(c.digest.c_str());
    EXPECT_EQ(d.DownloadQueue(), c.failure == kHttpFailureNone ? 1 : 0);
    EXPECT_EQ(d.GetLastFailure(), c.failure);
    EXPECT_EQ(Contents(local), c.failure == kHttpFailureNone
                                   ? std::optional<std::string>(body)
                                   : std::nullopt);
    EXPECT_FALSE(fs::exists(local + std::string(kTempSuffix)));
  }
}

std::string Deflated(const std::string& bytes, int window_bits) {
  return DeflateStream(bytes, window_bits);
}

// Every answer a server can give, judged by the sink alone: what it plans,
// what reaches the file and what the attempt comes to.
TEST_F(QueuedDownloaderTest, FileSinkJudgesEveryAnswer) {
  using Plan = QueuedDownloader::FileSink::Plan;
  using Head = QueuedDownloader::ResponseHead;
  struct Case {
    const char* name;
    // The sink: a queue item (announced size, stored as sent) or a single
    // file (byte limit, encodings undone).
    bool queue;
    std::optional<uint64_t> announced;
    uint64_t limit;
    std::string stored_before;  // bytes of an earlier attempt
    Head head;
    std::vector<std::string> body;
    bool clean;
    Plan plan;
    std::optional<Outcome> outcome;  // when the body gets as far as End
    int failure;
    size_t stored_after;
  };
  const auto head = [](int status, std::optional<uint64_t> length,
                       const char* range = nullptr,
                       ContentCoding coding = ContentCoding::kIdentity) {
    Head h;
    h.status = status;
    h.content_length = length;
    if (range != nullptr) h.content_range = ParseContentRange(range);
    h.coding = coding;
    return h;
  };
  const auto gzip = [](const std::string& text) {
    return Deflated(text, 15 + 16);
  };
  const std::string hello = "hello, list";
  const std::string zipped = gzip(hello);
  const std::string bomb = gzip(std::string(1 << 20, '\0'));
  Head malformed = head(200, 3);
  malformed.malformed = true;
  constexpr auto kGzip = ContentCoding::kGzip;
  constexpr auto kF = kHttpFailureNone;
  constexpr uint64_t kBig = 1 << 20;
  const std::vector<Case> cases = {
      // Queue items against their announced size.
      {"at the announced size", true, 6, kBig, "", head(200, 6), {"abcdef"},
       true, Plan::kWrite, Outcome::kComplete, kF, 6},
      {"Content-Length above it", true, 6, kBig, "", head(200, 7), {},
       true, Plan::kFail, std::nullopt, kHttpFailureSizeMismatch, 0},
      {"Content-Length below it", true, 6, kBig, "", head(200, 5), {},
       true, Plan::kFail, std::nullopt, kHttpFailureSizeMismatch, 0},
      {"chunked past it", true, 6, kBig, "", head(200, std::nullopt),
       {"abcd", "efg"}, true, Plan::kWrite, std::nullopt,
       kHttpFailureBodyTooLong, 4},
      {"no size from anywhere", true, std::nullopt, kBig, "",
       head(200, std::nullopt), {}, true, Plan::kFail, std::nullopt,
       kHttpFailureSizeMismatch, 0},
      {"Content-Length when no size was asked", true, std::nullopt, kBig, "",
       head(200, 3), {"abc"}, true, Plan::kWrite, Outcome::kComplete, kF, 3},
      {"cut short", true, 6, kBig, "", head(200, 6), {"abc"}, false,
       Plan::kWrite, Outcome::kRetry, kHttpFailureConnection, 3},
      {"ends cleanly but short", true, 6, kBig, "", head(200, 6), {"abc"},
       true, Plan::kWrite, Outcome::kRetry, kHttpFailureConnection, 3},
      // Resuming by range.
      {"range continues the file", true, 6, kBig, "abc",
       head(206, 3, "bytes 3-5/6"), {"def"}, true, Plan::kWrite,
       Outcome::kComplete, kF, 6},
      {"range from elsewhere restarts", true, 6, kBig, "abc",
       head(206, 6, "bytes 0-5/6"), {}, true, Plan::kRetry, std::nullopt,
       kHttpFailureBadResponse, 0},
      {"range total unlike the announced size", true, 6, kBig, "abc",
       head(206, 4, "bytes 3-6/7"), {}, true, Plan::kFail, std::nullopt,
       kHttpFailureSizeMismatch, 3},
      {"range past its own total", true, 6, kBig, "abc",
       head(206, 7, "bytes 3-9/6"), {}, true, Plan::kFail, std::nullopt,
       kHttpFailureBadResponse, 3},
      {"range unlike its Content-Length", true, 6, kBig, "abc",
       head(206, 5, "bytes 3-5/6"), {}, true, Plan::kFail, std::nullopt,
       kHttpFailureBadResponse, 3},
      {"206 without a range", true, 6, kBig, "abc", head(206, 3), {}, true,
       Plan::kFail, std::nullopt, kHttpFailureBadResponse, 3},
      {"range ignored starts over", true, 6, kBig, "abc", head(200, 6),
       {"uvwxyz"}, true, Plan::kWrite, Outcome::kComplete, kF, 6},
      {"416 after a resume starts over", true, 6, kBig, "abc",
       head(416, std::nullopt, "bytes */6"), {}, true, Plan::kDiscard,
       Outcome::kRetry, kHttpFailureHttpStatus, 0},
      {"416 telling another size", true, 6, kBig, "abc",
       head(416, std::nullopt, "bytes */9"), {}, true, Plan::kFail,
       std::nullopt, kHttpFailureSizeMismatch, 3},
      // Error answers: their text is thrown away, within a bound.
      {"404", true, 6, kBig, "", head(404, 9), {"not found"}, true,
       Plan::kDiscard, Outcome::kFailed, kHttpFailureHttpStatus, 0},
      {"endless error text", true, 6, kBig, "", head(500, std::nullopt),
       {std::string(70000, 'e')}, true, Plan::kDiscard, std::nullopt,
       kHttpFailureHttpStatus, 0},
      // Codings and malformed heads.
      {"encoded part", true, 6, kBig, "", head(200, 6, nullptr, kGzip), {},
       true, Plan::kFail, std::nullopt, kHttpFailureBadResponse, 0},
      {"malformed head", true, 6, kBig, "", malformed, {}, true, Plan::kFail,
       std::nullopt, kHttpFailureBadResponse, 0},
      {"unknown coding", false, std::nullopt, kBig, "",
       head(200, 6, nullptr, ContentCoding::kUnsupported), {}, true,
       Plan::kFail, std::nullopt, kHttpFailureBadResponse, 0},
      // Single files against the byte limit, decoded.
      {"Content-Length over the limit", false, std::nullopt, 5, "",
       head(200, 6), {}, true, Plan::kFail, std::nullopt,
       kHttpFailureTooLarge, 0},
      {"chunked over the limit", false, std::nullopt, 5, "",
       head(200, std::nullopt), {"abc", "def"}, true, Plan::kWrite,
       std::nullopt, kHttpFailureTooLarge, 3},
      {"gzip decoded", false, std::nullopt, kBig, "",
       head(200, zipped.size(), nullptr, kGzip), {zipped}, true,
       Plan::kWrite, Outcome::kComplete, kF, hello.size()},
      {"zlib deflate decoded", false, std::nullopt, kBig, "",
       head(200, std::nullopt, nullptr, ContentCoding::kDeflate),
       {Deflated(hello, 15)}, true, Plan::kWrite, Outcome::kComplete, kF,
       hello.size()},
      {"raw deflate decoded", false, std::nullopt, kBig, "",
       head(200, std::nullopt, nullptr, ContentCoding::kDeflate),
       {Deflated(hello, -15)}, true, Plan::kWrite, Outcome::kComplete, kF,
       hello.size()},
      {"gzip a byte at a time", false, std::nullopt, kBig, "",
       head(200, std::nullopt, nullptr, kGzip),
       [&zipped] {
         std::vector<std::string> bytes;
         for (char c : zipped) bytes.emplace_back(1, c);
         return bytes;
       }(),
       true, Plan::kWrite, Outcome::kComplete, kF, hello.size()},
      {"bomb stops at the limit", false, std::nullopt, 1000, "",
       head(200, std::nullopt, nullptr, kGzip), {bomb}, true, Plan::kWrite,
       std::nullopt, kHttpFailureTooLarge, 1000},
      {"gzip cut short", false, std::nullopt, kBig, "",
       head(200, std::nullopt, nullptr, kGzip),
       {zipped.substr(0, zipped.size() - 4)}, true, Plan::kWrite,
       Outcome::kFailed, kHttpFailureBadResponse, hello.size()},
      {"bytes after the gzip end", false, std::nullopt, kBig, "",
       head(200, std::nullopt, nullptr, kGzip), {zipped + "junk"}, true,
       Plan::kWrite, std::nullopt, kHttpFailureBadResponse, hello.size()},
      {"garbage labelled gzip", false, std::nullopt, kBig, "",
       head(200, std::nullopt, nullptr, kGzip), {"not gzip at all"}, true,
       Plan::kWrite, std::nullopt, kHttpFailureBadResponse, 0},
      {"encoded answer to a resume starts over", false, std::nullopt, kBig,
       "abc", head(200, zipped.size(), nullptr, kGzip), {zipped}, true,
       Plan::kWrite, Outcome::kComplete, kF, hello.size()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedDownloader d(Env::Default());
    QueuedDownloader::FileSink sink(&d);
    sink.env = Env::Default();
    sink.temp_path = Path("sink.tmp");
    sink.announced = c.announced;
    sink.need_size = c.queue;
    sink.accept_encoding = !c.queue;
    sink.limit = c.announced.value_or(c.limit);
    sink.over_limit =
        c.announced ? kHttpFailureBodyTooLong : kHttpFailureTooLarge;
    ASSERT_TRUE(sink.Restart().ok());
    ASSERT_TRUE(sink.Append(c.stored_before).ok());

    const Plan plan = sink.Begin(c.head);
    EXPECT_EQ(plan, c.plan);
    bool appended = true;
    if (plan == Plan::kWrite || plan == Plan::kDiscard) {
      for (const std::string& piece : c.body) {
        if (!sink.Append(piece).ok()) {
          appended = false;
          break;
        }
      }
    }
    if (c.outcome) {
      EXPECT_TRUE(appended);
      EXPECT_EQ(sink.End(c.clean), *c.outcome);
    } else if (plan == Plan::kWrite || plan == Plan::kDiscard) {
      EXPECT_FALSE(appended);
    }
    EXPECT_EQ(sink.failure, c.failure);
    EXPECT_EQ(sink.stored, c.stored_after);
    sink.file.reset();
    EXPECT_EQ(fs::file_size(Path("sink.tmp")), c.stored_after);
    if (c.failure == kHttpFailureNone &&
        c.head.coding != ContentCoding::kIdentity) {
      EXPECT_EQ(Contents(Path("sink.tmp")), hello);
    }
  }
}

TEST_F(QueuedDownloaderTest, RedirectsStayOnTheServer) {
  const Target from{"srv.example", 8080, "/patch/v2/a.zxp", false};
  struct Case {
    const char* location;
    std::optional<Target> to;  // nullopt: refused
  };
  const Case cases[] = {
      {"/other/b.zxp", Target{"srv.example", 8080, "/other/b.zxp", false}},
      {"b.zxp", Target{"srv.example", 8080, "/patch/v2/b.zxp", false}},
      {"a b.zxp", Target{"srv.example", 8080, "/patch/v2/a%20b.zxp", false}},
      {" /x#fragment\r\n", Target{"srv.example", 8080, "/x", false}},
      {"http://SRV.example:9000/x", Target{"srv.example", 9000, "/x", false}},
      {"https://srv.example/x", Target{"srv.example", 443, "/x", true}},
      {"//srv.example/y", Target{"srv.example", 80, "/y", false}},
      {"http://evil.example/x", std::nullopt},
      {"//evil.example/x", std::nullopt},
      {"http://srv.example.evil.example/x", std::nullopt},
      {"ftp://srv.example/x", std::nullopt},
      {"javascript:alert(1)", std::nullopt},
      {"", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.location);
    Target to;
    ASSERT_EQ(QueuedDownloader::ResolveRedirect(from, c.location, &to),
              c.to.has_value());
    if (!c.to) continue;
    EXPECT_EQ(to.port, c.to->port);
    EXPECT_EQ(to.path, c.to->path);
    EXPECT_EQ(to.secure, c.to->secure);
  }
  // From a secure server a redirect may not leave TLS: a network attacker
  // could answer the plain request.
  const Target secure{"srv.example", 8443, "/a", true};
  Target to;
  ASSERT_TRUE(QueuedDownloader::ResolveRedirect(secure, "//srv.example/b", &to));
  EXPECT_TRUE(to.secure);
  EXPECT_EQ(to.port, 443);
  ASSERT_TRUE(QueuedDownloader::ResolveRedirect(secure, "/c", &to));
  EXPECT_TRUE(to.secure);
  EXPECT_EQ(to.port, 8443);
  EXPECT_FALSE(QueuedDownloader::ResolveRedirect(secure, "http://srv.example/x", &to));
}

// A CA bundle that cannot be used leaves no trust at all: https transfers
// fail before any attempt instead of trusting the system's store, while
// plain http goes on; the system's store comes back only when asked for.
TEST_F(QueuedDownloaderTest, UnusableCaBundleRefusesEveryHttpsTransfer) {
  const std::string pem = "-----BEGIN CERTIFICATE-----\nMIIB\n-----END CERTIFICATE-----\n";
  Write(Path("ca.pem"), pem);
  Write(Path("empty.pem"), "no certificate here\n");
  Write(Path("big.pem"), pem + std::string(QueuedDownloader::kMaxCaBundleBytes, '#'));
  struct Case {
    const char* name;
    std::string bundle;     // a path under the test directory, "" for none
    bool backend_accepts;   // what the backend says of the text
    int result;
    bool https_attempted;
  };
  const Case cases[] = {
      {"usable bundle", "ca.pem", true, 1, true},
      {"missing file", "missing.pem", true, 0, false},
      {"no certificate in it", "empty.pem", true, 0, false},
      {"larger than a bundle may be", "big.pem", true, 0, false},
      {"backend finds nothing usable", "ca.pem", false, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedDownloader d(Env::Default());
    d.anchors_usable = c.backend_accepts;
    EXPECT_EQ(d.SetCaBundle(Path(c.bundle).c_str()), c.result);
    if (c.result == 1) {
      EXPECT_EQ(d.anchors, pem);
    }
    d.script = {{"s", Outcome::kComplete}, {"p", Outcome::kComplete}};
    const std::string local = Path("out.bin");
    EXPECT_EQ(d.DownloadFile("https://srv.example/a", local.c_str()),
              c.https_attempted ? 1 : 0);
    if (!c.https_attempted) {
      EXPECT_EQ(d.GetLastFailure(), kHttpFailureTlsUntrusted);
      d.Connect("https://srv.example", 80);
      d.size = 5;
      EXPECT_EQ(d.GetFileSize("x"), 0u);
      EXPECT_EQ(d.GetLastFailure(), kHttpFailureTlsUntrusted);
      EXPECT_TRUE(d.size_queries.empty());
    }
    EXPECT_EQ(d.DownloadFile("http://srv.example/a", local.c_str()), 1);
    EXPECT_EQ(d.targets.size(), c.https_attempted ? 2u : 1u);
    // Back to the system's store.
    EXPECT_EQ(d.SetCaBundle(""), 1);
    EXPECT_EQ(d.anchors, std::nullopt);
    d.script.push_back({"t", Outcome::kComplete});
    EXPECT_EQ(d.DownloadFile("https://srv.example/a", local.c_str()), 1);
  }
}

}  // namespace
}  // namespace dizedir::http
