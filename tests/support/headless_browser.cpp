#include "support/headless_browser.h"

#include <fcntl.h>
#include <signal.h>
#include <sodium.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace dizedir {
namespace {

constexpr auto kAnswerTimeout = std::chrono::seconds(30);

// A descriptor numbered above the ones the browser is given, so that
// copying one into place never overwrites another.
int HighDescriptor(int fd) {
  const int high = fcntl(fd, F_DUPFD_CLOEXEC, 10);
  close(fd);
  return high;
}

bool WriteAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

std::string HeadlessBrowser::FindChromium() {
  if (const char* given = std::getenv("DIZEDIR_CHROMIUM"); given != nullptr && *given != 0) {
    return given;
  }
  // Debian's program itself, not the shell script before it, which reads
  // the machine's settings and says things about them.
  if (access("/usr/lib/chromium/chromium", X_OK) == 0) return "/usr/lib/chromium/chromium";
  for (const char* name : {"chromium", "chromium-browser"}) {
    const std::string found = FindProgram(name);
    if (!found.empty()) return found;
  }
  return "";
}

Status HeadlessBrowser::Start(const std::string& program, const std::string& profile_dir,
                              const std::string& log_file,
                              std::unique_ptr<HeadlessBrowser>* result) {
  // A browser that dies must fail the next command, not kill the test
  // with SIGPIPE.
  signal(SIGPIPE, SIG_IGN);
  int commands[2], answers[2];
  if (pipe2(commands, O_CLOEXEC) != 0) return Status::IOError(std::string("pipe: ") + std::strerror(errno));
  if (pipe2(answers, O_CLOEXEC) != 0) {
    close(commands[0]);
    close(commands[1]);
    return Status::IOError(std::string("pipe: ") + std::strerror(errno));
  }
  const int child_reads = HighDescriptor(commands[0]);
  const int child_writes = HighDescriptor(answers[1]);
  Subprocess::Options options;
  options.output_file = log_file;
  options.descriptors = {{3, child_reads}, {4, child_writes}};
  std::unique_ptr<Subprocess> child;
  const Status s = Subprocess::Spawn(
      program,
      {"--headless", "--remote-debugging-pipe", "--user-data-dir=" + profile_dir,
       // Tests run as root in containers: no sandbox, no /dev/shm of size.
       "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu", "--no-first-run",
       "--no-default-browser-check", "--disable-background-networking", "--disable-extensions",
       "--disable-sync", "--no-proxy-server", "--mute-audio", "--hide-scrollbars",
       "--window-size=1000,760", "about:blank"},
      options, &child);
  close(child_reads);
  close(child_writes);
  if (!s.ok()) {
    close(commands[1]);
    close(answers[0]);
    return s;
  }
  result->reset(new HeadlessBrowser(std::move(child), commands[1], answers[0]));
  return Status::OK();
}

HeadlessBrowser::HeadlessBrowser(std::unique_ptr<Subprocess> child, int to_browser,
                                 int from_browser)
    : child_(std::move(child)), to_browser_(to_browser), from_browser_(from_browser) {
  reader_ = std::thread([this] { ReadMessages(); });
}

HeadlessBrowser::~HeadlessBrowser() {
  JsonDocument ignored;
  Call("Browser.close", JsonDocument::object(), &ignored, true);
  {
    std::unique_lock<std::mutex> lock(mutex_);
    arrived_.wait_for(lock, std::chrono::seconds(10), [this] { return closed_; });
  }
  // The pipe's end comes with the browser's; one that hangs is killed,
  // which ends it too.
  child_->Kill();
  child_->Wait();
  close(to_browser_);
  reader_.join();
  close(from_browser_);
}

void HeadlessBrowser::ReadMessages() {
  std::string pending;
  char buffer[64 * 1024];
  for (;;) {
    const ssize_t n = read(from_browser_, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    pending.append(buffer, static_cast<size_t>(n));
    size_t end;
    while ((end = pending.find('\0')) != std::string::npos) {
      JsonDocument message = JsonDocument::parse(pending.substr(0, end), nullptr, false);
      pending.erase(0, end + 1);
      if (!message.is_object()) continue;
      std::lock_guard<std::mutex> lock(mutex_);
      if (message.contains("id") && message["id"].is_number_integer()) {
        const int id = message["id"].get<int>();
        answers_[id] = std::move(message);
        arrived_.notify_all();
      } else if (message.value("method", "") == "Runtime.exceptionThrown") {
        const JsonDocument& details = message["params"]["exceptionDetails"];
        std::string text = details.value("text", "");
        if (details.contains("exception")) {
          text += " " + details["exception"].value("description", "");
        }
        script_errors_.push_back(text);
      }
    }
  }
  std::lock_guard<std::mutex> lock(mutex_);
  closed_ = true;
  arrived_.notify_all();
}

Status HeadlessBrowser::Call(const std::string& method, JsonDocument params,
                             JsonDocument* result, bool to_browser) {
  const int id = next_id_++;
  JsonDocument command = {{"id", id}, {"method", method}, {"params", std::move(params)}};
  if (!to_browser) {
    if (session_.empty()) return Status::InvalidArgument("no tab is open");
    command["sessionId"] = session_;
  }
  if (!WriteAll(to_browser_, command.dump() + std::string(1, '\0'))) {
    return Status::IOError(method + ": the browser does not take commands");
  }
  std::unique_lock<std::mutex> lock(mutex_);
  if (!arrived_.wait_for(lock, kAnswerTimeout,
                         [&] { return closed_ || answers_.count(id) != 0; })) {
    return Status::IOError(method + ": the browser did not answer");
  }
  if (answers_.count(id) == 0) return Status::IOError(method + ": the browser has closed");
  JsonDocument answer = std::move(answers_[id]);
  answers_.erase(id);
  if (answer.contains("error")) {
    return Status::IOError(method + ": " + answer["error"].value("message", answer["error"].dump()));
  }
  *result = answer.contains("result") ? std::move(answer["result"]) : JsonDocument::object();
  return Status::OK();
}

Status HeadlessBrowser::Open(const std::string& url) {
  JsonDocument target, attached, ignored;
  Status s = Call("Target.createTarget", {{"url", "about:blank"}}, &target, true);
  if (s.ok()) {
    s = Call("Target.attachToTarget", {{"targetId", target["targetId"]}, {"flatten", true}},
             &attached, true);
  }
  if (!s.ok()) return s;
  session_ = attached["sessionId"].get<std::string>();
  s = Call("Runtime.enable", JsonDocument::object(), &ignored);
  if (s.ok()) s = Call("Page.enable", JsonDocument::object(), &ignored);
  if (s.ok()) s = Call("Page.navigate", {{"url", url}}, &ignored);
  if (!s.ok()) return s;
  // about:blank is complete too; the address tells the two apart.
  return WaitUntil("location.href === " + JsonDocument(url).dump() +
                   " && document.readyState === 'complete'");
}

Status HeadlessBrowser::Evaluate(const std::string& expression, JsonDocument* value) {
  JsonDocument answer;
  const Status s = Call("Runtime.evaluate",
                        {{"expression", expression},
                         {"returnByValue", true},
                         {"awaitPromise", true},
                         {"userGesture", true}},
                        &answer);
  if (!s.ok()) return s;
  if (answer.contains("exceptionDetails")) {
    const JsonDocument& details = answer["exceptionDetails"];
    std::string text = details.value("text", "");
    if (details.contains("exception")) {
      text += " " + details["exception"].value("description", "");
    }
    return Status::InvalidArgument(expression + ": " + text);
  }
  *value = answer["result"].contains("value") ? answer["result"]["value"] : JsonDocument();
  return Status::OK();
}

Status HeadlessBrowser::WaitUntil(const std::string& expression,
                                  std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    JsonDocument value;
    // A page between two documents has no context to evaluate in for a
    // moment; that is not the answer.
    const Status s = Evaluate(expression, &value);
    if (s.ok() && value.is_boolean() && value.get<bool>()) return Status::OK();
    if (std::chrono::steady_clock::now() > deadline) {
      return Status::IOError("still not true: " + expression + (s.ok() ? "" : " (" + s.ToString() + ")"));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
}

Status HeadlessBrowser::Click(const std::string& id) {
  JsonDocument where;
  Status s = Evaluate(
      "(function () {"
      "  var element = document.getElementById(" + JsonDocument(id).dump() + ");"
      "  if (!element) return null;"
      "  element.scrollIntoView({block: 'center'});"
      "  var box = element.getBoundingClientRect();"
      "  return {x: box.left + box.width / 2, y: box.top + box.height / 2};"
      "})()",
      &where);
  if (!s.ok()) return s;
  if (!where.is_object()) return Status::NotFound("no element #" + id);
  JsonDocument ignored;
  for (const char* type : {"mousePressed", "mouseReleased"}) {
    s = Call("Input.dispatchMouseEvent",
             {{"type", type}, {"x", where["x"]}, {"y", where["y"]}, {"button", "left"},
              {"buttons", 1}, {"clickCount", 1}},
             &ignored);
    if (!s.ok()) return s;
  }
  return Status::OK();
}

Status HeadlessBrowser::Screenshot(const std::string& png_path) {
  JsonDocument shot;
  const Status s = Call("Page.captureScreenshot", {{"format", "png"}}, &shot);
  if (!s.ok()) return s;
  const std::string text = shot.value("data", "");
  std::string png(text.size(), '\0');
  size_t size = 0;
  if (sodium_base642bin(reinterpret_cast<unsigned char*>(png.data()), png.size(), text.data(),
                        text.size(), nullptr, &size, nullptr,
                        sodium_base64_VARIANT_ORIGINAL) != 0) {
    return Status::Corruption("the screenshot is not base64");
  }
  png.resize(size);
  std::ofstream out(png_path, std::ios::binary | std::ios::trunc);
  out << png;
  out.close();
  return out ? Status::OK() : Status::IOError(png_path + ": cannot write the screenshot");
}

std::vector<std::string> HeadlessBrowser::ScriptErrors() {
  std::lock_guard<std::mutex> lock(mutex_);
  return script_errors_;
}

}  // namespace dizedir
