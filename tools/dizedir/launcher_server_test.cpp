#include "launcher_server.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "scripted_plugin.h"
#include "support/event_stream_reader.h"
#include "support/scratch_dir.h"
#include "tools/common/json_output.h"

namespace dizedir {
namespace {

namespace fs = std::filesystem;

const std::string kToken = "00112233445566778899aabbccddeeff";
const std::string kPng = std::string("\x89PNG\r\n\x1a\n", 8) + std::string(20, '\0');

void Write(const fs::path& path, const std::string& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

// A client directory with a branding folder that replaces the page and
// adds an image, and a secret beside it that no request may read.
class LauncherServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    client_ = scratch_.path() / "client";
    Write(client_ / "ng.ini", "[SETTING]\r\nSecret=SECRET\r\n");
    Write(scratch_.path() / "outside" / "secret.txt", "SECRET");
    Write(client_ / "launcher" / "index.html", "<html>branded page</html>");
    Write(client_ / "launcher" / "images" / "logo.png", kPng);
    fs::create_symlink(client_ / "ng.ini", client_ / "launcher" / "escape.txt");
    fs::create_directory_symlink(scratch_.path() / "outside", client_ / "launcher" / "linked");
    plugin_.region_names = {u"North", u"South", u"East"};
    LauncherSessionOptions options;
    options.env = Env::Default();
    options.client_dir = client_.string() + "/";
    session_ = std::make_unique<LauncherSession>(&plugin_, options);
    session_->Begin();
    session_->Tick(100);  // the server list is in
  }

  void StartServer(uint32_t keepalive_millis = 15000) {
    LauncherServerOptions options;
    options.env = Env::Default();
    options.branding_dir = (client_ / "launcher").string();
    options.token = kToken;
    options.keepalive_millis = keepalive_millis;
    ASSERT_TRUE(LauncherServer::Start(session_.get(), options, &server_).ok());
    client_http_ = std::make_unique<httplib::Client>("127.0.0.1", server_->port());
    client_http_->set_url_encode(false);
  }

  std::string Cookie(int port) const {
    return "dizedir_launcher_" + std::to_string(port) + "=" + kToken;
  }

