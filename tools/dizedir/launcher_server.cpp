#include "launcher_server.h"

#include <httplib.h>
#include <sodium.h>

#include <chrono>
#include <utility>

#include "launcher_assets.h"
#include "tools/common/json_output.h"

namespace dizedir {
namespace {

// Page reloads and a few tabs, each with an event stream, plus the
// requests of a page being loaded.
constexpr int kServerThreads = LauncherServer::kMaxStreams + 6;
// How long Stop lets the streams send their last view.
constexpr auto kStreamDrainTime = std::chrono::seconds(2);
// What the browser waits before it opens a dropped stream again.
constexpr int kRetryMillis = 2000;

// Compares in time that does not depend on where the texts differ, so the
// token cannot be guessed a digit at a time.
bool SameToken(const std::string& given, const std::string& token) {
  return given.size() == token.size() &&
         sodium_memcmp(given.data(), token.data(), token.size()) == 0;
}

std::string CookieName(int port) { return "dizedir_launcher_" + std::to_string(port); }

// The value of cookie `name` in a Cookie header; empty when absent.
std::string CookieValue(const std::string& header, const std::string& name) {
  size_t start = 0;
  while (start < header.size()) {
    size_t end = header.find(';', start);
    if (end == std::string::npos) end = header.size();
    size_t first = header.find_first_not_of(' ', start);
    if (first != std::string::npos && first < end) {
      const std::string pair = header.substr(first, end - first);
      const size_t eq = pair.find('=');
      if (eq != std::string::npos && pair.compare(0, eq, name) == 0) return pair.substr(eq + 1);
    }
    start = end + 1;
  }
  return std::string();
}

bool IsApiPath(const std::string& path) {
  return path == "/state" || path == "/events" || path.rfind("/action/", 0) == 0;
}

void Answer(httplib::Response& res, int status, const JsonDocument& body) {
  res.status = status;
  res.set_content(JsonLine(body), "application/json");
}

std::string Event(const LauncherView& view) {
  return "data: " + LauncherViewJson(view) + "\n\n";
}

// The region parameter of an action: absent, or a number below 256.
bool ParseRegion(const httplib::Request& req, LauncherAction* action) {
  if (!req.has_param("region")) return true;
  const std::string text = req.get_param_value("region");
  if (text.empty() || text.size() > 3 || text.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  const unsigned region = static_cast<unsigned>(std::stoul(text));
  if (region > 255) return false;
  action->region = region;
  return true;
}

}  // namespace

Status NewLauncherToken(std::string* token) {
  if (sodium_init() < 0) return Status::IOError("the random source cannot be used");
  unsigned char bytes[16];
  randombytes_buf(bytes, sizeof bytes);
  static const char kHex[] = "0123456789abcdef";
  token->clear();
  for (unsigned char byte : bytes) {
    token->push_back(kHex[byte >> 4]);
    token->push_back(kHex[byte & 15]);
  }
  return Status::OK();
}

LauncherServer::LauncherServer(LauncherSession* session, LauncherServerOptions options)
    : session_(session), options_(std::move(options)), http_(new httplib::Server) {}

LauncherServer::~LauncherServer() { Stop(); }

std::string LauncherServer::url() const {
  return "http://127.0.0.1:" + std::to_string(port_) + "/?token=" + options_.token;
}

Status LauncherServer::Start(LauncherSession* session, const LauncherServerOptions& options,
                             std::unique_ptr<LauncherServer>* server) {
  if (options.token.empty()) return Status::InvalidArgument("the launcher needs a token");
  std::unique_ptr<LauncherServer> started(new LauncherServer(session, options));
  httplib::Server& http = *started->http_;
  http.new_task_queue = [] { return new httplib::ThreadPool(kServerThreads); };
  http.set_payload_max_length(4096);
  http.set_default_headers({
      {"Cache-Control", "no-store"},
      {"X-Content-Type-Options", "nosniff"},
      // The page's address holds the token; nothing it links to learns it.
      {"Referrer-Policy", "no-referrer"},
      {"X-Frame-Options", "DENY"},
      {"Content-Security-Policy", "frame-ancestors 'none'"},
  });
  started->Route();
  if (options.port == 0) {
    started->port_ = http.bind_to_any_port("127.0.0.1");
  } else if (http.bind_to_port("127.0.0.1", options.port)) {
    started->port_ = options.port;
  } else {
    started->port_ = -1;
  }
  if (started->port_ <= 0) {
    started->stopped_ = true;
    return Status::IOError("cannot listen on 127.0.0.1:" + std::to_string(options.port));
  }
  LauncherServer* self = started.get();
  started->listener_ = std::thread([self] { self->http_->listen_after_bind(); });
  *server = std::move(started);
  return Status::OK();
}

void LauncherServer::Route() {
  httplib::Server& http = *http_;
  http.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
    std::string given = req.get_param_value("token");
    if (given.empty()) given = req.get_header_value("X-Launcher-Token");
    // A cookie comes with every request the browser makes here, whichever
    // page caused it, so it opens only the page's own files, never the
    // views or the actions.
    if (given.empty() && req.method == "GET" && !IsApiPath(req.path)) {
      given = CookieValue(req.get_header_value("Cookie"), CookieName(port_));
    }
    if (SameToken(given, options_.token)) return httplib::Server::HandlerResponse::Unhandled;
    res.status = 403;
    res.set_content("This launcher page needs the address the launcher printed.\n",
                    "text/plain; charset=utf-8");
    return httplib::Server::HandlerResponse::Handled;
  });

