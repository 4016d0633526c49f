#include "failure_advice.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

namespace dizedir {
namespace {

// The texts the shipped string library is built from.
std::map<uint32_t, std::string> ShippedTexts() {
  const char* source = std::getenv("DIZEDIR_SOURCE_DIR");
  std::ifstream table(std::filesystem::path(source != nullptr ? source : ".") /
                      "resources/strings.txt");
  std::map<uint32_t, std::string> texts;
  for (std::string line; std::getline(table, line);) {
    const size_t tab = line.find('\t');
    if (line.empty() || line[0] == '#' || tab == std::string::npos) continue;
    texts[static_cast<uint32_t>(std::stoul(line.substr(0, tab)))] = line.substr(tab + 1);
  }
  return texts;
}

FailureAdvisor AdvisorOf(const std::map<uint32_t, std::string>& texts) {
  return FailureAdvisor([&](uint32_t id) {
    const auto it = texts.find(id);
    return it != texts.end() ? it->second : std::string();
  });
}

TEST(FailureAdviceTest, RecognisesTheLibrarysTexts) {
  const std::map<uint32_t, std::string> shipped = ShippedTexts();
  ASSERT_FALSE(shipped.empty());
  std::map<uint32_t, std::string> translated = {
      {241, "Aktualisierung fehlgeschlagen: "},
      {217, "Keine Verbindung zum Server."},
      // A text that begins another: the longer one decides.
      {307, "Eine Datei"},
      {324, "Eine Datei konnte nicht geschrieben werden."},
  };
  const FailureAdvisor english = AdvisorOf(shipped);
  const FailureAdvisor german = AdvisorOf(translated);
  struct Case {
    const char* name;
    const FailureAdvisor* advisor;
    std::string status;
    FailureKind kind;
  };
  const auto text = [&](uint32_t id) { return shipped.at(id); };
  const Case cases[] = {
      {"refused connection", &english, text(241) + text(217), FailureKind::kConnection},
      {"full disk with detail", &english, text(241) + text(318) + " (C:)", FailureKind::kDiskFull},
      {"verify's prefix", &english, text(362) + text(351) + " bad line 3",
       FailureKind::kServerNotReady},
      {"certificate", &english, text(241) + text(341), FailureKind::kNotGenuine},
      {"stopped", &english, text(241) + text(309), FailureKind::kStopped},
      {"stalled transfer", &english, text(241) + text(234), FailureKind::kConnection},
      {"patch list missing", &english, text(241) + text(224), FailureKind::kConnection},
      {"no prefix", &english, text(306), FailureKind::kAlreadyRunning},
      {"unknown text", &english, text(241) + "Something else entirely.", FailureKind::kOther},
      {"empty", &english, "", FailureKind::kOther},
      {"prefix only", &english, text(241), FailureKind::kOther},
      {"translated", &german, "Aktualisierung fehlgeschlagen: Keine Verbindung zum Server.",
       FailureKind::kConnection},
      {"translated, longer text wins", &german,
       "Aktualisierung fehlgeschlagen: Eine Datei konnte nicht geschrieben werden. a.pac",
       FailureKind::kCannotWrite},
      {"translated, the shorter text alone", &german,
       "Aktualisierung fehlgeschlagen: Eine Datei des Patches ist kaputt.",
       FailureKind::kDamagedDownload},
      {"English text, translated library", &german, text(241) + text(217), FailureKind::kOther},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(FailureKindName(c.advisor->Classify(c.status)), std::string(FailureKindName(c.kind)));
  }
}

}  // namespace
}  // namespace dizedir
