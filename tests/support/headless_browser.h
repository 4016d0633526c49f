// HeadlessBrowser: a headless Chromium driven through its DevTools protocol,
// for tests of a page as a player's browser shows it: what its script
// renders, what a mouse click on it does, and how it looks. The protocol
// runs over a pair of pipes (the browser reads commands from its descriptor
// 3 and writes answers and events to its descriptor 4, one JSON message
// each, ended by a NUL byte), so no port is opened and no WebSocket client
// is needed.
//
// Thread-safety: one thread drives a browser; a reader thread of its own
// takes the browser's messages.

#ifndef DIZEDIR_TESTS_SUPPORT_HEADLESS_BROWSER_H_
#define DIZEDIR_TESTS_SUPPORT_HEADLESS_BROWSER_H_

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/status.h"
#include "support/subprocess.h"
#include "tools/common/json_output.h"

namespace dizedir {

class HeadlessBrowser {
 public:
  // $DIZEDIR_CHROMIUM, else Chromium where Debian puts it or on PATH;
  // empty when there is none.
  static std::string FindChromium();

  // Starts `program` with a fresh profile in `profile_dir`; what the
  // browser prints goes to `log_file`.
  static Status Start(const std::string& program, const std::string& profile_dir,
                      const std::string& log_file, std::unique_ptr<HeadlessBrowser>* result);

  HeadlessBrowser(const HeadlessBrowser&) = delete;
  HeadlessBrowser& operator=(const HeadlessBrowser&) = delete;
  // Closes the browser, killing it when it does not go within seconds.
  ~HeadlessBrowser();

  // Opens `url` in a new tab, which the calls below then act on (the one
  // opened last), and waits until it has loaded.
  Status Open(const std::string& url);

  // The value of a JavaScript expression evaluated in the tab; a promise
  // is waited for.
  Status Evaluate(const std::string& expression, JsonDocument* value);

  // Waits until `expression` is true in the tab.
  Status WaitUntil(const std::string& expression,
                   std::chrono::milliseconds timeout = std::chrono::seconds(60));

  // Presses and releases the left mouse button over the middle of the
  // element with id `id`, scrolled into view first, as a player would.
  Status Click(const std::string& id);

  // Writes a PNG of what the tab shows.
  Status Screenshot(const std::string& png_path);

  // The uncaught exceptions the tabs' scripts threw, as the console shows
  // them.
  std::vector<std::string> ScriptErrors();

 private:
  HeadlessBrowser(std::unique_ptr<Subprocess> child, int to_browser, int from_browser);

  // Sends a command (to the tab unless `to_browser`) and waits for its
  // answer's result.
  Status Call(const std::string& method, JsonDocument params, JsonDocument* result,
              bool to_browser = false);
  void ReadMessages();

  std::unique_ptr<Subprocess> child_;
  const int to_browser_;
  const int from_browser_;
  std::thread reader_;
  int next_id_ = 1;
  std::string session_;  // the tab's

  std::mutex mutex_;
  std::condition_variable arrived_;
  std::map<int, JsonDocument> answers_;
  std::vector<std::string> script_errors_;
  bool closed_ = false;  // the browser's end of the pipe
};

}  // namespace dizedir

#endif  // DIZEDIR_TESTS_SUPPORT_HEADLESS_BROWSER_H_