  http.Get("/state", [this](const httplib::Request&, httplib::Response& res) {
    res.set_content(LauncherViewJson(session_->View()), "application/json");
  });

  http.Get("/events", [this](const httplib::Request&, httplib::Response& res) {
    if (streams_.fetch_add(1) >= kMaxStreams) {
      streams_.fetch_sub(1);
      Answer(res, 503, {{"ok", false}, {"error", "too many pages are open"}});
      return;
    }
    struct Stream {
      bool begun = false;
      uint64_t sent = 0;
    };
    auto stream = std::make_shared<Stream>();
    res.set_chunked_content_provider(
        "text/event-stream",
        [this, stream](size_t, httplib::DataSink& sink) {
          if (!stream->begun) {
            stream->begun = true;
            const LauncherView view = session_->View();
            stream->sent = view.sequence;
            const std::string first =
                "retry: " + std::to_string(kRetryMillis) + "\n\n" + Event(view);
            return sink.write(first.data(), first.size());
          }
          LauncherView view;
          if (session_->WaitForView(stream->sent, options_.keepalive_millis, &view)) {
            stream->sent = view.sequence;
            const std::string event = Event(view);
            return sink.write(event.data(), event.size());
          }
          if (session_->closed()) {
            // The last view, if this stream has not sent it yet, then the end.
            view = session_->View();
            if (view.sequence > stream->sent) {
              stream->sent = view.sequence;
              const std::string event = Event(view);
              if (!sink.write(event.data(), event.size())) return false;
            }
            sink.done();
            return true;
          }
          static const std::string kKeepalive = ": keepalive\n\n";
          return sink.write(kKeepalive.data(), kKeepalive.size());
        },
        [this](bool) { streams_.fetch_sub(1); });
  });

  http.Post("/action/([a-z]+)", [this](const httplib::Request& req, httplib::Response& res) {
    using Kind = LauncherAction::Kind;
    const std::string name = req.matches[1];
    LauncherAction action;
    if (name == "start") {
      action.kind = Kind::kStart;
    } else if (name == "pause") {
      action.kind = Kind::kPause;
    } else if (name == "answer") {
      action.kind = Kind::kAnswer;
      const std::string download = req.get_param_value("download");
      if (download != "yes" && download != "no") {
        Answer(res, 400, {{"ok", false}, {"error", "answer needs download=yes or download=no"}});
        return;
      }
      action.download_optional = download == "yes";
    } else if (name == "verify") {
      action.kind = Kind::kVerify;
    } else if (name == "repair") {
      action.kind = Kind::kRepair;
    } else if (name == "play") {
      action.kind = Kind::kPlay;
    } else if (name == "quit") {
      action.kind = Kind::kQuit;
    } else {
      Answer(res, 404, {{"ok", false}, {"error", "no such action: " + name}});
      return;
    }
    if (!ParseRegion(req, &action)) {
      Answer(res, 400, {{"ok", false}, {"error", "region must be a number from 0 to 255"}});
      return;
    }
    const Status s = session_->Submit(action);
    if (!s.ok()) {
      Answer(res, 409, {{"ok", false}, {"error", s.message()}});
      return;
    }
    Answer(res, 200, {{"ok", true}});
  });

  http.Get("/.*", [this](const httplib::Request& req, httplib::Response& res) {
    LauncherAsset asset;
    const Status s = FindLauncherAsset(options_.env, options_.branding_dir, req.path, &asset);
    if (!s.ok()) {
      res.status = s.IsNotFound() ? 404 : 403;
      res.set_content(s.IsNotFound() ? "No such file.\n" : "Refused.\n",
                      "text/plain; charset=utf-8");
      return;
    }
    if (asset.content_type.rfind("text/html", 0) == 0) {
      // For the files the page then loads, which cannot carry the token.
      res.set_header("Set-Cookie", CookieName(port_) + "=" + options_.token +
                                       "; Path=/; HttpOnly; SameSite=Strict");
    }
    res.set_content(std::move(asset.body), asset.content_type);
  });
}

void LauncherServer::Stop() {
  if (stopped_) return;
  stopped_ = true;
  session_->Close();
  const auto deadline = std::chrono::steady_clock::now() + kStreamDrainTime;
  while (streams_.load() > 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  http_->stop();
  if (listener_.joinable()) listener_.join();
}

}  // namespace dizedir
