#include "plugin/string_table.h"

#include <algorithm>
#include <cstdio>

#include "platform/module_strings.h"
#include "platform/text.h"
#include "plugin/pe_resources.h"

namespace dizedir {

namespace {

// Widths and precisions beyond this are refused, so a hostile format cannot
// ask for megabytes of padding.
constexpr size_t kMaxFieldDigits = 3;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

Status StringTable::Open(Env* env, const std::string& path,
                         std::unique_ptr<StringTable>* table) {
  table->reset();
#if defined(_WIN32)
  // Windows has a resource loader of its own; the OS maps the library as
  // data and answers for each string.
  uint64_t size = 0;
  Status s = env->GetFileSize(path, &size);
  if (!s.ok()) return s;
  if (size > kMaxFileBytes) return Status::Corruption(path + ": file too large");
  std::unique_ptr<StringTable> result(new StringTable());
  s = ForEachModuleString(env->NativePath(path), kMaxTextUnits,
                          [&result](uint32_t id, std::u16string_view text) {
                            result->texts_.emplace(
                                id, std::u16string(text.substr(0, text.find(u'\0'))));
                          });
  if (!s.ok()) return s;
  *table = std::move(result);
  return Status::OK();
#else
  std::string file;
  Status s = ReadFileToString(env, path, &file, kMaxFileBytes);
  if (!s.ok()) return s;
  return FromBytes(file, table);
#endif
}

Status StringTable::FromBytes(std::string_view file,
                              std::unique_ptr<StringTable>* table) {
  table->reset();
  std::unique_ptr<StringTable> result(new StringTable());
  Status s = ForEachString(
      file, kMaxTextUnits, [&result](uint32_t id, std::u16string_view text) {
        // Callers treat the text as terminated, so an embedded NUL ends it
        // here too.
        result->texts_.emplace(id, std::u16string(text.substr(
                                       0, text.find(u'\0'))));
      });
  if (!s.ok()) return s;
  *table = std::move(result);
  return Status::OK();
}

bool StringTable::Lookup(uint32_t id, std::u16string* text) const {
  const auto it = texts_.find(id);
  if (it == texts_.end()) {
    text->clear();
    return false;
  }
  *text = it->second;
  return true;
}

std::string StringTable::LookupNarrow(uint32_t id) const {
  const auto it = texts_.find(id);
  return it == texts_.end() ? std::string() : Utf16ToNarrow(it->second);
}

std::string StringTable::FormatNumbers(std::string_view format,
                                       const uint32_t* values, size_t count) {
  std::string out;
  size_t used = 0;
  size_t i = 0;
  while (i < format.size()) {
    if (format[i] != '%') {
      out += format[i++];
      continue;
    }
    if (i + 1 < format.size() && format[i + 1] == '%') {
      out += '%';
      i += 2;
      continue;
    }
    // %[flags][width][.precision](d|i|u)
    size_t end = i + 1;
    while (end < format.size() && std::string_view("-+ 0").find(format[end]) !=
                                      std::string_view::npos) {
      ++end;
    }
    size_t digits = 0;
    while (end < format.size() && IsDigit(format[end])) ++end, ++digits;
    bool sane = digits <= kMaxFieldDigits;
    if (end < format.size() && format[end] == '.') {
      ++end;
      digits = 0;
      while (end < format.size() && IsDigit(format[end])) ++end, ++digits;
      sane = sane && digits <= kMaxFieldDigits;
    }
    const char conversion = end < format.size() ? format[end] : '\0';
    const bool is_signed = conversion == 'd' || conversion == 'i';
    if (!sane || !(is_signed || conversion == 'u') || used == count) {
      out += '%';  // shown as written; the rest follows as plain text
      ++i;
      continue;
    }
    const std::string directive(format.substr(i, end + 1 - i));
    const uint32_t value = values[used++];
    char field[2 * 1000 + 16];
    int length =
        is_signed
            ? std::snprintf(field, sizeof field, directive.c_str(),
                            static_cast<int>(static_cast<int32_t>(value)))
            : std::snprintf(field, sizeof field, directive.c_str(),
                            static_cast<unsigned>(value));
    if (length > 0) {
      out.append(field, std::min(static_cast<size_t>(length), sizeof field - 1));
    }
    i = end + 1;
  }
  return out;
}

}  // namespace dizedir
