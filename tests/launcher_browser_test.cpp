// The launcher page in a real browser: headless Chromium loads the page the
// host program's `launcher` command serves, a mouse clicks its buttons, and
// what the page shows is read back from its elements, as a player sees it.
// A screenshot of the page during an update is kept beside the build
// (artifacts/launcher-page.png).

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "support/headless_browser.h"
#include "support/launcher_fixture.h"
#include "support/test_bytes.h"
#include "support/test_http_server.h"
#include "tools/common/json_output.h"

namespace dizedir {
namespace {

namespace fs = std::filesystem;

// The element's text, or null when the page lacks it.
std::string TextOf(const std::string& id) {
  return "(document.getElementById('" + id + "') || {}).textContent";
}

class LauncherInABrowser : public LauncherFixture {
 protected:
  void SetUp() override {
    // The news the server list points at, served beside the release.
    news_url_ = "http://" + update_server_.host_port() + "/news.html";
    update_server_.AddFile("/news.html",
                           "<!DOCTYPE html><title>News</title><p id=n>Season two is here");
    LauncherFixture::SetUp();
    const std::string chromium = HeadlessBrowser::FindChromium();
    ASSERT_FALSE(chromium.empty()) << "no chromium: scripts/deps.sh installs Debian's";
    ASSERT_TRUE(HeadlessBrowser::Start(chromium, (scratch_.path() / "profile").string(),
                                       (scratch_.path() / "browser.log").string(), &browser_)
                    .ok());
  }

  void TearDown() override {
    if (browser_ != nullptr) {
      EXPECT_EQ(browser_->ScriptErrors(), std::vector<std::string>{});
    }
    browser_.reset();
    LauncherFixture::TearDown();
  }

  std::string PageUrl() const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/?token=" + token_;
  }

  JsonDocument Value(const std::string& expression) {
    JsonDocument value;
    const Status s = browser_->Evaluate(expression, &value);
    EXPECT_TRUE(s.ok()) << s.ToString();
    return value;
  }

  std::string Text(const std::string& id) {
    const JsonDocument value = Value(TextOf(id));
    return value.is_string() ? value.get<std::string>() : "";
  }

  void Click(const std::string& id) {
    const Status s = browser_->Click(id);
    ASSERT_TRUE(s.ok()) << s.ToString();
  }

  void WaitUntil(const std::string& expression) {
    const Status s = browser_->WaitUntil(expression);
    ASSERT_TRUE(s.ok()) << s.ToString() << "\nstatus: " << Text("status")
                        << "\nlauncher: " << ReadBytes(output_);
  }

