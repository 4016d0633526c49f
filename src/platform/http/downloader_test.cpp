// The downloader module driven through its C exports against a loopback
// server that misbehaves on request.

#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "codec/md5.h"
#include "dizedir/http_interface.h"
#include "platform/env.h"
#include "platform/http/downloader_slots.h"
#include "support/fault_injection_env.h"
#include "support/test_http_server.h"

#if defined(_WIN32)
#include "platform/http/winhttp_downloader.h"
#else
#include "platform/http/curl_downloader.h"
#endif

#if defined(_WIN32)
// Last, so its macros cannot rename anything declared above.
#include <windows.h>
#endif

namespace dizedir {
namespace {

namespace fs = std::filesystem;
using Fault = TestHttpServer::Fault;

// The backend the module hands out, built here on a test's own Env.
#if defined(_WIN32)
using PlatformDownloader = http::WinHttpDownloader;
#else
using PlatformDownloader = http::CurlDownloader;
#endif

struct StopDllDeleter {
  void operator()(HttpInterface* downloader) const { StopDll(downloader); }
};
using DownloaderPtr = std::unique_ptr<HttpInterface, StopDllDeleter>;

// Wine's WinHTTP differs from Windows' in a few ways a test can see; each
// check that depends on one says so.
bool RunningUnderWine() {
#if defined(_WIN32)
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr &&
         GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
  return false;
#endif
}

// The reason a case ends with here. Under Wine's WinHTTP three answers come
// out otherwise, each still refused or bounded: a transfer the stall watch
// cut is reported as a lost connection, a Content-Length it cannot parse is
// dropped (the size is then unknown, not malformed), and headers past the
// limit set on the request are taken whole.
int ReasonHere(const std::string& name, int failure) {
  if (!RunningUnderWine()) return failure;
  if (name == "stalls every time gives up") return kHttpFailureConnection;
  if (name == "overflowing Content-Length") return kHttpFailureSizeMismatch;
  if (name == "oversized headers") return kHttpFailureNone;
  return failure;
}

// Whether `got` is the reason a case may end with here. Wine reports a cut
// stall as a lost connection only when its own cancel wins the race with
// the watch's verdict; on a busy machine the watch's word may come first.
bool ReasonFits(const std::string& name, int failure, int got) {
  if (got == ReasonHere(name, failure)) return true;
  return RunningUnderWine() && name == "stalls every time gives up" && got == failure;
}

// `text` with `n` and `suffix` appended. (GCC 12 warns falsely about
// overlapping copies in "literal" + std::to_string(n) once inlined.)
std::string Numbered(std::string text, long long n,
                     std::string_view suffix = "") {
  text += std::to_string(n);
  text += suffix;
  return text;
}

std::string Bytes(size_t size, uint32_t seed) {
  std::string bytes(size, '\0');
  uint32_t state = seed;
  for (char& c : bytes) {
    state = state * 1664525u + 1013904223u;
    c = static_cast<char>(state >> 24);
  }
  return bytes;
}

class DownloaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.started());
    std::random_device random;
    dir_ = fs::temp_directory_path() /
           ("dizhttp_test_" + std::to_string(random()) +
            std::to_string(random()));
    fs::create_directories(dir_);
    downloader_.reset(GetHttpInterface());
    ASSERT_NE(downloader_, nullptr);
    downloader_->SetRetryPolicy(3, 10);
    downloader_->SetStallTimeout(300);
  }

  void TearDown() override {
    // Closing the client first lets the server stop without waiting out
    // its kept-alive connection.
    downloader_.reset();
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  std::string Local(const std::string& name) const {
    return (dir_ / name).string();
  }

  bool Exists(const std::string& path) {
    return Env::Default()->FileExists(path);
  }

  std::string Read(const std::string& path) {
    std::string data;
    EXPECT_TRUE(ReadFileToString(Env::Default(), path, &data).ok()) << path;
    return data;
  }

  // The Range headers of the GETs of one path, in order.
  std::vector<std::string> GetRanges(const std::string& path) {
    std::vector<std::string> ranges;
    for (const auto& request : server_.RequestsFor(path)) {
      if (request.method == "GET") ranges.push_back(request.range);
    }
    return ranges;
  }

  TestHttpServer server_;  // outlives the downloader
  fs::path dir_;
  DownloaderPtr downloader_;
};

TEST_F(DownloaderTest, DownloadFileAgainstEveryFault) {
  struct Case {
    const char* name;
    std::optional<Fault> fault;
    bool served;  // the file exists on the server
    bool succeeds;
    std::vector<std::string> ranges;  // expected Range headers of the GETs
    int failure = kHttpFailureNone;   // GetLastFailure afterwards
  };
  Fault drop_and_ignore_range = Fault::DropAfter(1000, 1);
  drop_and_ignore_range.ignore_range = true;
  const std::vector<Case> cases = {
      {"plain", std::nullopt, true, true, {""}},
      {"missing", std::nullopt, false, false, {""}, kHttpFailureHttpStatus},
      {"status 404", Fault::Status(404), true, false, {""},
       kHttpFailureHttpStatus},
      {"status 500", Fault::Status(500), true, false, {""},
       kHttpFailureHttpStatus},
      {"short body", Fault::ShortBody(100), true, false,
       {"", "bytes=70000-", "bytes=70000-", "bytes=70000-", "bytes=70000-"},
       kHttpFailureConnection},
      {"drop resumes", Fault::DropAfter(1000, 1), true, true,
       {"", "bytes=1000-"}},
      {"drop twice resumes twice", Fault::DropAfter(1000, 2), true, true,
       {"", "bytes=1000-", "bytes=2000-"}},
      {"range ignored restarts", drop_and_ignore_range, true, true,
       {"", "bytes=1000-"}},
      {"stall is cut and resumed", Fault::Stall(1000, 1), true, true,
       {"", "bytes=1000-"}},
      {"slow link", Fault::SlowRate(200000), true, true, {""}},
      {"drops every time gives up", Fault::DropAfter(0, -1), true, false,
       {"", "", "", ""}, kHttpFailureConnection},
      {"stalls every time gives up", Fault::Stall(0, -1), true, false,
       {"", "", "", ""}, kHttpFailureTooSlow},
  };
  const std::string body = Bytes(70000, 7);
  ASSERT_EQ(downloader_->Connect(server_.host().c_str(), server_.port()), 1);
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = Numbered("/file", n++, ".bin");
    if (c.served) server_.AddFile(path, body);
    if (c.fault) server_.SetFault(path, *c.fault);
    const std::string local = Local("target.bin");
    // An old copy must be replaced on success and gone on failure.
    ASSERT_TRUE(WriteFileAtomically(Env::Default(), local, "old").ok());

    const int result = downloader_->DownloadFile(
        ("http://" + server_.host() + path).c_str(), local.c_str());

    EXPECT_EQ(result != 0, c.succeeds);
    EXPECT_EQ(Exists(local), c.succeeds);
    if (c.succeeds && Exists(local)) {
      EXPECT_TRUE(Read(local) == body);
    }
    EXPECT_FALSE(Exists(local + std::string(kTempSuffix)));
    EXPECT_EQ(GetRanges(path), c.ranges);
    const int got = downloader_->GetLastFailure();
    EXPECT_TRUE(ReasonFits(c.name, c.failure, got)) << got;
  }
}

