// The launcher end to end: the host program's `launcher` command with the
// real plug-in in a client directory, a server list and a release on
// loopback servers, driven over HTTP the way its page drives it.

#include <gtest/gtest.h>
#include <httplib.h>

#include <signal.h>

#include <string>
#include <vector>

#include "support/event_stream_reader.h"
#include "support/launcher_fixture.h"
#include "support/test_bytes.h"
#include "support/test_http_server.h"
#include "tools/common/json_output.h"

namespace dizedir {
namespace {

namespace fs = std::filesystem;

class LauncherEndToEnd : public LauncherFixture {};

TEST_F(LauncherEndToEnd, UpdatesFromThePageAndStartsTheGame) {
  // Slow enough for the page to see the transfer move.
  update_server_.SetFault("/rel/upd3_1.zxp", TestHttpServer::Fault::SlowRate(15000));
  StartLauncher();
  // Nothing without the token, with it the page.
  httplib::Result res = http_->Get("/");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 403);
  res = http_->Get("/events");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 403);
  res = http_->Get(("/?token=" + token_).c_str());
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  EXPECT_NE(res->body.find("id=\"start\""), std::string::npos);

  {
    EventStreamReader events(port_, "/events?token=" + token_);
    events.WaitFor("\"phase\":\"idle\"");
    res = Act("start");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200) << res->body;
    // The optional patch is offered, and declined from the page.
    const std::string asked = events.WaitFor("\"askOptional\":true");
    ASSERT_NE(asked.find("\"askOptional\":true"), std::string::npos) << asked;
    res = Act("answer", "&download=no");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200) << res->body;
    const std::string updated = events.WaitFor("\"current\":true");
    ASSERT_NE(updated.find("\"current\":true"), std::string::npos) << ReadBytes(output_);

    res = Act("play");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200) << res->body;
    EXPECT_TRUE(Eventually([&] { return fs::exists(client_ / "played.txt"); }));

    res = Act("quit");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200) << res->body;
    EXPECT_EQ(launcher_->Wait(), 0) << ReadBytes(output_);

    // The views came as events, in order: the list, the update moving,
    // Play offered once the client was current, and the end.
    bool moved = false, play_before_current = false, play_when_current = false;
    std::string last_phase;
    for (const std::string& data : EventData(events.WaitForEnd())) {
      const JsonDocument view = JsonDocument::parse(data);
      if (view["phase"] == "updating" && view["progress"].get<int>() > 0) moved = true;
      const bool play = view["actions"]["play"].get<bool>();
      if (play && !view["current"].get<bool>()) play_before_current = true;
      if (play && view["current"].get<bool>()) play_when_current = true;
      last_phase = view["phase"];
    }
    EXPECT_TRUE(moved);
    EXPECT_FALSE(play_before_current);
    EXPECT_TRUE(play_when_current);
    EXPECT_EQ(last_phase, "ended");
  }
  EXPECT_EQ(ReadBytes(client_ / "data/a.txt"), "version three");
  EXPECT_EQ(ReadBytes(client_ / "c.bin"), RandomBytes(90000, 12345));
  EXPECT_EQ(ReadBytes(client_ / "played.txt"), "played\n");
}

TEST_F(LauncherEndToEnd, AnInterruptStopsTheUpdateCleanly) {
  update_server_.SetFault("/rel/upd3_1.zxp", TestHttpServer::Fault::SlowRate(2000));
  StartLauncher();
  {
    EventStreamReader events(port_, "/events?token=" + token_);
    events.WaitFor("\"phase\":\"idle\"");
    ASSERT_TRUE(Act("start"));
    events.WaitFor("\"askOptional\":true");
    ASSERT_TRUE(Act("answer", "&download=no"));
    ASSERT_TRUE(Eventually([&] { return !update_server_.RequestsFor("/rel/upd3_1.zxp").empty(); }));
    launcher_->Kill(SIGINT);
    EXPECT_EQ(launcher_->Wait(), 130);
    const std::vector<std::string> views = EventData(events.WaitForEnd());
    ASSERT_FALSE(views.empty());
    const JsonDocument last = JsonDocument::parse(views.back());
    EXPECT_EQ(last["phase"], "ended");
    EXPECT_TRUE(last["paused"].get<bool>());
  }
  EXPECT_NE(ReadBytes(output_).find("stopped; run the same command again to resume"),
            std::string::npos)
      << ReadBytes(output_);
  EXPECT_EQ(ReadBytes(client_ / "data/a.txt"), "version one");
}

}  // namespace
}  // namespace dizedir
