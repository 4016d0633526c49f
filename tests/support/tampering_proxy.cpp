#include "support/tampering_proxy.h"

#include <httplib.h>

#include <chrono>

namespace dizedir {

TamperingProxy::TamperingProxy(std::string upstream)
    : upstream_(std::move(upstream)), server_(std::make_unique<httplib::Server>()) {
  server_->set_keep_alive_timeout(1);
  server_->Get(".*", [this](const httplib::Request& req, httplib::Response& res) {
    Tamper tamper;
    bool tampered = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      const auto found = tampers_.find(req.path);
      if (found != tampers_.end()) {
        tamper = found->second;
        tampered = true;
      }
    }
    if (tampered && tamper.kind == Kind::kWithhold) {
      res.status = 404;
      res.set_content("not here", "text/plain");
      return;
    }
    if (tampered && tamper.kind == Kind::kEndless) {
      res.set_chunked_content_provider(
          "application/octet-stream", [](size_t, httplib::DataSink& sink) {
            static const std::string filler(16 * 1024, 'x');
            return sink.write(filler.data(), filler.size());
          });
      return;
    }
    // The upstream is asked for the whole file, whatever range the client
    // wants; the server answers the range from what the edit made of it.
    const size_t colon = upstream_.rfind(':');
    httplib::Client client(upstream_.substr(0, colon), std::stoi(upstream_.substr(colon + 1)));
    auto answer = client.Get(req.target);
    if (!answer) {
      res.status = 502;
      return;
    }
    res.status = answer->status;
    std::string body = answer->body;
    if (tampered && answer->status == 200) body = tamper.edit(body);
    res.set_content(body, "application/octet-stream");
  });
  port_ = server_->bind_to_any_port("127.0.0.1");
  if (port_ > 0) {
    listener_ = std::thread([this] { server_->listen_after_bind(); });
    while (!server_->is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

TamperingProxy::~TamperingProxy() {
  server_->stop();
  if (listener_.joinable()) listener_.join();
}

void TamperingProxy::Rewrite(const std::string& path, Edit edit) {
  std::lock_guard<std::mutex> lock(mutex_);
  tampers_[path] = Tamper{Kind::kRewrite, std::move(edit)};
}

void TamperingProxy::Withhold(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  tampers_[path] = Tamper{Kind::kWithhold, nullptr};
}

void TamperingProxy::Endless(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  tampers_[path] = Tamper{Kind::kEndless, nullptr};
}

void TamperingProxy::Honest() {
  std::lock_guard<std::mutex> lock(mutex_);
  tampers_.clear();
}

TamperingProxy::Edit FlipByte(size_t offset) {
  return [offset](const std::string& honest) {
    std::string bytes = honest;
    if (!bytes.empty()) bytes[offset % bytes.size()] ^= 0x20;
    return bytes;
  };
}

TamperingProxy::Edit Replace(std::string bytes) {
  return [bytes = std::move(bytes)](const std::string&) { return bytes; };
}

}  // namespace dizedir