TEST_F(DownloaderTest, ExplicitPortInHostWins) {
  server_.AddFile("/f.txt", "hello");
  int closed_port = 0;
  {
    TestHttpServer gone;
    closed_port = gone.port();
  }
  const std::string own = std::to_string(server_.port());
  const std::string closed = std::to_string(closed_port);
  struct Case {
    std::string host;
    uint32_t port;
    int connects;
    std::string url;
    int downloads;
  };
  const std::vector<Case> cases = {
      // The port in the host text wins over the argument...
      {"127.0.0.1:" + own, static_cast<uint32_t>(closed_port), 1,
       "http://127.0.0.1/f.txt", 1},
      // ...and a URL without a port uses the one connected to.
      {"127.0.0.1", static_cast<uint32_t>(server_.port()), 1,
       "http://127.0.0.1/f.txt", 1},
      // A URL's own port wins over the connected one.
      {"127.0.0.1", static_cast<uint32_t>(server_.port()), 1,
       "http://127.0.0.1:" + closed + "/f.txt", 0},
      {"127.0.0.1:" + closed, static_cast<uint32_t>(server_.port()), 0,
       "http://127.0.0.1:" + own + "/f.txt", 1},
      {"", 80, 0, "http://127.0.0.1:" + own + "/f.txt", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.host + " " + c.url);
    EXPECT_EQ(downloader_->Connect(c.host.c_str(), c.port), c.connects);
    EXPECT_EQ(downloader_->GetLastFailure(),
              c.connects == 1 ? kHttpFailureNone
              : c.host.empty() ? kHttpFailureBadRequest
                               : kHttpFailureConnection);
    const std::string local = Local("f.txt");
    EXPECT_EQ(downloader_->DownloadFile(c.url.c_str(), local.c_str()),
              c.downloads);
    EXPECT_EQ(Exists(local), c.downloads == 1);
  }
}

TEST_F(DownloaderTest, LocalPathInWindowsFormGetsItsDirectory) {
  server_.AddFile("/downloadaddr.txt", "addr");
  ASSERT_EQ(downloader_->Connect(server_.host_port().c_str(), 80), 1);
  const std::string local = dir_.string() + "\\qmz_GT\\downloadaddr.txt";
  ASSERT_EQ(downloader_->DownloadFile(
                ("http://" + server_.host() + "/downloadaddr.txt").c_str(),
                local.c_str()),
            1);
  EXPECT_EQ(Read((dir_ / "qmz_GT" / "downloadaddr.txt").string()), "addr");
}

TEST_F(DownloaderTest, GetFileSizeByHeadOrRangeFallback) {
  struct Case {
    const char* name;
    std::string remote_name;
    std::string server_path;
    std::optional<Fault> fault;
    uint32_t size;
    std::vector<std::string> requests;  // method and Range of each request
    std::string target;                 // the encoded target, when checked
  };
  Fault refuse_all = Fault::RefuseHead();
  refuse_all.ignore_range = true;
  const std::vector<Case> cases = {
      {"head", "patch\\v2\\a_0.zxp", "/patch/v2/a_0.zxp", std::nullopt, 5000,
       {"HEAD "}, "/patch/v2/a_0.zxp"},
      {"head refused", "b.zxp", "/b.zxp", Fault::RefuseHead(), 5000,
       {"HEAD ", "GET bytes=0-0"}, ""},
      {"head refused, range ignored", "c.zxp", "/c.zxp", refuse_all, 5000,
       {"HEAD ", "GET bytes=0-0"}, ""},
      {"missing", "none.zxp", "", std::nullopt, 0, {"HEAD "}, ""},
      {"server error", "e.zxp", "/e.zxp", Fault::Status(500), 0,
       {"HEAD ", "GET bytes=0-0"}, ""},
      {"space and non-ASCII letters", "dir\\a b\\\xC3\xBC\xC3\x9F.zxp",
       "/dir/a b/\xC3\xBC\xC3\x9F.zxp", std::nullopt, 5000, {"HEAD "},
       "/dir/a%20b/%C3%BC%C3%9F.zxp"},
  };
  downloader_->SetHost(server_.host().c_str());
  ASSERT_EQ(downloader_->Connect(server_.host().c_str(), server_.port()), 1);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (!c.server_path.empty()) server_.AddFile(c.server_path, Bytes(5000, 1));
    if (c.fault) server_.SetFault(c.server_path, *c.fault);
    server_.ClearRequests();

    EXPECT_EQ(downloader_->GetFileSize(c.remote_name.c_str()), c.size);

    std::vector<std::string> seen;
    for (const auto& request : server_.requests()) {
      seen.push_back(request.method + " " + request.range);
    }
    EXPECT_EQ(seen, c.requests);
    if (!c.target.empty() && !server_.requests().empty()) {
      EXPECT_EQ(server_.requests().front().target, c.target);
    }
  }
}

TEST_F(DownloaderTest, QueueTransfersInOrderAndResumes) {
  struct Item {
    Item(std::string n, std::optional<Fault> f = std::nullopt,
         bool s = true)
        : name(std::move(n)), fault(std::move(f)), served(s) {}
    std::string name;
    std::optional<Fault> fault;
    bool served;
  };
  struct Case {
    const char* name;
    std::vector<Item> items;
    int result;
    std::vector<bool> stored;  // which local files exist afterwards
  };
  Fault ignore_and_drop = Fault::DropAfter(3000, 1);
  ignore_and_drop.ignore_range = true;
  const std::vector<Case> cases = {
      {"clean", {{"a.zxp"}, {"b.zxp"}, {"c.zip"}}, 1, {true, true, true}},
      {"faults on the way",
       {{"a.zxp", Fault::DropAfter(5000, 1)},
        {"b.zxp", ignore_and_drop},
        {"c.zxp", Fault::Stall(100, 1)}},
       1,
       {true, true, true}},
      {"a missing item ends the queue",
       {{"a.zxp"}, {"b.zxp", std::nullopt, false}, {"c.zxp"}},
       0,
       {true, false, false}},
      {"short item fails",
       {{"a.zxp", Fault::ShortBody(10)}, {"b.zxp"}},
       0,
       {false, false}},
      {"empty queue", {}, 1, {}},
  };
  downloader_->SetHost(server_.host().c_str());
  ASSERT_EQ(downloader_->Connect(server_.host().c_str(), server_.port()), 1);
  downloader_->SetRemoteDir("patch/v2");
  int run = 0;
  // One connection keeps to queue order; with several, an item after the
  // one that fails may already be in place, but only whole.
  for (const uint32_t connections : {1u, 6u}) {
    downloader_->SetConnections(connections);
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.name) + Numbered(", ", connections) +
                   " connections");
      const std::string prefix = Numbered("/patch/v2/r", run, "_");
      std::vector<std::string> bodies;
      for (size_t i = 0; i < c.items.size(); ++i) {
        const Item& item = c.items[i];
        bodies.push_back(Bytes(20000 + i * 1000, static_cast<uint32_t>(i)));
        if (item.served) server_.AddFile(prefix + item.name, bodies.back());
        if (item.fault) server_.SetFault(prefix + item.name, *item.fault);
        downloader_->AddRemoteFile(
            (Numbered("r", run, "_") + item.name).c_str());
        downloader_->AddLocalFile(
            Local(std::to_string(run) + item.name).c_str());
      }
      EXPECT_EQ(downloader_->DownloadQueue(), c.result);
      bool failed_before = false;
      for (size_t i = 0; i < c.items.size(); ++i) {
        const std::string local =
            Local(std::to_string(run) + c.items[i].name);
        if (connections == 1 || !failed_before || c.stored[i]) {
          EXPECT_EQ(Exists(local), c.stored[i]) << c.items[i].name;
        }
        if (Exists(local)) {
          EXPECT_TRUE(Read(local) == bodies[i]);
        }
        EXPECT_FALSE(Exists(local + std::string(kTempSuffix)));
        failed_before = failed_before || !c.stored[i];
      }
      ++run;
    }
  }
  // The resumed items asked for the rest of what they had.
  EXPECT_EQ(GetRanges("/patch/v2/r1_a.zxp"),
            (std::vector<std::string>{"", "bytes=5000-"}));
  EXPECT_EQ(GetRanges("/patch/v2/r1_c.zxp"),
            (std::vector<std::string>{"", "bytes=100-"}));
  EXPECT_EQ(GetRanges("/patch/v2/r6_a.zxp"),
            (std::vector<std::string>{"", "bytes=5000-"}));
}

