// EventStreamReader: reads a server-sent event stream from a loopback
// server on a thread of its own, as a browser's EventSource would, so a
// test can wait for what it expects to arrive.
//
//   EventStreamReader reader(port, "/events?token=...");
//   reader.WaitFor("\"phase\":\"idle\"");
//   ... the server stops ...
//   for (const std::string& data : EventData(reader.WaitForEnd())) ...
//
// Thread-safety: the waits may be called from any thread.

#ifndef DIZEDIR_TESTS_SUPPORT_EVENT_STREAM_READER_H_
#define DIZEDIR_TESTS_SUPPORT_EVENT_STREAM_READER_H_

#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace dizedir {

class EventStreamReader {
 public:
  EventStreamReader(int port, const std::string& target) {
    thread_ = std::thread([this, port, target] {
      httplib::Client client("127.0.0.1", port);
      client.set_read_timeout(60, 0);
      // What browsers send: an answer compressed whole would reach the
      // page only at its end.
      const httplib::Headers headers = {{"Accept-Encoding", "gzip, deflate, br"},
                                        {"Accept", "text/event-stream"}};
      const httplib::Result res =
          client.Get(target.c_str(), headers, [this](const char* data, size_t size) {
            std::lock_guard<std::mutex> lock(mu_);
            text_.append(data, size);
            changed_.notify_all();
            return true;
          });
      std::lock_guard<std::mutex> lock(mu_);
      ended_ = true;
      if (res) content_type_ = res->get_header_value("Content-Type");
      changed_.notify_all();
    });
  }
  EventStreamReader(const EventStreamReader&) = delete;
  EventStreamReader& operator=(const EventStreamReader&) = delete;
  // Waits for the stream to end: the server must end it.
  ~EventStreamReader() { thread_.join(); }

  // Waits until the stream's text holds `needle`, or it ended, or a minute
  // passed; the text so far.
  std::string WaitFor(const std::string& needle) {
    std::unique_lock<std::mutex> lock(mu_);
    changed_.wait_for(lock, std::chrono::seconds(60), [&] {
      return ended_ || text_.find(needle) != std::string::npos;
    });
    return text_;
  }
  std::string WaitForEnd() {
    std::unique_lock<std::mutex> lock(mu_);
    changed_.wait_for(lock, std::chrono::seconds(60), [&] { return ended_; });
    return text_;
  }
  std::string content_type() {
    std::lock_guard<std::mutex> lock(mu_);
    return content_type_;
  }

 private:
  std::mutex mu_;
  std::condition_variable changed_;
  std::string text_, content_type_;
  bool ended_ = false;
  std::thread thread_;
};

// The data of each event of a stream's text, in order.
inline std::vector<std::string> EventData(const std::string& text) {
  std::vector<std::string> events;
  for (size_t at = text.find("data: "); at != std::string::npos; at = text.find("data: ", at)) {
    const size_t end = text.find("\n\n", at);
    if (end == std::string::npos) break;
    events.push_back(text.substr(at + 6, end - at - 6));
    at = end;
  }
  return events;
}

}  // namespace dizedir

#endif  // DIZEDIR_TESTS_SUPPORT_EVENT_STREAM_READER_H_
