// FormattedScanner: reads words and decimal numbers from a text the way the
// C library's formatted input ("%s", "%d") does, which is how the lists and
// INI values written for the original tools have always been split. A
// number may run straight into a word ("12abc" is 12, then "abc"), and a
// read that finds no number leaves the text as it was apart from white
// space.
//
// Thread-safety: a scanner is a cursor over a view; one thread uses it.

#ifndef DIZEDIR_LISTS_FORMATTED_SCANNER_H_
#define DIZEDIR_LISTS_FORMATTED_SCANNER_H_

#include <cstdint>
#include <limits>
#include <string_view>

namespace dizedir {

// One scanned number: what the digits give when kept to 32 bits either by
// wrapping (as an unsigned conversion does) or by saturating (as a signed
// conversion does on the platforms the lists come from).
struct ScannedDecimal {
  bool negative = false;
  uint32_t low_bits = 0;       // the magnitude modulo 2^32
  int64_t magnitude = 0;       // saturates just above the int32 range

  uint32_t Wrapped() const { return negative ? 0u - low_bits : low_bits; }
  int32_t Saturated() const {
    const int64_t v = negative ? -magnitude : magnitude;
    if (v > std::numeric_limits<int32_t>::max()) {
      return std::numeric_limits<int32_t>::max();
    }
    if (v < std::numeric_limits<int32_t>::min()) {
      return std::numeric_limits<int32_t>::min();
    }
    return static_cast<int32_t>(v);
  }
};

template <typename Char>
class FormattedScanner {
 public:
  using View = std::basic_string_view<Char>;

  explicit FormattedScanner(View text) : text_(text) {}

  // The white space of formatted input in the C locale.
  static bool IsSpace(Char c) {
    return c == Char(' ') || (c >= Char('\t') && c <= Char('\r'));
  }

  // The next run of characters up to white space; empty at the end.
  View NextWord() {
    SkipSpace();
    const size_t start = pos_;
    while (pos_ < text_.size() && !IsSpace(text_[pos_])) ++pos_;
    return text_.substr(start, pos_ - start);
  }

  // An optional sign and at least one digit, after white space; false
  // (consuming only the white space) when they are not there.
  bool NextDecimal(ScannedDecimal* out) {
    SkipSpace();
    size_t p = pos_;
    ScannedDecimal d;
    if (p < text_.size() && (text_[p] == Char('+') || text_[p] == Char('-'))) {
      d.negative = text_[p] == Char('-');
      ++p;
    }
    if (p == text_.size() || !IsDigit(text_[p])) return false;
    constexpr int64_t kCap = int64_t{std::numeric_limits<int32_t>::max()} + 2;
    for (; p < text_.size() && IsDigit(text_[p]); ++p) {
      const uint32_t digit = static_cast<uint32_t>(text_[p] - Char('0'));
      d.low_bits = d.low_bits * 10u + digit;
      if (d.magnitude < kCap) d.magnitude = d.magnitude * 10 + digit;
    }
    pos_ = p;
    *out = d;
    return true;
  }

 private:
  static bool IsDigit(Char c) { return c >= Char('0') && c <= Char('9'); }

  void SkipSpace() {
    while (pos_ < text_.size() && IsSpace(text_[pos_])) ++pos_;
  }

  View text_;
  size_t pos_ = 0;
};

// A lenient decimal: leading white space, a sign, digits; 0 when there is
// no number, saturated to 32 bits when it does not fit.
template <typename Char>
int32_t LenientInt32(std::basic_string_view<Char> text) {
  FormattedScanner<Char> scanner(text);
  ScannedDecimal d;
  return scanner.NextDecimal(&d) ? d.Saturated() : 0;
}

}  // namespace dizedir

#endif  // DIZEDIR_LISTS_FORMATTED_SCANNER_H_