TEST_F(DownloaderTest, QueueKeepsOneConnection) {
  ASSERT_EQ(downloader_->Connect(server_.host_port().c_str(), 80), 1);
  downloader_->SetConnections(1);
  for (int i = 0; i < 4; ++i) {
    const std::string name = Numbered("p", i, ".zxp");
    server_.AddFile("/" + name, Bytes(10000, i));
    EXPECT_EQ(downloader_->GetFileSize(name.c_str()), 10000u);
    downloader_->AddRemoteFile(name.c_str());
    downloader_->AddLocalFile(Local(name).c_str());
  }
  ASSERT_EQ(downloader_->DownloadQueue(), 1);
  const auto requests = server_.requests();
  ASSERT_EQ(requests.size(), 8u);
  // Wine's WinHTTP closes the connection a HEAD was answered on instead of
  // keeping it as Windows does, so there only the queue's GETs can share
  // one.
  const bool heads_keep_connection = !RunningUnderWine();
  const TestHttpServer::Request* first = nullptr;
  for (const auto& request : requests) {
    if (request.method == "HEAD" && !heads_keep_connection) continue;
    if (first == nullptr) first = &request;
    EXPECT_EQ(request.remote_port, first->remote_port)
        << request.method << " " << request.path;
  }
}

TEST_F(DownloaderTest, EndTransfersStopsARunningQueueWithinASecond) {
  struct Case {
    const char* name;
    Fault fault;
    uint32_t first_backoff_millis;
  };
  const std::vector<Case> cases = {
      {"data flowing slowly", Fault::SlowRate(20000), 10},
      // Nothing arrives, so only the loop's own wakeups can notice.
      {"link stalled", Fault::Stall(100, -1), 10},
      // Ended while waiting to retry a dropped connection.
      {"waiting to retry", Fault::DropAfter(100, -1), 20000},
  };
  server_.AddFile("/small.txt", "small");
  int n = 0;
  // Several connections, and pieces of the item on several of them, stop
  // just as fast.
  for (const uint32_t connections : {1u, 6u}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.name) + Numbered(", ", connections));
      downloader_->SetConnections(connections);
      const std::string name = Numbered("slow", n++, ".zxp");
      server_.AddFile("/" + name, Bytes(4 << 20, 3));
      server_.SetFault("/" + name, c.fault);
      ASSERT_EQ(downloader_->Connect(server_.host_port().c_str(), 80), 1);
      downloader_->SetStallTimeout(30000);
      downloader_->SetRetryPolicy(5, c.first_backoff_millis);
      downloader_->AddRemoteFile(name.c_str());
      downloader_->AddLocalFile(Local(name).c_str());

      std::atomic<int> result{-1};
      std::atomic<int64_t> returned_at{0};
      std::thread transfer([&] {
        result = downloader_->DownloadQueue();
        returned_at =
            std::chrono::steady_clock::now().time_since_epoch().count();
      });
      while (downloader_->GetReceivedBytes() == 0 && result == -1) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
      // Let the transfer settle into its slow, silent or waiting state.
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      const auto ended_at = std::chrono::steady_clock::now();
      downloader_->EndTransfers();
      transfer.join();

      EXPECT_EQ(result, 0);
      EXPECT_EQ(downloader_->GetLastFailure(), kHttpFailureStopped);
      const auto took =
          std::chrono::steady_clock::duration(returned_at.load()) -
          ended_at.time_since_epoch();
      EXPECT_LT(took, std::chrono::seconds(1));
      EXPECT_FALSE(Exists(Local(name)));
      EXPECT_FALSE(Exists(Local(name) + std::string(kTempSuffix)));

      // Later transfers fail without asking the server, until the next
      // Connect.
      server_.ClearRequests();
      const std::string url = server_.url("/small.txt");
      EXPECT_EQ(downloader_->DownloadFile(url.c_str(), Local("s").c_str()), 0);
      EXPECT_EQ(downloader_->GetFileSize("small.txt"), 0u);
      EXPECT_TRUE(server_.requests().empty());
      ASSERT_EQ(downloader_->Connect(server_.host_port().c_str(), 80), 1);
      EXPECT_EQ(downloader_->DownloadFile(url.c_str(), Local("s").c_str()), 1);
    }
  }
}

TEST_F(DownloaderTest, QueueCompleteBeforeEndTransfersStillSucceeds) {
  server_.AddFile("/a.zxp", Bytes(3000, 1));
  ASSERT_EQ(downloader_->Connect(server_.host_port().c_str(), 80), 1);
  downloader_->AddRemoteFile("a.zxp");
  downloader_->AddLocalFile(Local("a.zxp").c_str());
  ASSERT_EQ(downloader_->DownloadQueue(), 1);
  downloader_->EndTransfers();
  // The queue was consumed: running it again has nothing left to do.
  EXPECT_EQ(downloader_->DownloadQueue(), 1);
  EXPECT_TRUE(Exists(Local("a.zxp")));
}

