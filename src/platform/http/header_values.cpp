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
  const std::string_view total = Trim(value.substr(slash + 1));
  range.total = ParseDecimal(total);
  const std::string_view span = Trim(value.substr(0, slash));
  const size_t dash = span.find('-');
  if (dash != std::string_view::npos) {
    range.start = ParseDecimal(Trim(span.substr(0, dash)));
    range.end = ParseDecimal(Trim(span.substr(dash + 1)));
  }
  const bool total_ok = range.total.has_value() || total == "*";
  if (span == "*") {
    range.well_formed = range.total.has_value();
  } else if (range.start && range.end && total_ok) {
    range.well_formed = *range.start <= *range.end &&
                        (!range.total || *range.end < *range.total);
  }
  if (!range.start || !range.end) {
    range.start.reset();
    range.end.reset();
  }
  return range;
}

ContentCoding ParseContentCoding(std::string_view value) {
  value = Trim(value);
  if (value.empty()) return ContentCoding::kIdentity;
  const auto is = [value](std::string_view name) {
    return value.size() == name.size() && StartsWithNoCase(value, name);
  };
  if (is("identity")) return ContentCoding::kIdentity;
  if (is("gzip") || is("x-gzip")) return ContentCoding::kGzip;
  if (is("deflate")) return ContentCoding::kDeflate;
  return ContentCoding::kUnsupported;
}

std::optional<int> ParseStatusLine(std::string_view line) {
  if (!StartsWithNoCase(line, "HTTP/")) return std::nullopt;
  const size_t space = line.find(' ');
  if (space == std::string_view::npos || line.size() < space + 4) {
    return std::nullopt;
  }
  const std::string_view code = line.substr(space + 1, 3);
  if (line.size() > space + 4 && line[space + 4] != ' ' &&
      line[space + 4] != '\r' && line[space + 4] != '\n') {
    return std::nullopt;
  }
  const std::optional<uint64_t> value = ParseDecimal(code);
  if (!value || *value < 100) return std::nullopt;
  return static_cast<int>(*value);
}

}  // namespace dizedir::http
