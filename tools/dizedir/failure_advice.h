// FailureAdvice: what a player can do about a failed task, told from the
// status text the plug-in gave. The plug-in takes its texts from the
// client's string library, which an operator may translate or reword, so a
// failure is recognised by that library's own text of each string, never
// by English words: the same advice follows a text in any language.
//
// Thread-safety: immutable after construction; Advise may be called from
// any thread.

#ifndef DIZEDIR_TOOLS_DIZEDIR_FAILURE_ADVICE_H_
#define DIZEDIR_TOOLS_DIZEDIR_FAILURE_ADVICE_H_

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace dizedir {

// Kinds of failure that call for different things from the player.
enum class FailureKind {
  kOther,            // nothing more specific can be said
  kConnection,       // the network or the server could not be reached
  kDiskFull,
  kCannotWrite,      // the game folder refused a write
  kDamagedDownload,  // what arrived was damaged; it is fetched anew
  kDamagedClient,    // the client's own files are damaged
  kServerNotReady,   // the server does not publish what this client needs
  kNotGenuine,       // a signature or certificate check failed
  kSettings,         // the client's settings files are missing or damaged
  kAlreadyRunning,   // another update of the client runs
  kMemory,
  kRegion,           // the chosen region is not in the server list
  kStopped,          // stopped, and resumable
};

// A stable name a page can key its own texts by ("connection", "disk-full").
const char* FailureKindName(FailureKind kind);
// What to do, in a sentence or two of plain English.
const char* FailureKindAdvice(FailureKind kind);

class FailureAdvisor {
 public:
  // `text_of(id)` gives the string library's text of string `id` (UTF-8),
  // empty when the library has none.
  explicit FailureAdvisor(const std::function<std::string(uint32_t)>& text_of);

  // The kind of failure a status text tells of: after the failure prefix,
  // the string whose text begins the rest, the longest such when several
  // do (a text may begin another).
  FailureKind Classify(std::string_view status) const;

 private:
  std::vector<std::string> prefixes_;
  std::vector<std::pair<std::string, FailureKind>> texts_;
};

}  // namespace dizedir

#endif  // DIZEDIR_TOOLS_DIZEDIR_FAILURE_ADVICE_H_
