#include "lists/release_state.h"

#include <algorithm>
#include <charconv>

namespace dizedir {
namespace {

constexpr std::string_view kHeader = "dizedir release state 1";

// Splits off the next "\n"-terminated line; false at the end or for a last
// line without its terminator (a torn write).
bool NextLine(std::string_view* text, std::string_view* line) {
  const size_t end = text->find('\n');
  if (end == std::string_view::npos) return false;
  *line = text->substr(0, end);
  text->remove_prefix(end + 1);
  return true;
}

bool TakeValue(std::string_view line, std::string_view key, std::string_view* value) {
  if (line.size() <= key.size() + 1 || line.substr(0, key.size()) != key ||
      line[key.size()] != ' ') {
    return false;
  }
  *value = line.substr(key.size() + 1);
  return value->find_first_of(" \t\r") == std::string_view::npos;
}

}  // namespace

void ReleaseState::Learn(const std::string& key) {
  if (std::find(learned_keys.begin(), learned_keys.end(), key) != learned_keys.end()) return;
  learned_keys.push_back(key);
  if (learned_keys.size() > kMaxLearnedKeys) learned_keys.erase(learned_keys.begin());
}

Status ParseReleaseState(std::string_view text, ReleaseState* state) {
  ReleaseState parsed;
  std::string_view line, value;
  if (!NextLine(&text, &line) || line != kHeader) {
    return Status::Corruption("not a release state");
  }
  if (!NextLine(&text, &line) || !TakeValue(line, "line", &value)) {
    return Status::Corruption("release state: no line");
  }
  parsed.line = std::string(value);
  if (!NextLine(&text, &line) || !TakeValue(line, "sequence", &value)) {
    return Status::Corruption("release state: no sequence");
  }
  const auto [end, error] =
      std::from_chars(value.data(), value.data() + value.size(), parsed.sequence);
  if (error != std::errc() || end != value.data() + value.size() || parsed.sequence < 0) {
    return Status::Corruption("release state: bad sequence");
  }
  while (!text.empty()) {
    if (!NextLine(&text, &line) || !TakeValue(line, "key", &value) ||
        parsed.learned_keys.size() >= kMaxLearnedKeys) {
      return Status::Corruption("release state: bad key line");
    }
    parsed.learned_keys.emplace_back(value);
  }
  *state = std::move(parsed);
  return Status::OK();
}

std::string FormatReleaseState(const ReleaseState& state) {
  std::string text(kHeader);
  text += "\nline " + state.line + "\nsequence " + std::to_string(state.sequence) + "\n";
  for (const std::string& key : state.learned_keys) text += "key " + key + "\n";
  return text;
}

ReleaseState LoadReleaseState(Env* env, const std::string& path) {
  std::string text;
  ReleaseState state;
  if (ReadFileToString(env, path, &text, kMaxReleaseStateBytes).ok() &&
      ParseReleaseState(text, &state).ok()) {
    return state;
  }
  return ReleaseState();
}

Status SaveReleaseState(Env* env, const std::string& path, const ReleaseState& state) {
  return WriteFileAtomically(env, path, FormatReleaseState(state));
}

}  // namespace dizedir