// The engine's watcher polls from another thread and, once it sees the last
// item's full size, reads the files at once: a full count must mean the file
// is in place.
TEST_F(DownloaderTest, ProgressPolledFromAnotherThread) {
  const std::vector<size_t> sizes = {60000, 40000};
  std::vector<std::string> locals;
  for (size_t i = 0; i < sizes.size(); ++i) {
    const std::string name = Numbered("q", i, ".zxp");
    server_.AddFile("/" + name, Bytes(sizes[i], static_cast<uint32_t>(i)));
    server_.SetFault("/" + name, Fault::SlowRate(400000));
    locals.push_back(Local(name));
  }
  ASSERT_EQ(downloader_->Connect(server_.host_port().c_str(), 80), 1);
  // One at a time, in order: the index visits every item.
  downloader_->SetConnections(1);
  for (size_t i = 0; i < sizes.size(); ++i) {
    downloader_->AddRemoteFile((Numbered("q", i, ".zxp")).c_str());
    downloader_->AddLocalFile(locals[i].c_str());
  }

  std::atomic<bool> done{false};
  std::atomic<int> failures{0};
  std::atomic<int> highest_index{-1};
  std::thread watcher([&] {
    int last_index = 0;
    while (!done) {
      const int index = downloader_->GetCurrentIndex();
      const uint32_t bytes = downloader_->GetReceivedBytes();
      if (index < last_index || index < 0 ||
          index >= static_cast<int>(sizes.size())) {
        ++failures;
      } else if (bytes > sizes[index]) {
        ++failures;
      } else if (downloader_->GetCurrentIndex() == index &&
                 bytes == sizes[index] && !Exists(locals[index])) {
        ++failures;
      }
      last_index = index;
      if (index > highest_index) highest_index = index;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  const int result = downloader_->DownloadQueue();
  done = true;
  watcher.join();

  EXPECT_EQ(result, 1);
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(highest_index, 1);
  EXPECT_EQ(downloader_->GetCurrentIndex(), 1);
  EXPECT_EQ(downloader_->GetReceivedBytes(), sizes[1]);
}

// A large item is fetched in ranges over several connections, and its
// pieces meet exactly, whatever the links do to each of them.
TEST_F(DownloaderTest, LargeItemSplitOverConnectionsGivesTheExactBytes) {
  struct Case {
    const char* name;
    std::optional<Fault> fault;
    bool ask_size;
  };
  Fault slow_and_dropping = Fault::SlowRate(4 << 20);
  slow_and_dropping.drop_after = 700000;
  slow_and_dropping.drop_times = 3;
  Fault slow_ignoring_range = Fault::SlowRate(4 << 20);
  slow_ignoring_range.ignore_range = true;
  const std::vector<Case> cases = {
      {"size asked first", Fault::SlowRate(4 << 20), true},
      {"size from the answer", Fault::SlowRate(4 << 20), false},
      {"pieces dropping", slow_and_dropping, true},
      {"Range ignored", slow_ignoring_range, true},
  };
  const std::string body = Bytes(6 << 20, 11);
  ASSERT_EQ(downloader_->Connect(server_.host_port().c_str(), 80), 1);
  downloader_->SetStallTimeout(5000);
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string name = Numbered("big", n++, ".zxp");
    server_.AddFile("/" + name, body);
    if (c.fault) server_.SetFault("/" + name, *c.fault);
    if (c.ask_size) {
      EXPECT_EQ(downloader_->GetFileSize(name.c_str()), body.size());
    }
    downloader_->AddRemoteFile(name.c_str());
    downloader_->AddLocalFile(Local(name).c_str());
    // Hashed partly on the way and partly from disk: any byte missed or
    // hashed twice is a mismatch.
    downloader_->AddFileDigest(Md5Hex(body).c_str());
    ASSERT_EQ(downloader_->DownloadQueue(), 1) << downloader_->GetLastFailure();
    EXPECT_TRUE(Read(Local(name)) == body);
    EXPECT_EQ(downloader_->GetReceivedBytes64(), body.size());
    EXPECT_EQ(downloader_->GetQueueReceivedBytes64(), body.size());
    // Pieces of it travelled over several connections at once.
    std::set<int> ports;
    for (const auto& request : server_.RequestsFor("/" + name)) {
      if (request.method == "GET") ports.insert(request.remote_port);
    }
    EXPECT_GE(ports.size(), 3u);
  }
}

// The watcher's view while later items finish before an earlier one: the
// index is the lowest unfinished item, its bytes never pass its size, and
// the full size shows only once the file is in place.
TEST_F(DownloaderTest, WatcherSeesTheLowestUnfinishedItem) {
  const std::vector<size_t> sizes = {200000, 30000, 20000, 10000};
  std::vector<std::string> locals;
  for (size_t i = 0; i < sizes.size(); ++i) {
    const std::string name = Numbered("w", i, ".zxp");
    server_.AddFile("/" + name, Bytes(sizes[i], static_cast<uint32_t>(i)));
    // The first item is the slowest: the others overtake it.
    server_.SetFault("/" + name, Fault::SlowRate(i == 0 ? 400000 : 200000));
    locals.push_back(Local(name));
  }
  ASSERT_EQ(downloader_->Connect(server_.host_port().c_str(), 80), 1);
  downloader_->SetConnections(4);
  for (size_t i = 0; i < sizes.size(); ++i) {
    downloader_->AddRemoteFile((Numbered("w", i, ".zxp")).c_str());
    downloader_->AddLocalFile(locals[i].c_str());
  }
  std::atomic<bool> done{false};
  std::atomic<int> failures{0};
  std::atomic<bool> overtaken{false};
  std::thread watcher([&] {
    int last_index = 0;
    while (!done) {
      const int index = downloader_->GetCurrentIndex();
      const uint64_t bytes = downloader_->GetReceivedBytes64();
      const bool later_stored = Exists(locals[1]);
      // Bytes read between two equal indexes are that item's.
      if (downloader_->GetCurrentIndex() == index) {
        if (index < last_index || index < 0 ||
            index >= static_cast<int>(sizes.size()) ||
            bytes > sizes[index] ||
            (bytes == sizes[index] && !Exists(locals[index]))) {
          ++failures;
        }
        if (index == 0 && later_stored) overtaken = true;
        last_index = index;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  const int result = downloader_->DownloadQueue();
  done = true;
  watcher.join();
  EXPECT_EQ(result, 1);
  EXPECT_EQ(failures, 0);
  EXPECT_TRUE(overtaken);
  EXPECT_EQ(downloader_->GetCurrentIndex(), 3);
  EXPECT_EQ(downloader_->GetReceivedBytes(), sizes[3]);
}

// Mirrors share the queue with the connected server; one that fails is
// left out after its first failure and the item comes from the server.
TEST_F(DownloaderTest, FailingMirrorIsLeftOut) {
  struct Case {
    const char* name;
    bool mirror_up;      // the mirror answers at all
    bool mirror_has;     // it holds the files
    bool mirror_wrong;   // its bytes differ from the server's
    int mirror_gets;     // GETs the mirror sees over the whole queue
  };
  const std::vector<Case> cases = {
      {"good mirror", true, true, false, 2},
      {"refused connection", false, false, false, 0},
      {"404", true, false, false, 1},
      {"wrong bytes", true, true, true, 1},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto mirror = std::make_unique<TestHttpServer>();
    const std::string mirror_base = mirror->url("/m");
    if (!c.mirror_up) mirror.reset();  // nothing listens there any more
    ASSERT_EQ(downloader_->Connect(server_.host_port().c_str(), 80), 1);
    downloader_->SetConnections(1);
    // Nothing here stalls; a busy machine must not pass for a stall.
    downloader_->SetStallTimeout(5000);
    downloader_->SetMirrors(("ftp://ignored\r\n" + mirror_base + "\r\n").c_str());
    std::vector<std::string> bodies;
    for (int i = 0; i < 4; ++i) {
      const std::string name = Numbered("mi", n, "_") +
                               std::to_string(i) + ".zxp";
      bodies.push_back(Bytes(30000, n * 10 + i));
      server_.AddFile("/" + name, bodies.back());
      if (mirror && c.mirror_has) {
        mirror->AddFile("/m/" + name,
                        c.mirror_wrong ? Bytes(30000, 99) : bodies.back());
      }
      // Mirrors share only items whose size the server told.
      EXPECT_EQ(downloader_->GetFileSize64(name.c_str()), 30000u)
          << "failure " << downloader_->GetLastFailure() << " for item " << i;
      downloader_->AddRemoteFile(name.c_str());
      downloader_->AddLocalFile(Local(name).c_str());
      downloader_->AddFileDigest(Md5Hex(bodies.back()).c_str());
    }
    EXPECT_EQ(downloader_->DownloadQueue(), 1);
    for (int i = 0; i < 4; ++i) {
      const std::string local =
          Local(Numbered("mi", n, "_") + std::to_string(i) + ".zxp");
      EXPECT_TRUE(Exists(local) && Read(local) == bodies[i]);
    }
    if (mirror) {
      int gets = 0;
      for (const auto& request : mirror->requests()) {
        if (request.method == "GET") ++gets;
      }
      EXPECT_EQ(gets, c.mirror_gets);
    }
    // Closes the kept-alive connections, so the mirror stops at once.
    downloader_->Shutdown();
    ++n;
  }
}

// The pieces of a large item are spread over the server and a mirror; a
// mirror that ignores Range cannot serve a piece from the middle and is
// left out, the server taking its piece over.
TEST_F(DownloaderTest, PiecesSpreadOverMirrorAndServer) {
  struct Case {
    const char* name;
    bool mirror_ignores_range;
  };
  const std::vector<Case> cases = {{"mirror honours Range", false},
                                   {"mirror ignores Range", true}};
  const std::string body = Bytes(4 << 20, 21);
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestHttpServer mirror;
    const std::string name = Numbered("spread", n++, ".zxp");
    server_.AddFile("/" + name, body);
    // Slow enough that the first piece is still long when the other
    // connections, slow to start under a sanitizer, ask for work.
    server_.SetFault("/" + name, Fault::SlowRate(2 << 20));
    mirror.AddFile("/m/" + name, body);
    Fault mirror_fault = Fault::SlowRate(4 << 20);
    mirror_fault.ignore_range = c.mirror_ignores_range;
    mirror.SetFault("/m/" + name, mirror_fault);
    ASSERT_EQ(downloader_->Connect(server_.host_port().c_str(), 80), 1);
    downloader_->SetConnections(6);
    downloader_->SetStallTimeout(5000);
    downloader_->SetMirrors(mirror.url("/m/").c_str());
    EXPECT_EQ(downloader_->GetFileSize64(name.c_str()), body.size());
    downloader_->AddRemoteFile(name.c_str());
    downloader_->AddLocalFile(Local(name).c_str());
    downloader_->AddFileDigest(Md5Hex(body).c_str());
    ASSERT_EQ(downloader_->DownloadQueue(), 1);
    EXPECT_TRUE(Read(Local(name)) == body);
    size_t mirror_gets = 0;
    for (const auto& request : mirror.requests()) {
      if (request.method == "GET") ++mirror_gets;
    }
    EXPECT_GE(mirror_gets, 1u);
    if (c.mirror_ignores_range) {
      // Only pieces already under way when it was left out reached it.
      EXPECT_LE(mirror_gets, 5u);
    }
    // How many pieces the server gets depends on how far the first piece
    // got before the other connections asked for work; a piece the
    // mirror could not serve adds one to the server's share in any case.
    EXPECT_GE(GetRanges("/" + name).size(), c.mirror_ignores_range ? 2u : 1u);
    downloader_->Shutdown();
  }
}

// Wrong bytes from the connected server fail the item, and nothing is left.
TEST_F(DownloaderTest, DigestMismatchFromTheServerFails) {
  struct Case {
    const char* name;
    uint32_t connections;
    size_t size;
  };
  const std::vector<Case> cases = {
      {"one connection, in order", 1, 40000},
      {"pieces out of order", 6, 4 << 20},
  };
  ASSERT_EQ(downloader_->Connect(server_.host_port().c_str(), 80), 1);
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    downloader_->SetConnections(c.connections);
    const std::string name = Numbered("dg", n++, ".zxp");
    const std::string body = Bytes(c.size, n);
    server_.AddFile("/" + name, body);
    server_.SetFault("/" + name, Fault::SlowRate(8 << 20));
    EXPECT_EQ(downloader_->GetFileSize(name.c_str()), body.size());
    downloader_->AddRemoteFile(name.c_str());
    downloader_->AddLocalFile(Local(name).c_str());
    // The right digest with one digit changed, in upper case.
    std::string digest = Md5Hex(body);
    digest[0] = digest[0] == '0' ? '1' : '0';
    for (char& ch : digest) ch = static_cast<char>(std::toupper(ch));
    downloader_->AddFileDigest(digest.c_str());
    EXPECT_EQ(downloader_->DownloadQueue(), 0);
    EXPECT_EQ(downloader_->GetLastFailure(), kHttpFailureDigestMismatch);
    EXPECT_FALSE(Exists(Local(name)));
    EXPECT_FALSE(Exists(Local(name) + std::string(kTempSuffix)));
    // The same digest as it should be passes.
    downloader_->AddRemoteFile(name.c_str());
    downloader_->AddLocalFile(Local(name).c_str());
    downloader_->AddFileDigest(Md5Hex(body).c_str());
    EXPECT_EQ(downloader_->DownloadQueue(), 1);
  }
}

// Wrong bytes of one item are its own fault: an item in transfer beside it
// is still stored whole, for the next run to reuse; one not started is not
// fetched.
TEST_F(DownloaderTest, AWrongDigestLetsItemsInTransferFinish) {
  ASSERT_EQ(downloader_->Connect(server_.host_port().c_str(), 80), 1);
  downloader_->SetConnections(2);
  downloader_->SetStallTimeout(5000);
  const std::string bad = "wrong.zxp", beside = "beside.zxp", later = "later.zxp";
  const std::string bad_body = Bytes(1000, 1), beside_body = Bytes(1500000, 2),
                    later_body = Bytes(1000, 3);
  server_.AddFile("/" + bad, bad_body);
  server_.AddFile("/" + beside, beside_body);
  server_.AddFile("/" + later, later_body);
  // The wrong item's answer waits until the other one is surely on its
  // way, and that one lasts well beyond it.
  server_.SetFault("/" + bad, Fault::Delay(500));
  server_.SetFault("/" + beside, Fault::SlowRate(1 << 20));
  for (const auto& [name, body, digest] :
       {std::tuple{bad, bad_body, std::string(32, '0')},
        std::tuple{beside, beside_body, Md5Hex(beside_body)},
        std::tuple{later, later_body, Md5Hex(later_body)}}) {
    EXPECT_EQ(downloader_->GetFileSize(name.c_str()), body.size());
    downloader_->AddRemoteFile(name.c_str());
    downloader_->AddLocalFile(Local(name).c_str());
    downloader_->AddFileDigest(digest.c_str());
  }
  EXPECT_EQ(downloader_->DownloadQueue(), 0);
  EXPECT_EQ(downloader_->GetLastFailure(), kHttpFailureDigestMismatch);
  EXPECT_FALSE(Exists(Local(bad)));
  EXPECT_TRUE(Read(Local(beside)) == beside_body);
  EXPECT_FALSE(Exists(Local(later)));
}

// Sizes asked together go out side by side, up to twice the connection
// count: they carry no body.
TEST_F(DownloaderTest, GetFileSizesAsksConcurrently) {
  struct Case {
    uint32_t connections;
    int min_concurrent;
    int max_concurrent;
  };
  const std::vector<Case> cases = {{1, 1, 1}, {2, 2, 4}, {3, 2, 6}};
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.connections);
    TestHttpServer server;
    ASSERT_EQ(downloader_->Connect(server.host_port().c_str(), 80), 1);
    downloader_->SetConnections(c.connections);
    downloader_->SetStallTimeout(5000);
    std::vector<std::string> names;
    for (int i = 0; i < 6; ++i) {
      names.push_back(Numbered("s", n++, ".zxp"));
      server.AddFile("/" + names.back(), Bytes(1000 + i, i));
      server.SetFault("/" + names.back(), Fault::Delay(150));
    }
    names.push_back("missing.zxp");
    std::vector<const char*> texts;
    for (const std::string& name : names) texts.push_back(name.c_str());
    std::vector<uint64_t> sizes(texts.size(), 7);
    EXPECT_EQ(downloader_->GetFileSizes(static_cast<uint32_t>(texts.size()),
                                        texts.data(), sizes.data()),
              0);
    EXPECT_EQ(downloader_->GetLastFailure(), kHttpFailureHttpStatus);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(sizes[i], 1000u + i);
    EXPECT_EQ(sizes[6], 0u);
    EXPECT_GE(server.max_concurrent(), c.min_concurrent);
    EXPECT_LE(server.max_concurrent(), c.max_concurrent);
    // The sizes hold the queue as GetFileSize's do: a longer body fails.
    server.AddFile("/" + names[0], Bytes(2000, 1));
    downloader_->AddRemoteFile(names[0].c_str());
    downloader_->AddLocalFile(Local(names[0]).c_str());
    EXPECT_EQ(downloader_->DownloadQueue(), 0);
    EXPECT_EQ(downloader_->GetLastFailure(), kHttpFailureSizeMismatch);
  }
  downloader_.reset();  // before the servers of the cases are gone
}

// Small files fetched side by side: each as DownloadFile alone would, its
// own bound and deadline, and a failure of one takes nothing from the
// others.
TEST_F(DownloaderTest, DownloadFilesSideBySide) {
  struct File {
    const char* name;
    std::string body;
    std::optional<Fault> fault;
    uint32_t max_bytes;  // 0: SetFileLimits' bound
    int failure;
    bool duplicate_path = false;  // same local path as the file before it
  };
  const std::vector<File> files = {
      {"plain", Bytes(3000, 1), Fault::Delay(200), 0, kHttpFailureNone},
      {"missing", "", Fault::Status(404), 0, kHttpFailureHttpStatus},
      {"over its own bound", Bytes(5000, 2), Fault::Delay(200), 4999,
       kHttpFailureTooLarge},
      {"at its own bound", Bytes(5000, 3), Fault::Delay(200), 5000,
       kHttpFailureNone},
      {"over the common bound", Bytes(20001, 4), std::nullopt, 0,
       kHttpFailureTooLarge},
      {"trickles past the deadline", Bytes(20000, 5), Fault::SlowRate(2000),
       0, kHttpFailureDeadline},
      {"gzip stored decoded", Bytes(4000, 6), Fault::Encoded("gzip"), 0,
       kHttpFailureNone},
      {"into the same path", Bytes(100, 7), std::nullopt, 0,
       kHttpFailureBadRequest, true},
  };
  ASSERT_EQ(downloader_->Connect(server_.host_port().c_str(), 80), 1);
  downloader_->SetConnections(3);
  downloader_->SetFileLimits(20000, 1500);
  std::vector<std::string> urls;
  std::vector<std::string> locals;
  std::vector<uint32_t> bounds;
  for (size_t i = 0; i < files.size(); ++i) {
    const std::string path = Numbered("/many", static_cast<int>(i), ".bin");
    server_.AddFile(path, files[i].body);
    if (files[i].fault) server_.SetFault(path, *files[i].fault);
    urls.push_back(server_.url(path));
    locals.push_back(files[i].duplicate_path ? locals.back() : Local(path.substr(1)));
    bounds.push_back(files[i].max_bytes);
    // An older copy is no answer to this fetch: a failed one leaves none.
    ASSERT_TRUE(WriteFileAtomically(Env::Default(), locals.back(), "stale").ok());
  }
  std::vector<const char*> url_texts;
  std::vector<const char*> local_texts;
  for (size_t i = 0; i < files.size(); ++i) {
    url_texts.push_back(urls[i].c_str());
    local_texts.push_back(locals[i].c_str());
  }
  std::vector<int32_t> failures(files.size(), -1);
  EXPECT_EQ(downloader_->DownloadFiles(static_cast<uint32_t>(files.size()),
                                       url_texts.data(), local_texts.data(),
                                       bounds.data(), failures.data()),
            0);
  EXPECT_EQ(downloader_->GetLastFailure(), kHttpFailureHttpStatus);
  for (size_t i = 0; i < files.size(); ++i) {
    SCOPED_TRACE(files[i].name);
    EXPECT_EQ(failures[i], files[i].failure);
    if (files[i].duplicate_path) continue;  // the first of the two owns it
    EXPECT_EQ(Exists(locals[i]), files[i].failure == kHttpFailureNone);
    if (files[i].failure == kHttpFailureNone) {
      EXPECT_TRUE(Read(locals[i]) == files[i].body);
    }
    EXPECT_FALSE(Exists(locals[i] + std::string(kTempSuffix)));
  }
  EXPECT_EQ(server_.RequestsFor("/many7.bin").size(), 0u);
  EXPECT_GE(server_.max_concurrent(), 2);
  EXPECT_LE(server_.max_concurrent(), 3);

  // All stored: success, and no failure left to tell.
  const char* one_url = url_texts[0];
  const char* one_local = local_texts[0];
  EXPECT_EQ(downloader_->DownloadFiles(1, &one_url, &one_local, nullptr, nullptr), 1);
  EXPECT_EQ(downloader_->GetLastFailure(), kHttpFailureNone);
}

TEST_F(DownloaderTest, SizesAboveFourGibibytes) {
  if (sizeof(size_t) < 8) GTEST_SKIP() << "the test server cannot say it";
  const uint64_t five_gib = uint64_t{5} << 30;
  server_.AddFile("/huge.zxp", "x");
  server_.SetFault("/huge.zxp", Fault::HeadSays(five_gib));
  ASSERT_EQ(downloader_->Connect(server_.host_port().c_str(), 80), 1);
  EXPECT_EQ(downloader_->GetFileSize64("huge.zxp"), five_gib);
  EXPECT_EQ(downloader_->GetLastFailure(), kHttpFailureNone);
  EXPECT_EQ(downloader_->GetFileSize("huge.zxp"), 0u);
  EXPECT_EQ(downloader_->GetLastFailure(), kHttpFailureTooLarge);
  const char* name = "huge.zxp";
  uint64_t size = 0;
  EXPECT_EQ(downloader_->GetFileSizes(1, &name, &size), 1);
  EXPECT_EQ(size, five_gib);
}

TEST_F(DownloaderTest, ModuleTellsItsSlotCount) {
  EXPECT_EQ(GetHttpInterfaceSlots(), 38u);
  EXPECT_EQ(http::LoadedDownloaderSlots(), 38u);
}

// Remembers the most bytes any one file written through it ever held: what
// a hostile server managed to put on the disk, whatever was deleted later.
// Past a ceiling far above any case's bound appends fail, so a broken bound
// fails its case instead of filling the disk.
class CountingEnv : public EnvWrapper {
 public:
  explicit CountingEnv(Env* target) : EnvWrapper(target) {}

  uint64_t largest() const { return largest_; }
  void Reset() { largest_ = 0; }

  Status NewWritableFile(const std::string& path,
                         std::unique_ptr<WritableFile>* result) override {
    Status s = target()->NewWritableFile(path, result);
    if (s.ok()) *result = std::make_unique<Counted>(this, std::move(*result));
    return s;
  }
  Status NewPositionalFile(const std::string& path,
                           std::unique_ptr<PositionalFile>* result) override {
    Status s = target()->NewPositionalFile(path, result);
    if (s.ok()) {
      *result = std::make_unique<CountedPositional>(this, std::move(*result));
    }
    return s;
  }

 private:
  void Saw(uint64_t size) {
    uint64_t seen = largest_.load();
    while (seen < size && !largest_.compare_exchange_weak(seen, size)) {
    }
  }

  // The file's size is the end of the furthest write.
  class CountedPositional : public PositionalFile {
   public:
    CountedPositional(CountingEnv* env, std::unique_ptr<PositionalFile> file)
        : env_(env), file_(std::move(file)) {}
    Status WriteAt(uint64_t offset, std::string_view data) override {
      if (offset + data.size() > kCeiling) {
        return Status::IOError("test ceiling reached");
      }
      Status s = file_->WriteAt(offset, data);
      if (s.ok()) {
        uint64_t size = size_.load();
        while (size < offset + data.size() &&
               !size_.compare_exchange_weak(size, offset + data.size())) {
        }
        env_->Saw(size_.load());
      }
      return s;
    }
    Status Sync() override { return file_->Sync(); }
    Status Close() override { return file_->Close(); }

   private:
    static constexpr uint64_t kCeiling = 64 << 20;

    CountingEnv* const env_;
    const std::unique_ptr<PositionalFile> file_;
    std::atomic<uint64_t> size_{0};
  };

  class Counted : public WritableFile {
   public:
    Counted(CountingEnv* env, std::unique_ptr<WritableFile> file)
        : env_(env), file_(std::move(file)) {}
    Status Append(std::string_view data) override {
      if (size_ + data.size() > kCeiling) {
        return Status::IOError("test ceiling reached");
      }
      Status s = file_->Append(data);
      if (s.ok()) {
        size_ += data.size();
        uint64_t seen = env_->largest_.load();
        while (seen < size_ &&
               !env_->largest_.compare_exchange_weak(seen, size_)) {
        }
      }
      return s;
    }
    Status Flush() override { return file_->Flush(); }
    Status Sync() override { return file_->Sync(); }
    Status Close() override { return file_->Close(); }

   private:
    static constexpr uint64_t kCeiling = 64 << 20;

    CountingEnv* const env_;
    const std::unique_ptr<WritableFile> file_;
    uint64_t size_ = 0;
  };

  std::atomic<uint64_t> largest_{0};
};

// The hostile server's cases: the backend built on an Env that counts what
// reaches the disk and can fill up.
class HostileServerTest : public DownloaderTest {
 protected:
  void SetUp() override {
    DownloaderTest::SetUp();
    downloader_.reset();
    counting_ = std::make_unique<CountingEnv>(Env::Default());
    env_ = std::make_unique<FaultInjectionEnv>(counting_.get());
    hostile_ = std::make_unique<PlatformDownloader>(env_.get());
    hostile_->SetRetryPolicy(3, 10);
    hostile_->SetStallTimeout(300);
    ASSERT_EQ(hostile_->Connect(server_.host_port().c_str(), 80), 1);
  }
  void TearDown() override {
    hostile_.reset();
    DownloaderTest::TearDown();
  }

  struct Run {
    int result = -1;
    int failure = -1;
    uint64_t largest = 0;  // the most one file held on the disk
    std::chrono::milliseconds took{0};
    bool left = false;  // a file (final or temporary) is still there
  };

  // Fetches `path` from the server into a fresh local file, as a queue item
  // (announced by GetFileSize first when `ask_size`) or with DownloadFile.
  Run Fetch(const std::string& path, bool queue, bool ask_size = true) {
    counting_->Reset();
    const std::string local = Local(Numbered("out", ++fetches_));
    const auto start = std::chrono::steady_clock::now();
    Run run;
    if (queue) {
      if (ask_size) hostile_->GetFileSize(path.substr(1).c_str());
      hostile_->AddRemoteFile(path.substr(1).c_str());
      hostile_->AddLocalFile(local.c_str());
      run.result = hostile_->DownloadQueue();
    } else {
      run.result =
          hostile_->DownloadFile(server_.url(path).c_str(), local.c_str());
    }
    run.took = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    run.failure = hostile_->GetLastFailure();
    run.largest = counting_->largest();
    run.left = run.result == 0 &&
               (Exists(local) || Exists(local + std::string(kTempSuffix)));
    if (run.result == 1) stored_ = Read(local);
    return run;
  }

  std::unique_ptr<CountingEnv> counting_;
  std::unique_ptr<FaultInjectionEnv> env_;
  std::unique_ptr<PlatformDownloader> hostile_;
  std::string stored_;  // what the last successful Fetch stored
  int fetches_ = 0;
};

constexpr size_t kFileBytes = 50000;

// Queue items: a body never outgrows the size announced for it, and an
// answer that contradicts that size is refused before anything is written.
TEST_F(HostileServerTest, QueueItemsStayWithinTheirAnnouncedSize) {
  struct Case {
    const char* name;
    Fault fault;
    bool ask_size;       // GetFileSize before queueing
    int failure;         // kHttpFailureNone: the item is stored
    uint64_t max_bytes;  // the most the disk may ever have held
  };
  Fault shorter_head_chunked = Fault::HeadSays(40000);
  shorter_head_chunked.chunked = true;
  Fault longer_head_chunked = Fault::HeadSays(60000);
  longer_head_chunked.chunked = true;
  Fault chunked = Fault::LongerThanAnnounced(0);
  chunked.chunked = true;
  const std::vector<Case> cases = {
      {"endless chunked body", Fault::EndlessBody(), true,
       kHttpFailureBodyTooLong, kFileBytes},
      {"Content-Length far above the HEAD size",
       Fault::LongerThanAnnounced(100 << 20), true, kHttpFailureSizeMismatch,
       0},
      {"GET longer than HEAD said", Fault::HeadSays(40000), true,
       kHttpFailureSizeMismatch, 0},
      {"chunked GET longer than HEAD said", shorter_head_chunked, true,
       kHttpFailureBodyTooLong, 40000},
      {"chunked GET shorter than HEAD said", longer_head_chunked, true,
       kHttpFailureSizeMismatch, kFileBytes},
      {"overflowing Content-Length",
       Fault::LongerThanAnnounced(Fault::kEndless), true,
       kHttpFailureBadResponse, 0},
      {"negative second Content-Length",
       Fault::ExtraHeader("Content-Length", "-5"), true,
       kHttpFailureBadResponse, 0},
      {"encoded part", Fault::Encoded("gzip"), true, kHttpFailureBadResponse,
       0},
      // Without an announced size the answer's own Content-Length rules...
      {"no size asked, Content-Length counts",
       Fault::LongerThanAnnounced(10000), false, kHttpFailureNone,
       kFileBytes + 10000},
      {"no size asked, chunked and complete", chunked, false,
       kHttpFailureSizeMismatch, 0},
      // ...and a body of no stated size at all is not taken.
      {"no size asked, endless", Fault::EndlessBody(), false,
       kHttpFailureSizeMismatch, 0},
  };
  int n = 0;
  for (const uint32_t connections : {1u, 6u}) {
    hostile_->SetConnections(connections);
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.name) + Numbered(", ", connections));
      const std::string path = Numbered("/q", n++, ".zxp");
      server_.AddFile(path, Bytes(kFileBytes, n));
      server_.SetFault(path, c.fault);
      const Run run = Fetch(path, /*queue=*/true, c.ask_size);
      EXPECT_EQ(run.result, c.failure == kHttpFailureNone ? 1 : 0);
      EXPECT_EQ(run.failure, ReasonHere(c.name, c.failure));
      EXPECT_LE(run.largest, c.max_bytes);
      EXPECT_FALSE(run.left);
      EXPECT_LT(run.took, std::chrono::seconds(3));
    }
  }
}