  std::unique_ptr<HeadlessBrowser> browser_;
};

TEST_F(LauncherInABrowser, UpdatesOnAClickAndThenPlays) {
  // Slow enough for the bars to be seen moving.
  update_server_.SetFault("/rel/upd3_1.zxp", TestHttpServer::Fault::SlowRate(15000));
  // The operator's style: the built-in one with the title recoloured. The
  // browser fetches it with the page's cookie, as it cannot add the token.
  WriteBytes(client_ / "launcher" / "launcher.css",
             ReadBytes(fs::path(DIZEDIR_LAUNCHER_PAGE_DIR) / "launcher.css") +
                 "\n.title { color: rgb(1, 2, 3); }\n");
  StartLauncher();
  ASSERT_TRUE(browser_->Open(PageUrl()).ok());
  EXPECT_EQ(Value("getComputedStyle(document.querySelector('.title')).color"), "rgb(1, 2, 3)");

  // The server list as a picker, its current region chosen, its news shown.
  WaitUntil("document.body.dataset.phase === 'idle'");
  EXPECT_EQ(Value("Array.from(document.getElementById('regions').options)"
                  ".map(function (o) { return o.textContent; })"),
            JsonDocument::parse(R"(["A", "B"])"));
  EXPECT_EQ(Value("document.getElementById('regions').value"), "1");
  EXPECT_EQ(Value("document.getElementById('news').hidden"), false);
  EXPECT_EQ(Value("document.getElementById('news-frame').src"), news_url_);
  EXPECT_EQ(Value("document.getElementById('play').disabled"), true);
  EXPECT_NE(Text("play-note"), "");

  Click("start");
  // The optional patch is asked in a dialog, and taken from it.
  WaitUntil("document.getElementById('prompt-dialog').open");
  Click("prompt-yes");
  WaitUntil("!document.getElementById('prompt-dialog').open");

  // The bars move while the parts arrive; Start has become Pause.
  WaitUntil("document.body.dataset.phase === 'updating' && "
            "document.getElementById('total-bar').value > 0 && "
            "document.getElementById('item-bar').value > 0");
  const JsonDocument first = Value("document.getElementById('total-bar').value");
  EXPECT_EQ(Text("start"), "Pause");
  EXPECT_NE(Text("total-text"), "");
  const fs::path artifacts = fs::path(DIZEDIR_ARTIFACT_DIR);
  fs::create_directories(artifacts);
  const Status shot = browser_->Screenshot((artifacts / "launcher-page.png").string());
  EXPECT_TRUE(shot.ok()) << shot.ToString();
  EXPECT_GT(fs::file_size(artifacts / "launcher-page.png"), 1000u);
  WaitUntil("document.getElementById('total-bar').value > " + first.dump() +
            " || !document.getElementById('play').disabled");

  // Current: Play on, nothing failed, the bars' texts of the update gone.
  WaitUntil("!document.getElementById('play').disabled");
  EXPECT_EQ(Value("document.body.dataset.phase"), "idle");
  EXPECT_EQ(Text("status"), "Update complete.");  // the shipped string library's
  EXPECT_EQ(Value("document.getElementById('failure').hidden"), true);
  EXPECT_EQ(Text("play-note"), "");
  EXPECT_EQ(Text("item-text"), "");
  EXPECT_EQ(ReadBytes(client_ / "data/a.txt"), "version three");
  // The optional patch was taken: fetched, and as every optional patch,
  // not applied.
  EXPECT_TRUE(fs::exists(client_ / "upd4.zip"));

  Click("play");
  EXPECT_TRUE(Eventually([&] { return fs::exists(client_ / "played.txt"); }));
  Click("quit");
  EXPECT_EQ(launcher_->Wait(), 0) << ReadBytes(output_);
  WaitUntil("document.body.dataset.phase === 'ended'");
}

// What went wrong reaches the page in words, with what to do about it, and
// once the server is mended Start brings the game up to date. A pause is
// no failure: the page says so, and Resume goes on from where it stopped.
TEST_F(LauncherInABrowser, FailuresAreToldInWordsAndStartMendsThem) {
  struct Case {
    const char* what;
    std::string path;
    TestHttpServer::Fault fault;
    bool asked;            // the optional-patch question comes before it
    bool pause;            // Pause is pressed once the part is arriving
    std::string kind;      // the failure's data-kind; empty for none
    std::string start_then;  // the Start button's text after it
  };
  const Case cases[] = {
      {"the patch list missing", "/rel/verlist.bin", TestHttpServer::Fault::Status(404), false,
       false, "connection", "Start"},
      {"a part the server refuses", "/rel/upd3_1.zxp", TestHttpServer::Fault::Status(500), true,
       false, "connection", "Start"},
      {"a pause", "/rel/upd3_1.zxp", TestHttpServer::Fault::SlowRate(3000), true, true, "",
       "Resume"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (launcher_ != nullptr) {
      TearDown();
      ResetClient();
      SetUp();
    }
    update_server_.SetFault(c.path, c.fault);
    StartLauncher();
    ASSERT_TRUE(browser_->Open(PageUrl()).ok());
    WaitUntil("document.body.dataset.phase === 'idle'");
    Click("start");
    if (c.asked) {
      WaitUntil("document.getElementById('prompt-dialog').open");
      Click("prompt-no");
    }
    if (c.pause) {
      const fs::path arriving = client_ / "upd3_1.zxp.dztmp";
      ASSERT_TRUE(Eventually([&] {
        std::error_code absent;
        return fs::file_size(arriving, absent) >= 3000 && !absent;
      }));
      WaitUntil("document.getElementById('start').textContent === 'Pause'");
      Click("start");
    }
    WaitUntil(c.kind.empty() ? "document.getElementById('start').textContent === 'Resume'"
                             : "!document.getElementById('failure').hidden");
    EXPECT_EQ(Value("document.body.dataset.phase"), "idle");
    EXPECT_EQ(Value("document.getElementById('failure').hidden"), c.kind.empty());
    EXPECT_EQ(Value("document.getElementById('failure').dataset.kind"), c.kind);
    if (c.kind.empty()) {
      EXPECT_EQ(Text("status"), "Paused. Press Resume to go on.");
    } else {
      EXPECT_EQ(Text("failure-text"), Text("status"));
      EXPECT_NE(Text("failure-advice"), "");
    }
    EXPECT_EQ(Text("start"), c.start_then);
    EXPECT_EQ(Value("document.getElementById('play').disabled"), true);
    EXPECT_EQ(ReadBytes(client_ / "data/a.txt"), "version one");

    // The parts that had arrived whole.
    std::vector<std::string> arrived;
    for (const auto& entry : fs::directory_iterator(client_)) {
      const std::string name = entry.path().filename().string();
      if (name.rfind("upd", 0) == 0 && entry.path().extension() != ".dztmp") {
        arrived.push_back("/rel/" + name);
      }
    }
    update_server_.ClearFault(c.path);
    update_server_.ClearRequests();
    Click("start");
    WaitUntil("document.getElementById('prompt-dialog').open");
    Click("prompt-no");
    WaitUntil("!document.getElementById('play').disabled");
    EXPECT_EQ(Value("document.getElementById('failure').hidden"), true);
    EXPECT_EQ(ReadBytes(client_ / "data/a.txt"), "version three");
    if (c.pause) {
      // The parts that had arrived before the pause are not fetched again.
      EXPECT_FALSE(arrived.empty());
      for (const std::string& part : arrived) {
        for (const auto& request : update_server_.RequestsFor(part)) {
          EXPECT_NE(request.method, "GET") << part;
        }
      }
    }
  }
}

// Another page the player has open, from another local server, cannot drive
// the launcher, though the browser holds the launcher page's cookie; the
// launcher's address without its token shows only why it refuses.
TEST_F(LauncherInABrowser, PagesWithoutTheTokenCannotDriveIt) {
  update_server_.AddFile("/elsewhere.html", "<!DOCTYPE html><title>Elsewhere</title>");
  StartLauncher();
  // Before the page was ever opened: without the token, only why not.
  const std::string base = "http://127.0.0.1:" + std::to_string(port_) + "/";
  ASSERT_TRUE(browser_->Open(base).ok());
  const JsonDocument refused = Value("document.body.textContent");
  EXPECT_NE(refused.get<std::string>().find("needs the address the launcher printed"),
            std::string::npos)
      << refused;

  ASSERT_TRUE(browser_->Open(PageUrl()).ok());
  WaitUntil("document.body.dataset.phase === 'idle'");
  ASSERT_TRUE(browser_->Open(news_url_.substr(0, news_url_.rfind('/')) + "/elsewhere.html").ok());
  for (const char* action : {"start", "verify", "quit"}) {
    SCOPED_TRACE(action);
    // Sent as a form would be, so no preflight stops it on the way: only
    // the launcher can refuse it.
    Value("fetch('" + base + "action/" + std::string(action) +
          "', {method: 'POST', mode: 'no-cors', credentials: 'include'})"
          ".then(function () { return 'sent'; }, function (e) { return String(e); })");
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const httplib::Result state = http_->Get(("/state?token=" + token_).c_str());
  ASSERT_TRUE(state);
  const JsonDocument view = JsonDocument::parse(state->body);
  EXPECT_EQ(view["phase"], "idle");
  EXPECT_TRUE(update_server_.RequestsFor("/rel/verlist.bin").empty());
}

}  // namespace
}  // namespace dizedir
