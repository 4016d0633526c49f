#include "platform/http/header_values.h"

#include "platform/http/url.h"

namespace dizedir::http {

namespace {

std::optional<uint64_t> ParseDecimal(std::string_view digits) {
  if (digits.empty() || digits.size() > 19) return std::nullopt;
  uint64_t value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  return value;
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
    text.remove_prefix(1);
  }
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' ||
                           text.back() == '\r' || text.back() == '\n')) {
    text.remove_suffix(1);
  }
  return text;
}

}  // namespace

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() &&
         SameHost(text.substr(0, prefix.size()), prefix);
}

std::optional<uint64_t> ParseContentLength(std::string_view value) {
  return ParseDecimal(Trim(value));
}

ContentRange ParseContentRange(std::string_view value) {
  ContentRange range;
  value = Trim(value);
  if (!StartsWithNoCase(value, "bytes")) return range;
  value = Trim(value.substr(5));
  const size_t slash = value.find('/');
  if (slash == std::string_view::npos) return range;
  range.total = ParseDecimal(Trim(value.substr(slash + 1)));
  const std::string_view span = value.substr(0, slash);
  const size_t dash = span.find('-');
  if (dash != std::string_view::npos) {
    range.start = ParseDecimal(Trim(span.substr(0, dash)));
  }
  return range;
}

}  // namespace dizedir::http