// Single files (lists): bounded by the byte limit after decoding, asked
// for without encoding, decoded when encoded anyway.
TEST_F(HostileServerTest, SingleFilesStayWithinTheByteLimit) {
  constexpr uint32_t kLimit = 100000;
  struct Case {
    const char* name;
    std::string body;
    std::optional<Fault> fault;
    int failure;
    uint64_t max_bytes;
  };
  const std::string list = Bytes(30000, 5) + std::string(30000, 'a');
  // Forty times the limit once decoded; small enough that the server
  // compresses it well inside the stall timeout even under a sanitizer.
  const std::string zeros(4 << 20, '\0');
  Fault mislabelled = Fault::Encoded("x-gzip");  // a label, not compressed
  const std::vector<Case> cases = {
      {"endless chunked body", list, Fault::EndlessBody(),
       kHttpFailureTooLarge, kLimit},
      {"Content-Length above the limit", list,
       Fault::LongerThanAnnounced(100 << 20), kHttpFailureTooLarge, 0},
      {"a plain file over the limit", Bytes(kLimit + 1, 2), std::nullopt,
       kHttpFailureTooLarge, 0},
      {"a plain file at the limit", Bytes(kLimit, 2), std::nullopt,
       kHttpFailureNone, kLimit},
      {"gzip is stored decoded", list, Fault::Encoded("gzip"),
       kHttpFailureNone, list.size()},
      {"deflate is stored decoded", list, Fault::Encoded("deflate"),
       kHttpFailureNone, list.size()},
      {"gzip bomb stops at the limit", zeros, Fault::Encoded("gzip"),
       kHttpFailureTooLarge, kLimit},
      {"unknown coding", list, Fault::Encoded("br"), kHttpFailureBadResponse,
       0},
      {"not the coding it claims", list, mislabelled,
       kHttpFailureBadResponse, 0},
  };
  hostile_->SetFileLimits(kLimit, 5000);
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = Numbered("/list", n++, ".bin");
    server_.AddFile(path, c.body);
    if (c.fault) server_.SetFault(path, *c.fault);
    const Run run = Fetch(path, /*queue=*/false);
    EXPECT_EQ(run.result, c.failure == kHttpFailureNone ? 1 : 0);
    EXPECT_EQ(run.failure, c.failure);
    EXPECT_LE(run.largest, c.max_bytes);
    EXPECT_FALSE(run.left);
    EXPECT_LT(run.took, std::chrono::seconds(3));
    if (run.result == 1) {
      EXPECT_TRUE(stored_ == c.body);
    }
    for (const auto& request : server_.RequestsFor(path)) {
      EXPECT_EQ(request.accept_encoding, "identity");
    }
  }
}

