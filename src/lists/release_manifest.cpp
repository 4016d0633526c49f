#include "lists/release_manifest.h"

#include <limits>
#include <unordered_set>

#include "codec/minisign.h"
#include "lists/manifest_lines.h"
#include "platform/case_fold.h"
#include "platform/confined_path.h"

namespace dizedir {
namespace {

constexpr std::string_view kHeader = "dizedir release manifest 1";
constexpr std::string_view kLineKey = "line ";
constexpr std::string_view kSequenceKey = "sequence ";
constexpr std::string_view kExpiresKey = "expires ";
constexpr std::string_view kNextKeyKey = "next-key ";
constexpr std::string_view kFileKey = "file ";
// The lists' token bound; a line name longer than any list can carry
// matches no list.
constexpr size_t kMaxLineNameBytes = 259;
// Far above any file name a file system keeps, so only garbage is refused.
constexpr size_t kMaxFileNameBytes = 512;
constexpr uint64_t kMaxSigned = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
constexpr int64_t kSecondsPerDay = 86400;

// Days since 1970-01-01 of a proleptic Gregorian date; the civil-from-days
// arithmetic on 400-year eras, exact for every int64 year this code meets.
int64_t DaysFromCivil(int64_t year, unsigned month, unsigned day) {
  year -= month <= 2 ? 1 : 0;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const auto year_of_era = static_cast<unsigned>(year - era * 400);
  const unsigned day_of_year = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const unsigned day_of_era =
      year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + static_cast<int64_t>(day_of_era) - 719468;
}

void CivilFromDays(int64_t days, int64_t* year, unsigned* month, unsigned* day) {
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const auto day_of_era = static_cast<unsigned>(days - era * 146097);
  const unsigned year_of_era =
      (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  const unsigned day_of_year =
      day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const unsigned shifted_month = (5 * day_of_year + 2) / 153;
  *day = day_of_year - (153 * shifted_month + 2) / 5 + 1;
  *month = shifted_month < 10 ? shifted_month + 3 : shifted_month - 9;
  *year = static_cast<int64_t>(year_of_era) + era * 400 + (*month <= 2 ? 1 : 0);
}

unsigned DaysInMonth(int64_t year, unsigned month) {
  static constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : kDays[month - 1];
}

std::string Padded(int64_t value, size_t width) {
  std::string digits = std::to_string(value < 0 ? -value : value);
  if (digits.size() < width) digits.insert(0, width - digits.size(), '0');
  return value < 0 ? "-" + digits : digits;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Fixed-width digits of the time layout, already known to be digits.
unsigned Digits(std::string_view text, size_t at, size_t count) {
  unsigned v = 0;
  for (size_t i = at; i < at + count; ++i) v = v * 10 + static_cast<unsigned>(text[i] - '0');
  return v;
}

// A refused name, shown without the bytes that would garble a status line.
std::string Printable(std::string_view name) {
  std::string out;
  for (char c : name.substr(0, 64)) {
    out += static_cast<unsigned char>(c) < 0x20 || c == 0x7F ? '?' : c;
  }
  return name.size() > 64 ? out + "..." : out;
}

class ManifestParser : private ManifestLines {
 public:
  explicit ManifestParser(std::string_view text) : ManifestLines(kReleaseManifestName, text) {}

  Status Parse(ReleaseManifest* manifest) {
    Status s = ReadHeaderAndLine(kHeader, &manifest->line);
    if (!s.ok()) return s;
    std::string_view line;

    s = Expect(kSequenceKey, "sequence <number>", &line);
    if (!s.ok()) return s;
    uint64_t sequence = 0;
    if (!ParseCanonicalDecimal(line, kMaxSigned, &sequence) || sequence == 0) {
      return Refuse("the sequence is a decimal number from 1 to 2^63-1");
    }
    manifest->sequence = static_cast<int64_t>(sequence);

    s = Expect(kExpiresKey, "expires <YYYY-MM-DDTHH:MM:SSZ>", &line);
    if (!s.ok()) return s;
    if (!ParseUtcTime(line, &manifest->expires)) {
      return Refuse("the expiry is a UTC time YYYY-MM-DDTHH:MM:SSZ from 1970 to 9999");
    }

    std::unordered_set<std::string> seen;
    bool first_after_expiry = true;
    while (!rest_.empty()) {
      s = Next(&line, "file <size> <hash> <name>");
      if (!s.ok()) return s;
      if (first_after_expiry && line.starts_with(kNextKeyKey)) {
        first_after_expiry = false;
        s = ParseNextKey(line.substr(kNextKeyKey.size()), manifest);
        if (!s.ok()) return s;
        continue;
      }
      first_after_expiry = false;
      if (!line.starts_with(kFileKey)) {
        return Refuse("expected \"file <size> <hash> <name>\"");
      }
      ManifestFile file;
      s = ParseFile(line.substr(kFileKey.size()), &file);
      if (!s.ok()) return s;
      if (!seen.insert(CaseFoldKeyUtf8(file.name)).second) {
        return Refuse("\"" + file.name + "\" is listed twice (names compare case-insensitively)");
      }
      manifest->files.push_back(std::move(file));
    }
    return Status::OK();
  }

 private:
  Status ParseNextKey(std::string_view text, ReleaseManifest* manifest) {
    minisign::PublicKey key;
    // A bare base64 line only: the key file's comment line has no place here.
    const Status s = text.find_first_of(" \t\r") == std::string_view::npos
                         ? minisign::ParsePublicKey(text, &key)
                         : Status::Corruption("not one base64 word");
    if (!s.ok()) return Refuse("the next key is not a minisign public key (" + s.message() + ")");
    manifest->next_key.assign(text);
    return Status::OK();
  }

  Status ParseFile(std::string_view text, ManifestFile* file) {
    const size_t size_end = text.find(' ');
    if (size_end == std::string_view::npos ||
        !ParseCanonicalDecimal(text.substr(0, size_end), kMaxSigned, &file->size)) {
      return Refuse("the size is a decimal number from 0 to 2^63-1");
    }
    text.remove_prefix(size_end + 1);
    const size_t hash_end = text.find(' ');
    if (hash_end == std::string_view::npos ||
        !ParseContentHashHex(text.substr(0, hash_end), &file->hash)) {
      return Refuse("the hash is 64 lowercase hexadecimal digits");
    }
    const std::string_view name = text.substr(hash_end + 1);
    std::string confined;
    if (name.size() > kMaxFileNameBytes) return Refuse("the name is longer than 512 bytes");
    const Status s = ConfineName(name, NameKind::kBareName, &confined);
    if (!s.ok()) return Refuse("name \"" + Printable(name) + "\": " + s.message());
    // The rule drops "." components; a manifest spells a name one way only.
    if (confined != name) return Refuse("name \"" + Printable(name) + "\" is not a bare file name");
    if (EqualsIgnoreCaseUtf8(name, kReleaseManifestName) ||
        EqualsIgnoreCaseUtf8(name, kReleaseManifestSignatureName)) {
      return Refuse("the manifest cannot vouch for itself or its signature");
    }
    file->name = std::move(confined);
    return Status::OK();
  }

};

}  // namespace

bool IsReleaseLineName(std::string_view name) {
  if (name.empty() || name.size() > kMaxLineNameBytes) return false;
  for (char c : name) {
    if (c <= 0x20 || c >= 0x7F) return false;
  }
  return true;
}

const ManifestFile* ReleaseManifest::Find(std::string_view name) const {
  for (const ManifestFile& file : files) {
    if (EqualsIgnoreCaseUtf8(file.name, name)) return &file;
  }
  return nullptr;
}

Status ParseReleaseManifest(std::string_view text, ReleaseManifest* manifest) {
  *manifest = ReleaseManifest();
  if (text.size() > kMaxReleaseManifestBytes) {
    return Status::Corruption(std::string(kReleaseManifestName) + ": larger than " +
                              std::to_string(kMaxReleaseManifestBytes) + " bytes");
  }
  ReleaseManifest parsed;
  const Status s = ManifestParser(text).Parse(&parsed);
  if (s.ok()) *manifest = std::move(parsed);
  return s;
}

std::string FormatReleaseManifest(const ReleaseManifest& manifest) {
  std::string out;
  out += kHeader;
  out += '\n';
  out += std::string(kLineKey) + manifest.line + '\n';
  out += std::string(kSequenceKey) + std::to_string(manifest.sequence) + '\n';
  out += std::string(kExpiresKey) + FormatUtcTime(manifest.expires) + '\n';
  if (!manifest.next_key.empty()) out += std::string(kNextKeyKey) + manifest.next_key + '\n';
  for (const ManifestFile& file : manifest.files) {
    out += std::string(kFileKey) + std::to_string(file.size) + ' ' +
           ContentHashHex(file.hash) + ' ' + file.name + '\n';
  }
  return out;
}

std::string FormatUtcTime(int64_t unix_seconds) {
  // Floor division, so times before 1970 fall on the right day.
  int64_t days = unix_seconds / kSecondsPerDay;
  int64_t seconds = unix_seconds % kSecondsPerDay;
  if (seconds < 0) {
    seconds += kSecondsPerDay;
    --days;
  }
  int64_t year = 0;
  unsigned month = 0, day = 0;
  CivilFromDays(days, &year, &month, &day);
  return Padded(year, 4) + "-" + Padded(month, 2) + "-" + Padded(day, 2) + "T" +
         Padded(seconds / 3600, 2) + ":" + Padded(seconds / 60 % 60, 2) + ":" +
         Padded(seconds % 60, 2) + "Z";
}

bool ParseUtcTime(std::string_view text, int64_t* unix_seconds) {
  static constexpr std::string_view kLayout = "dddd-dd-ddTdd:dd:ddZ";
  if (text.size() != kLayout.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (kLayout[i] == 'd' ? !IsDigit(text[i]) : text[i] != kLayout[i]) return false;
  }
  const unsigned year = Digits(text, 0, 4), month = Digits(text, 5, 2),
                 day = Digits(text, 8, 2), hour = Digits(text, 11, 2),
                 minute = Digits(text, 14, 2), second = Digits(text, 17, 2);
  if (year < 1970 || month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month) ||
      hour > 23 || minute > 59 || second > 59) {
    return false;
  }
  *unix_seconds = DaysFromCivil(year, month, day) * kSecondsPerDay + hour * 3600 +
                  minute * 60 + second;
  return true;
}

}  // namespace dizedir