  ScratchDir scratch_{"launcher_server"};
  fs::path client_;
  ScriptedPlugin plugin_;
  std::unique_ptr<LauncherSession> session_;
  std::unique_ptr<LauncherServer> server_;
  std::unique_ptr<httplib::Client> client_http_;
};

TEST_F(LauncherServerTest, AnswersOnlyRequestsThatCarryTheToken) {
  StartServer();
  const int port = server_->port();
  EXPECT_EQ(server_->url(), "http://127.0.0.1:" + std::to_string(port) + "/?token=" + kToken);
  const std::string t = "token=" + kToken;
  struct Case {
    const char* name;
    std::string method;
    std::string target;
    httplib::Headers headers;
    int status;
    std::string content_type;  // "" when not checked
    std::string body;          // what the body holds
  };
  const Case cases[] = {
      {"page without the token", "GET", "/", {}, 403, "", ""},
      {"page with a wrong token", "GET", "/?token=00112233445566778899aabbccddeefe", {}, 403, "",
       ""},
      {"page with a short token", "GET", "/?token=0011", {}, 403, "", ""},
      {"the branded page", "GET", "/?" + t, {}, 200, "text/html; charset=utf-8", "branded page"},
      {"the branded page by name", "GET", "/index.html?" + t, {}, 200, "", "branded page"},
      {"the default style", "GET", "/launcher.css?" + t, {}, 200, "text/css; charset=utf-8",
       "--accent"},
      {"the default script", "GET", "/launcher.js?" + t, {}, 200,
       "text/javascript; charset=utf-8", "EventSource"},
      {"a branded image by the page's cookie", "GET", "/images/logo.png",
       {{"Cookie", "theme=dark; " + Cookie(port)}}, 200, "image/png", kPng},
      {"a file by another launcher's cookie", "GET", "/images/logo.png",
       {{"Cookie", Cookie(port + 1)}}, 403, "", ""},
      {"the state by cookie", "GET", "/state", {{"Cookie", Cookie(port)}}, 403, "", ""},
      {"the events by cookie", "GET", "/events", {{"Cookie", Cookie(port)}}, 403, "", ""},
      {"an action by cookie", "POST", "/action/quit", {{"Cookie", Cookie(port)}}, 403, "", ""},
      {"the state by header", "GET", "/state", {{"X-Launcher-Token", kToken}}, 200,
       "application/json", "\"phase\":\"idle\""},
      {"the state", "GET", "/state?" + t, {}, 200, "application/json", "\"name\":\"South\""},
      {"the events without the token", "GET", "/events", {}, 403, "", ""},
      {"an action without the token", "POST", "/action/start", {}, 403, "", ""},
      {"an action with a wrong token", "POST", "/action/start?token=" + std::string(32, '0'), {},
       403, "", ""},
      {"verify from a region", "POST", "/action/verify?" + t + "&region=1", {}, 200,
       "application/json", "{\"ok\":true}"},
      {"play before the game is current", "POST", "/action/play?" + t, {}, 409,
       "application/json", "up to date"},
      {"a region the list lacks", "POST", "/action/start?" + t + "&region=7", {}, 409, "",
       "no region 7"},
      {"a region that is no number", "POST", "/action/start?" + t + "&region=x", {}, 400, "", ""},
      {"a region past 255", "POST", "/action/start?" + t + "&region=256", {}, 400, "", ""},
      {"an answer without its choice", "POST", "/action/answer?" + t, {}, 400, "", ""},
      {"an unknown action", "POST", "/action/dance?" + t, {}, 404, "", ""},
      {"a missing file", "GET", "/nothing.png?" + t, {}, 404, "", ""},
      {"a climbing path", "GET", "/../ng.ini?" + t, {}, 403, "", ""},
      {"a climbing path, encoded", "GET", "/%2e%2e/ng.ini?" + t, {}, 403, "", ""},
      {"a climbing path through a folder", "GET", "/images/..%2F..%2Fng.ini?" + t, {}, 403, "",
       ""},
      {"a climbing path with a backslash", "GET", "/..%5Cng.ini?" + t, {}, 403, "", ""},
      {"a link to a file outside", "GET", "/escape.txt?" + t, {}, 403, "", ""},
      {"a link to a folder outside", "GET", "/linked/secret.txt?" + t, {}, 403, "", ""},
      {"a drive name", "GET", "/C:%5Cng.ini?" + t, {}, 403, "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const httplib::Result res = c.method == "GET"
                                    ? client_http_->Get(c.target.c_str(), c.headers)
                                    : client_http_->Post(c.target.c_str(), c.headers, "",
                                                         "text/plain");
    ASSERT_TRUE(res) << httplib::to_string(res.error());
    EXPECT_EQ(res->status, c.status) << res->body;
    if (!c.content_type.empty()) {
      EXPECT_EQ(res->get_header_value("Content-Type"), c.content_type);
    }
    EXPECT_NE(res->body.find(c.body), std::string::npos) << res->body;
    EXPECT_EQ(res->body.find("SECRET"), std::string::npos);
    if (res->status == 403) {
      EXPECT_EQ(res->body.find(kToken), std::string::npos);
    }
  }
  // Only the one accepted action reached the plug-in.
  session_->Tick(200);
  EXPECT_EQ(plugin_.calls,
            (std::vector<std::string>{"StartServerList", "WaitServerList", "StartVerify 1"}));
}

TEST_F(LauncherServerTest, ThePageCookieIsSetForThisPortOnly) {
  StartServer();
  const httplib::Result res = client_http_->Get(("/?token=" + kToken).c_str());
  ASSERT_TRUE(res);
  const std::string cookie = res->get_header_value("Set-Cookie");
  EXPECT_EQ(cookie.rfind(Cookie(server_->port()) + ";", 0), 0u) << cookie;
  EXPECT_NE(cookie.find("HttpOnly"), std::string::npos);
  EXPECT_NE(cookie.find("SameSite=Strict"), std::string::npos);
  EXPECT_EQ(res->get_header_value("Referrer-Policy"), "no-referrer");
}

TEST_F(LauncherServerTest, WithoutABrandingFolderThePageIsTheBuiltInOne) {
  fs::remove_all(client_ / "launcher");
  StartServer();
  const httplib::Result res = client_http_->Get(("/?token=" + kToken).c_str());
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  for (const char* id : {"id=\"regions\"", "id=\"start\"", "id=\"total-bar\"", "id=\"item-bar\"",
                         "id=\"total-text\"", "id=\"item-text\"", "id=\"status\"",
                         "id=\"prompt-dialog\"", "id=\"prompt-yes\"", "id=\"prompt-no\"",
                         "id=\"play\"", "id=\"failure\"", "id=\"verify\""}) {
    EXPECT_NE(res->body.find(id), std::string::npos) << id;
  }
}

TEST_F(LauncherServerTest, StreamsEveryChangeAndTheLastViewBeforeItStops) {
  plugin_.update_steps = {{kPollRunning, u"Downloading", 100}, {kPollRunning, u"Downloading", 200}};
  StartServer(50);
  EventStreamReader reader(server_->port(), "/events?token=" + kToken);
  // At once: the view as it stands, and how soon to come back.
  std::string text = reader.WaitFor("\"phase\":\"idle\"");
  EXPECT_EQ(text.rfind("retry: 2000\n\ndata: {", 0), 0u) << text;

  LauncherAction start;
  start.kind = LauncherAction::Kind::kStart;
  ASSERT_TRUE(session_->Submit(start).ok());
  session_->Tick(300);
  session_->Tick(400);
  text = reader.WaitFor("\"progress\":200");
  // Nothing changes for a while: the stream says it is alive.
  text = reader.WaitFor(": keepalive\n\n");
  EXPECT_NE(text.find(": keepalive\n\n"), std::string::npos);

  LauncherAction quit;
  quit.kind = LauncherAction::Kind::kQuit;
  ASSERT_TRUE(session_->Submit(quit).ok());
  session_->Tick(500);
  server_->Stop();
  text = reader.WaitForEnd();
  EXPECT_EQ(reader.content_type(), "text/event-stream");
  const std::vector<std::string> events = EventData(text);
  ASSERT_GE(events.size(), 3u) << text;
  EXPECT_NE(events.front().find("\"phase\":\"idle\""), std::string::npos);
  EXPECT_NE(events.back().find("\"phase\":\"ended\""), std::string::npos) << events.back();
  // Each event is one whole view, numbered in order.
  uint64_t last = 0;
  for (const std::string& event : events) {
    const JsonDocument view = JsonDocument::parse(event);
    EXPECT_GT(view["sequence"].get<uint64_t>(), last);
    last = view["sequence"].get<uint64_t>();
    EXPECT_TRUE(view.contains("totalFraction"));
  }
}

}  // namespace
}  // namespace dizedir