// Servers that answer too slowly or never finish: a single file ends at
// its deadline, a queue item below the floor rate runs out of retries.
TEST_F(HostileServerTest, SlowServersEndInBoundedTime) {
  struct Case {
    const char* name;
    Fault fault;
    bool queue;
    int failure;
    std::chrono::milliseconds within;
  };
  Fault trickle_with_drops = Fault::SlowRate(200);
  trickle_with_drops.drop_after = 20;  // each attempt gains a little
  const std::vector<Case> cases = {
      {"list at 20 bytes a second", Fault::SlowRate(20), false,
       kHttpFailureDeadline, std::chrono::milliseconds(1500)},
      {"list stalled for good", Fault::Stall(100, -1), false,
       kHttpFailureDeadline, std::chrono::milliseconds(1500)},
      {"part at 20 bytes a second", Fault::SlowRate(20), true,
       kHttpFailureTooSlow, std::chrono::milliseconds(2500)},
      {"part trickling and dropping", trickle_with_drops, true,
       kHttpFailureTooSlow, std::chrono::milliseconds(2500)},
      {"part above the floor", Fault::SlowRate(40000), true, kHttpFailureNone,
       std::chrono::milliseconds(2500)},
  };
  hostile_->SetStallTimeout(5000);
  hostile_->SetFileLimits(0, 800);
  hostile_->SetRateFloor(1000, 200);
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = Numbered("/slow", n++, ".zxp");
    server_.AddFile(path, Bytes(20000, n));
    server_.SetFault(path, c.fault);
    const Run run = Fetch(path, c.queue);
    EXPECT_EQ(run.result, c.failure == kHttpFailureNone ? 1 : 0);
    EXPECT_EQ(run.failure, c.failure);
    EXPECT_FALSE(run.left);
    EXPECT_LT(run.took, c.within);
  }
}

