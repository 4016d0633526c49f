#include "failure_advice.h"

#include <iterator>

namespace dizedir {
namespace {

// The prefixes the plug-in puts before a failure text: an update's and a
// verify's, repair's or install's.
constexpr uint32_t kFailurePrefixes[] = {241, 362};

struct KnownFailure {
  uint32_t id;
  FailureKind kind;
};

// The failure texts of resources/strings.txt by what they ask of a player.
constexpr KnownFailure kKnownFailures[] = {
    {217, FailureKind::kConnection},      {221, FailureKind::kConnection},
    {224, FailureKind::kConnection},      {225, FailureKind::kConnection},
    {231, FailureKind::kConnection},      {234, FailureKind::kConnection},
    {250, FailureKind::kConnection},      {321, FailureKind::kConnection},
    {322, FailureKind::kConnection},      {323, FailureKind::kConnection},
    {354, FailureKind::kConnection},      {228, FailureKind::kDiskFull},
    {229, FailureKind::kDiskFull},        {318, FailureKind::kDiskFull},
    {218, FailureKind::kCannotWrite},     {308, FailureKind::kCannotWrite},
    {310, FailureKind::kCannotWrite},     {324, FailureKind::kCannotWrite},
    {336, FailureKind::kCannotWrite},     {356, FailureKind::kCannotWrite},
    {226, FailureKind::kDamagedDownload}, {230, FailureKind::kDamagedDownload},
    {233, FailureKind::kDamagedDownload}, {236, FailureKind::kDamagedDownload},
    {307, FailureKind::kDamagedDownload}, {319, FailureKind::kDamagedDownload},
    {320, FailureKind::kDamagedDownload}, {355, FailureKind::kDamagedDownload},
    {220, FailureKind::kDamagedClient},   {222, FailureKind::kDamagedClient},
    {223, FailureKind::kDamagedClient},   {315, FailureKind::kDamagedClient},
    {358, FailureKind::kDamagedClient},   {361, FailureKind::kDamagedClient},
    {316, FailureKind::kServerNotReady},  {350, FailureKind::kServerNotReady},
    {351, FailureKind::kServerNotReady},  {352, FailureKind::kServerNotReady},
    {325, FailureKind::kNotGenuine},      {326, FailureKind::kNotGenuine},
    {327, FailureKind::kNotGenuine},      {328, FailureKind::kNotGenuine},
    {329, FailureKind::kNotGenuine},      {330, FailureKind::kNotGenuine},
    {331, FailureKind::kNotGenuine},      {332, FailureKind::kNotGenuine},
    {333, FailureKind::kNotGenuine},      {335, FailureKind::kNotGenuine},
    {341, FailureKind::kNotGenuine},      {342, FailureKind::kNotGenuine},
    {343, FailureKind::kNotGenuine},      {344, FailureKind::kNotGenuine},
    {346, FailureKind::kNotGenuine},      {216, FailureKind::kSettings},
    {300, FailureKind::kSettings},        {301, FailureKind::kSettings},
    {303, FailureKind::kSettings},        {304, FailureKind::kSettings},
    {312, FailureKind::kSettings},        {334, FailureKind::kSettings},
    {345, FailureKind::kSettings},        {306, FailureKind::kAlreadyRunning},
    {205, FailureKind::kMemory},          {302, FailureKind::kMemory},
    {313, FailureKind::kMemory},          {305, FailureKind::kRegion},
    {309, FailureKind::kStopped},
};

}  // namespace

const char* FailureKindName(FailureKind kind) {
  switch (kind) {
    case FailureKind::kOther: return "other";
    case FailureKind::kConnection: return "connection";
    case FailureKind::kDiskFull: return "disk-full";
    case FailureKind::kCannotWrite: return "cannot-write";
    case FailureKind::kDamagedDownload: return "damaged-download";
    case FailureKind::kDamagedClient: return "damaged-client";
    case FailureKind::kServerNotReady: return "server-not-ready";
    case FailureKind::kNotGenuine: return "not-genuine";
    case FailureKind::kSettings: return "settings";
    case FailureKind::kAlreadyRunning: return "already-running";
    case FailureKind::kMemory: return "memory";
    case FailureKind::kRegion: return "region";
    case FailureKind::kStopped: return "stopped";
  }
  return "other";
}

const char* FailureKindAdvice(FailureKind kind) {
  switch (kind) {
    case FailureKind::kOther: break;
    case FailureKind::kConnection:
      return "Check that this computer is connected to the internet, then press Start to try "
             "again. If it keeps failing, the game's servers may be busy: try again later.";
    case FailureKind::kDiskFull:
      return "Free some space on the disk that holds the game, then press Start: the update "
             "goes on from where it stopped.";
    case FailureKind::kCannotWrite:
      return "The game folder could not be written. Close the game and any program that may "
             "be using its files, make sure you may write to the folder, then press Start.";
    case FailureKind::kDamagedDownload:
      return "Something was damaged on the way. Press Start to try again: what was damaged "
             "is fetched anew.";
    case FailureKind::kDamagedClient:
      return "Some of the game's own files are damaged. Use Verify game files to check and "
             "repair them; if that does not help, reinstall the game.";
    case FailureKind::kServerNotReady:
      return "The game's servers are not ready for this client yet. Try again later; if it "
             "stays this way, contact the game's support.";
    case FailureKind::kNotGenuine:
      return "The update could not be proven genuine, so nothing of it was installed. Check "
             "that this computer's date and time are right and try again later; if it stays "
             "this way, contact the game's support.";
    case FailureKind::kSettings:
      return "The game's own settings files are missing or damaged. Reinstall the game, or "
             "put back its settings files from a fresh copy.";
    case FailureKind::kAlreadyRunning:
      return "Another update of this game is running. Let it finish or close the other "
             "launcher, then press Start.";
    case FailureKind::kMemory:
      return "The computer ran short of memory. Close other programs, then press Start.";
    case FailureKind::kRegion:
      return "Pick another server from the list, then press Start.";
    case FailureKind::kStopped:
      return "Press Start to go on from where it stopped.";
  }
  return "Press Start to try again. If the problem stays, restart the launcher; if that does "
         "not help, contact the game's support.";
}

FailureAdvisor::FailureAdvisor(const std::function<std::string(uint32_t)>& text_of) {
  for (uint32_t id : kFailurePrefixes) {
    std::string text = text_of(id);
    if (!text.empty()) prefixes_.push_back(std::move(text));
  }
  for (const KnownFailure& known : kKnownFailures) {
    std::string text = text_of(known.id);
    if (!text.empty()) texts_.emplace_back(std::move(text), known.kind);
  }
}

FailureKind FailureAdvisor::Classify(std::string_view status) const {
  for (const std::string& prefix : prefixes_) {
    if (status.starts_with(prefix)) {
      status.remove_prefix(prefix.size());
      break;
    }
  }
  FailureKind kind = FailureKind::kOther;
  size_t longest = 0;
  for (const auto& [text, text_kind] : texts_) {
    if (text.size() > longest && status.starts_with(text)) {
      kind = text_kind;
      longest = text.size();
    }
  }
  return kind;
}

}  // namespace dizedir