// Headers that lie or overflow, ranges that do not fit, redirects away.
TEST_F(HostileServerTest, HostileHeadersAndRedirectsAreRefused) {
  struct Case {
    const char* name;
    Fault fault;
    bool queue;
    int failure;
  };
  const auto resumed_with = [](std::string content_range) {
    Fault fault = Fault::LyingRange(std::move(content_range));
    fault.drop_after = 1000;
    fault.drop_times = 1;
    return fault;
  };
  const std::string self = "127.0.0.1:" + std::to_string(server_.port());
  Fault big_headers = Fault::ExtraHeader("X-A", std::string(40000, 'a'));
  big_headers.headers.emplace_back("X-B", std::string(40000, 'b'));
  const std::vector<Case> cases = {
      {"redirect to another host",
       Fault::RedirectTo("http://elsewhere.invalid/x.bin"), false,
       kHttpFailureRedirect},
      {"scheme-relative redirect to another host",
       Fault::RedirectTo("//elsewhere.invalid/x.bin"), true,
       kHttpFailureRedirect},
      {"redirect on the same server", Fault::RedirectTo("/target.bin"), false,
       kHttpFailureNone},
      {"absolute redirect to the same server",
       Fault::RedirectTo("http://" + self + "/target.bin"), true,
       kHttpFailureNone},
      {"redirect loop", Fault::RedirectTo("/loop.bin"), false,
       kHttpFailureRedirect},
      {"oversized headers", big_headers, false, kHttpFailureBadResponse},
      {"range ending past the total", resumed_with("bytes 1000-99999/50000"),
       true, kHttpFailureBadResponse},
      {"range total unlike the announced size",
       resumed_with("bytes 1000-49999/60000"), true,
       kHttpFailureSizeMismatch},
      {"range not a number", resumed_with("bytes 1000-4x/50000"), false,
       kHttpFailureBadResponse},
      {"range longer than its Content-Length",
       resumed_with("bytes 1000-49000/50000"), false,
       kHttpFailureBadResponse},
  };
  server_.AddFile("/target.bin", Bytes(kFileBytes, 9));
  server_.AddFile("/loop.bin", "x");
  server_.SetFault("/loop.bin", Fault::RedirectTo("/loop.bin"));
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = Numbered("/h", n++, ".bin");
    server_.AddFile(path, Bytes(kFileBytes, n));
    server_.SetFault(path, c.fault);
    const Run run = Fetch(path, c.queue);
    const int failure = ReasonHere(c.name, c.failure);
    EXPECT_EQ(run.result, failure == kHttpFailureNone ? 1 : 0);
    EXPECT_EQ(run.failure, failure);
    EXPECT_FALSE(run.left);
    EXPECT_LE(run.largest, kFileBytes);
    EXPECT_LT(run.took, std::chrono::seconds(3));
  }
}

// The local side failing: a full disk must be told apart from other write
// failures, and neither leaves a file.
TEST_F(HostileServerTest, LocalWriteFailuresSayWhich) {
  struct Case {
    const char* name;
    bool queue;
    std::optional<uint64_t> space;  // bytes the disk takes
    int failed_renames;
    int failure;
  };
  const std::vector<Case> cases = {
      {"disk fills during a part", true, 10000, 0, kHttpFailureDiskFull},
      {"disk fills during a list", false, 10000, 0, kHttpFailureDiskFull},
      {"disk already full", true, 0, 0, kHttpFailureDiskFull},
      {"rename fails", false, std::nullopt, 1, kHttpFailureWriteFailed},
  };
  server_.AddFile("/w.zxp", Bytes(kFileBytes, 4));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.space) env_->FailWritesAfter(*c.space);
    env_->FailNextRenames(c.failed_renames);
    const Run run = Fetch("/w.zxp", c.queue);
    env_->StopFailingWrites();
    env_->FailNextRenames(0);
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.failure, c.failure);
    EXPECT_FALSE(run.left);
  }
}

}  // namespace
}  // namespace dizedir
