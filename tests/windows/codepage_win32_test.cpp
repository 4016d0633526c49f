// Text and names under the ANSI code pages of Western (1252), Japanese (932)
// and Simplified Chinese (936) Windows. ctest runs this program once per
// page, under Wine with LANG set to match, and DIZEDIR_EXPECTED_ACP names
// the page each run must find: a locale that Wine did not pick up fails the
// run instead of testing 1252 three times over.
//
// What must hold under every page: del.txt written in the page is read as
// the names it spells, UTF-8 is kept as it is; zip items land under their
// exact UTF-16 names whatever the page can spell (Cyrillic, Hangul, a
// character outside the BMP, DBCS characters whose second byte is 0x5C),
// with the attributes and times the item carries; and look-alikes of dots
// and separators that a best-fit conversion to the page would read as a
// climb are refused, with nothing written above the client directory.

// The test looks at the disk through the wide calls themselves, with the
// backend's own windows.h setup.
#include "platform/win32/win32_util.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "codec/zip.h"
#include "engine/item_handlers.h"
#include "pack/pack.h"
#include "platform/confined_path.h"
#include "platform/env.h"
#include "platform/text.h"
#include "support/raw_zip.h"

namespace dizedir {
namespace {

std::wstring Wide(std::u16string_view text) { return std::wstring(text.begin(), text.end()); }
std::u16string U16(std::wstring_view text) { return std::u16string(text.begin(), text.end()); }
std::string Utf8(std::wstring_view text) { return Utf16ToUtf8(U16(text)); }

UINT ExpectedCodePage() {
  const char* page = std::getenv("DIZEDIR_EXPECTED_ACP");
  return page != nullptr ? static_cast<UINT>(std::strtoul(page, nullptr, 10)) : 0;
}

bool Exists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Every entry below `dir` by its name relative to `dir`, '\' between
// components, directories with a trailing '\'. Read with FindFirstFileW,
// which gives each name as the file system holds it.
void ListTree(const std::wstring& dir, const std::wstring& prefix,
              std::set<std::wstring>* out) {
  WIN32_FIND_DATAW entry;
  HANDLE find = FindFirstFileW((dir + L"*").c_str(), &entry);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    const std::wstring name = entry.cFileName;
    if (name == L"." || name == L"..") continue;
    if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      out->insert(prefix + name + L"\\");
      ListTree(dir + name + L"\\", prefix + name + L"\\", out);
    } else {
      out->insert(prefix + name);
    }
  } while (FindNextFileW(find, &entry));
  FindClose(find);
}

std::set<std::wstring> Tree(const std::wstring& dir) {
  std::set<std::wstring> names;
  ListTree(dir, L"", &names);
  return names;
}

std::string Show(const std::set<std::wstring>& names) {
  std::string text;
  for (const std::wstring& name : names) text += "\n  " + Utf8(name);
  return text;
}

void RemoveTree(const std::wstring& dir) {
  WIN32_FIND_DATAW entry;
  HANDLE find = FindFirstFileW((dir + L"*").c_str(), &entry);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = entry.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::wstring path = dir + name;
      SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
      if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveTree(path + L"\\");
      } else {
        DeleteFileW(path.c_str());
      }
    } while (FindNextFileW(find, &entry));
    FindClose(find);
  }
  RemoveDirectoryW(dir.c_str());
}

bool WriteWide(const std::wstring& path, const std::string& bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const BOOL ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                            nullptr);
  CloseHandle(file);
  return ok && written == bytes.size();
}

int64_t UnixSeconds(const FILETIME& time) {
  const uint64_t ticks = (uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime;
  return static_cast<int64_t>(ticks / 10000000ULL) - 11644473600LL;
}

struct Times {
  int64_t created = 0;
  int64_t written = 0;
};

std::optional<Times> TimesOf(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return std::nullopt;
  FILETIME created, accessed, written;
  const BOOL ok = GetFileTime(file, &created, &accessed, &written);
  CloseHandle(file);
  if (!ok) return std::nullopt;
  return Times{UnixSeconds(created), UnixSeconds(written)};
}

// Whether the file system under `dir` keeps a creation time that a program
// sets: Windows does; Wine reports the modification time instead.
bool KeepsCreationTimes(const std::wstring& dir) {
  const std::wstring probe = dir + L"creation-probe";
  if (!WriteWide(probe, "x")) return false;
  bool kept = false;
  HANDLE file = CreateFileW(probe.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING,
                            0, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    FILETIME created{};
    created.dwHighDateTime = 0x01B00000;  // 1990, long before anything here was made
    SetFileTime(file, &created, nullptr, nullptr);
    CloseHandle(file);
    const std::optional<Times> read = TimesOf(probe);
    kept = read && read->created == UnixSeconds(created);
  }
  DeleteFileW(probe.c_str());
  return kept;
}

// Whether the file system under `dir` lets a file go without the archive
// attribute: Windows does; Wine reports it on every file.
bool ClearsArchive(const std::wstring& dir) {
  const std::wstring probe = dir + L"archive-probe";
  if (!WriteWide(probe, "x")) return false;
  SetFileAttributesW(probe.c_str(), FILE_ATTRIBUTE_HIDDEN);
  const bool cleared = (GetFileAttributesW(probe.c_str()) & FILE_ATTRIBUTE_ARCHIVE) == 0;
  SetFileAttributesW(probe.c_str(), FILE_ATTRIBUTE_NORMAL);
  DeleteFileW(probe.c_str());
  return cleared;
}

// The extended-timestamp block a zip item carries its times in.
std::string Timestamps(uint32_t modified, uint32_t accessed, uint32_t created) {
  std::string block;
  auto put = [&block](uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) block.push_back(static_cast<char>(v >> (8 * i)));
  };
  put(0x5455, 2);
  put(13, 2);
  put(7, 1);  // all three times present
  put(modified, 4);
  put(accessed, 4);
  put(created, 4);
  return block;
}

// Records the creation time extraction asks the OS to give each file, for
// the file systems that do not keep it.
class CreationTimeEnv : public EnvWrapper {
 public:
  CreationTimeEnv() : EnvWrapper(Env::Default()) {}
  Status SetFileTimes(const std::string& path, const FileTimes& times) override {
    if (times.created) created_[path] = *times.created;
    return EnvWrapper::SetFileTimes(path, times);
  }
  // What was asked for the file at `path` or its temporaries beside it.
  std::optional<int64_t> CreatedFor(const std::string& path) const {
    for (const auto& [asked, created] : created_) {
      if (asked.compare(0, path.size(), path) == 0) return created;
    }
    return std::nullopt;
  }

 private:
  std::map<std::string, int64_t> created_;
};

class CodePageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const UINT expected = ExpectedCodePage();
    ASSERT_NE(expected, 0u) << "DIZEDIR_EXPECTED_ACP names no code page";
    ASSERT_EQ(GetACP(), expected)
        << "Wine did not take the code page from LANG (is LOCPATH set to the "
           "locales the build makes?)";
    wchar_t temp[MAX_PATH + 1];
    const DWORD length = GetTempPathW(MAX_PATH + 1, temp);
    ASSERT_GT(length, 0u);
    temp_ = std::wstring(temp, length);
    std::random_device random;
    root_ = temp_ + L"dizedir_codepage_" + std::to_wstring(random()) + L"\\";
    // Three levels of a name that none of the three pages can spell, so a
    // climb of up to three levels lands in root_, where it is seen.
    base_ = root_ + L"클라이언트\\게임\\설치\\";
    CreateDirectoryW(root_.c_str(), nullptr);
    CreateDirectoryW((root_ + L"클라이언트").c_str(), nullptr);
    CreateDirectoryW((root_ + L"클라이언트\\게임").c_str(), nullptr);
    CreateDirectoryW((root_ + L"클라이언트\\게임\\설치").c_str(), nullptr);
    ASSERT_TRUE(Exists(base_)) << Utf8(base_)
                               << " (Wine names files in the Unix locale's charset, which "
                                  "must be UTF-8: is LOCPATH set?)";
    base_utf8_ = Utf8(base_);
  }
  void TearDown() override {
    if (!root_.empty()) RemoveTree(root_);
  }

  // What root_ holds apart from the client directory itself and what is in it.
  std::set<std::wstring> OutsideBase() const {
    std::set<std::wstring> outside;
    const std::wstring below = L"클라이언트\\게임\\설치\\";
    for (const std::wstring& name : Tree(root_)) {
      if (below.compare(0, name.size(), name) == 0) continue;  // on the way down
      if (name.compare(0, below.size(), below) == 0) continue;  // inside
      outside.insert(name);
    }
    return outside;
  }

  std::wstring temp_, root_, base_;
  std::string base_utf8_;
};

TEST_F(CodePageTest, ListsInTheCodePageAreDecodedAndUtf8IsKept) {
  // page 0: UTF-8, kept under every page.
  struct Case {
    const char* label;
    UINT page;
    std::string bytes;
    std::u16string text;
  } cases[] = {
      {"Western list", 1252,
       "Packet:\xDC" "bersicht 3 4\r\nend\r\nCaf\xE9_M\xFCller.txt\r\n\x8Cuvre\x80\\Na\xEFve.txt\r\n",
       u"Packet:Übersicht 3 4\r\nend\r\nCafé_Müller.txt\r\nŒuvre€\\Naïve.txt\r\n"},
      // Second bytes 0x5C (表 95 5C, ソ 83 5C, 十 8F 5C, 能 94 5C) read as
      // separators when a list is split as bytes.
      {"Shift-JIS list", 932,
       "Packet:\x95\xA8\x95i 5 6\r\nend\r\n\x95\\\x8E\xA6.txt\r\n\x83\\\x83t\x83g\\readme.txt\r\n"
       "\x8F\\\\\x94\\\x97\xCD.txt\r\n",
       u"Packet:物品 5 6\r\nend\r\n表示.txt\r\nソフト\\readme.txt\r\n十\\能力.txt\r\n"},
      // GBK's second bytes 0x5C: 誠 D5 5C, 運 DF 5C, 乗 81 5C.
      {"GBK list", 936,
       "Packet:\xB5\xC0\xBE\xDF 7\r\nend\r\n\xD3\xCE\xCF\xB7\\\xCB\xB5\xC3\xF7.txt\r\n"
       "\xD5\\\xDF\\\\\x81\\.txt\r\n",
       u"Packet:道具 7\r\nend\r\n游戏\\说明.txt\r\n誠運\\乗.txt\r\n"},
      {"Japanese in UTF-8", 0, Utf16ToUtf8(u"表示.txt ソフト\\readme.txt"),
       u"表示.txt ソフト\\readme.txt"},
      {"Hangul and Cyrillic in UTF-8", 0, Utf16ToUtf8(u"클라이언트\\설정.ini Клиент\\данные.txt"),
       u"클라이언트\\설정.ini Клиент\\данные.txt"},
      // Reads as "CafÃ©" in 1252: UTF-8 goes first.
      {"Latin in UTF-8", 0, "Caf\xC3\xA9.txt", u"Café.txt"},
      {"outside the BMP in UTF-8", 0, Utf16ToUtf8(u"𠮷野家.txt"), u"𠮷野家.txt"},
      {"ASCII", 0, "Packet:items 1 2\r\nend\r\nold.txt\r\n", u"Packet:items 1 2\r\nend\r\nold.txt\r\n"},
      {"empty", 0, "", u""},
  };
  const UINT page = GetACP();
  for (const Case& c : cases) {
    if (c.page != 0 && c.page != page) continue;
    SCOPED_TRACE(c.label);
    EXPECT_EQ(LegacyTextToUtf8(c.bytes), Utf16ToUtf8(c.text));
  }
  // A lead byte with nothing after it is no text of a DBCS page; it is kept
  // as it is and every name in it is refused where it is used.
  if (page == 932 || page == 936) {
    const std::string cut = "old.txt \x81";
    EXPECT_EQ(LegacyTextToUtf8(cut), cut);
  }
}

TEST_F(CodePageTest, DeleteListInTheCodePageDeletesWhatItNames) {
  struct Case {
    UINT page;
    std::string list;
    std::u16string pack;            // below qmz\fodder\, without ".pac"
    std::vector<uint32_t> removed;  // of entries 1 to 8
    std::vector<std::u16string> deleted;
  } cases[] = {
      {1252,
       "Packet:\xDC" "bersicht 3 4\r\nend\r\nCaf\xE9_M\xFCller.txt\r\n\x8Cuvre\x80\\Na\xEFve.txt\r\n",
       u"Übersicht", {3, 4}, {u"Café_Müller.txt", u"Œuvre€\\Naïve.txt"}},
      {932,
       "Packet:\x95\xA8\x95i 5 6\r\nend\r\n\x95\\\x8E\xA6.txt\r\n\x83\\\x83t\x83g\\readme.txt\r\n"
       "\x8F\\\\\x94\\\x97\xCD.txt\r\n",
       u"物品", {5, 6}, {u"表示.txt", u"ソフト\\readme.txt", u"十\\能力.txt"}},
      {936,
       "Packet:\xB5\xC0\xBE\xDF 7\r\nend\r\n\xD3\xCE\xCF\xB7\\\xCB\xB5\xC3\xF7.txt\r\n"
       "\xD5\\\xDF\\\\\x81\\.txt\r\n",
       u"道具", {7}, {u"游戏\\说明.txt", u"誠運\\乗.txt"}},
  };
  Env* env = Env::Default();
  int ran = 0;
  for (const Case& c : cases) {
    if (c.page != GetACP()) continue;
    ++ran;
    // Every file the list names, and a neighbour beside each that stays.
    std::set<std::wstring> kept;
    for (const std::u16string& name : c.deleted) {
      const std::wstring path = base_ + Wide(name);
      const size_t slash = path.find_last_of(L'\\');
      CreateDirectoryW(path.substr(0, slash).c_str(), nullptr);
      ASSERT_TRUE(WriteWide(path, "delete me")) << Utf16ToUtf8(name);
      const std::wstring neighbour = path.substr(0, slash + 1) + L"neighbour.txt";
      ASSERT_TRUE(WriteWide(neighbour, "keep me"));
      kept.insert(neighbour);
    }
    const std::string pack = base_utf8_ + "qmz\\fodder\\" + Utf16ToUtf8(c.pack) + ".pac";
    ASSERT_TRUE(env->CreateDirectories(base_utf8_ + "qmz\\fodder").ok());
    PackArchive* archive = PackOpenForUpdate(env, pack);
    ASSERT_NE(archive, nullptr);
    for (uint32_t id = 1; id <= 8; ++id) {
      const std::string data = "entry " + std::to_string(id);
      ASSERT_EQ(PackAdd(id, data.data(), static_cast<uint32_t>(data.size()), archive, 1, nullptr),
                1);
    }
    ASSERT_EQ(PackClose(archive), 1);
    ASSERT_TRUE(WriteWide(base_ + L"del.txt", c.list));

    ASSERT_TRUE(RunDeleteList(env, base_utf8_, nullptr).ok());

    for (const std::u16string& name : c.deleted) {
      EXPECT_FALSE(Exists(base_ + Wide(name))) << "not deleted: " << Utf16ToUtf8(name);
    }
    for (const std::wstring& path : kept) EXPECT_TRUE(Exists(path)) << Utf8(path);
    EXPECT_FALSE(Exists(base_ + L"del.txt"));
    archive = PackOpenReadOnly(env, pack);
    ASSERT_NE(archive, nullptr) << pack;
    std::set<uint32_t> ids;
    for (uint32_t k = 0; k < PackGetCount(archive); ++k) ids.insert(PackGetIdAt(k, archive));
    PackClose(archive);
    std::set<uint32_t> want = {1, 2, 3, 4, 5, 6, 7, 8};
    for (uint32_t id : c.removed) want.erase(id);
    EXPECT_EQ(ids, want);
    EXPECT_EQ(OutsideBase(), std::set<std::wstring>());
  }
  EXPECT_EQ(ran, 1) << "no list for code page " << GetACP();
}

// The engine's rule for an item: the name is confined as UTF-8 and as the
// UTF-16 text that is opened, then the item is unpacked beside its target
// and renamed into place.
struct Unpacked {
  bool refused = false;
  ZipResult result = ZipResult::kOk;
};

Unpacked UnpackAsTheEngineDoes(Env* env, ZipArchive* zip, int index, const std::string& base) {
  ZipItem item;
  EXPECT_EQ(ZipGetItem(zip, index, &item), ZipResult::kOk);
  std::string confined;
  if (!ConfineName(Utf16ToUtf8(item.name), NameKind::kRelativePath, &confined).ok() ||
      !IsConfinedName(item.name, NameKind::kRelativePath)) {
    return {true, ZipResult::kRefused};
  }
  const std::string target = base + confined;
  const std::string staged = target + ".stage";
  Unpacked out;
  out.result = ZipUnzipItem(zip, index, Utf8ToUtf16(staged), ZipPlacement::kBesideTarget);
  if (out.result == ZipResult::kOk &&
      !env->RenameFile(staged + std::string(kTempSuffix), target).ok()) {
    out.result = ZipResult::kWrite;
  }
  return out;
}

TEST_F(CodePageTest, ItemsLandUnderTheirExactNamesWithTheirAttributesAndTimes) {
  constexpr uint32_t kReadOnly = FILE_ATTRIBUTE_READONLY, kHidden = FILE_ATTRIBUTE_HIDDEN,
                     kSystem = FILE_ATTRIBUTE_SYSTEM, kArchive = FILE_ATTRIBUTE_ARCHIVE;
  struct Case {
    std::u16string name;  // stored with '/', found with '\'
    uint32_t attributes;
  } cases[] = {
      {u"表示.txt", kHidden},
      {u"ソフト/readme.txt", kSystem | kArchive},
      {u"ソフト/予定表.txt", kArchive},
      {u"十/能力.txt", kReadOnly | kArchive},
      {u"游戏/说明.txt", kHidden | kSystem | kArchive},
      {u"誠運/乗.txt", kArchive},
      {u"Клиент/данные.txt", kHidden | kSystem},
      {u"클라이언트/설정.ini", kReadOnly | kHidden | kArchive},
      {u"Café Müller/Œuvre€.txt", 0},
      {u"𠮷野家.txt", kArchive},
      // Look-alikes that climb nowhere are plain characters of a name: one
      // file each, no directory.
      {u"価格¥500.txt", kArchive},
      {u"가격₩1000.txt", kArchive},
      {u"全角\uFF0Fスラッシュ.txt", kArchive},
  };
  std::vector<RawZipItem> items;
  for (size_t i = 0; i < std::size(cases); ++i) {
    RawZipItem item(Utf16ToUtf8(cases[i].name), "contents of " + Utf16ToUtf8(cases[i].name));
    item.deflate = i % 2 == 0;
    item.external_attributes = cases[i].attributes;
    // Times far apart, so no one of them passes for another.
    const auto n = static_cast<uint32_t>(i);
    item.extra = Timestamps(1600000000 + n * 3600, 1600000060 + n * 3600, 1000000000 + n * 86400);
    items.push_back(item);
  }
  const std::wstring archive_path = root_ + L"names.zip";
  ASSERT_TRUE(WriteWide(archive_path, BuildRawZip(items)));

  CreationTimeEnv env;
  ZipArchive* zip = ZipOpenFile(&env, U16(archive_path), nullptr);
  ASSERT_NE(zip, nullptr);
  ZipSetBaseDir(zip, U16(base_));
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(Utf16ToUtf8(cases[i].name));
    const Unpacked unpacked = UnpackAsTheEngineDoes(&env, zip, static_cast<int>(i), base_utf8_);
    EXPECT_FALSE(unpacked.refused);
    EXPECT_EQ(unpacked.result, ZipResult::kOk);
  }
  ZipClose(zip);

  std::set<std::wstring> want;
  for (const Case& c : cases) {
    std::wstring name = Wide(c.name);
    for (wchar_t& ch : name) ch = ch == L'/' ? L'\\' : ch;
    want.insert(name);
    const size_t slash = name.find(L'\\');
    if (slash != std::wstring::npos) want.insert(name.substr(0, slash + 1));
  }
  EXPECT_EQ(Tree(base_), want) << "found:" << Show(Tree(base_)) << "\nwanted:" << Show(want);

  const bool creation_kept = KeepsCreationTimes(base_);
  const bool archive_cleared = ClearsArchive(base_);
  for (size_t i = 0; i < std::size(cases); ++i) {
    std::wstring name = Wide(cases[i].name);
    for (wchar_t& ch : name) ch = ch == L'/' ? L'\\' : ch;
    SCOPED_TRACE(Utf8(name));
    const std::wstring path = base_ + name;
    // The name as the file system holds it, not just one that matches it.
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW(path.c_str(), &entry);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    FindClose(find);
    EXPECT_EQ(Utf8(entry.cFileName), Utf8(name.substr(name.find_last_of(L'\\') + 1)));

    const DWORD attributes = GetFileAttributesW(path.c_str());
    ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(attributes & (kReadOnly | kHidden | kSystem), cases[i].attributes & ~kArchive);
    if (archive_cleared || (cases[i].attributes & kArchive)) {
      EXPECT_EQ(attributes & kArchive, cases[i].attributes & kArchive);
    }

    const auto n = static_cast<int64_t>(i);
    const std::optional<Times> times = TimesOf(path);
    ASSERT_TRUE(times.has_value());
    EXPECT_EQ(times->written, 1600000000 + n * 3600);
    EXPECT_EQ(env.CreatedFor(base_utf8_ + Utf8(name)), 1000000000 + n * 86400);
    if (creation_kept) {
      EXPECT_EQ(times->created, 1000000000 + n * 86400);
    }
  }
  if (!creation_kept) {
    std::printf("note: this file system keeps no creation time; only the time asked of it "
                "was checked\n");
  }
  if (!archive_cleared) {
    std::printf("note: this file system sets the archive attribute on every file; it was "
                "checked only where an item asks for it\n");
  }
  EXPECT_EQ(OutsideBase(), std::set<std::wstring>({L"names.zip"}));
}

TEST_F(CodePageTest, LookAlikeClimbsAreRefusedAndWriteNothingOutside) {
  // Each reads as a climb, a root or a drive once a best-fit conversion to
  // some ANSI code page has turned its look-alikes into ASCII: U+FF0E
  // fullwidth full stop, U+FF0F fullwidth solidus, U+FF3C fullwidth reverse
  // solidus, U+00A5 yen and U+20A9 won (the backslash of 932 and 949),
  // U+2024 one dot leader, U+FE52 small full stop, U+2215 division slash,
  // U+FF1A fullwidth colon.
  const std::u16string climbs[] = {
      u"\uFF0E\uFF0E\uFF0F\uFF0E\uFF0E\uFF0Fplanted.txt",
      u"..\u00A5..\u00A5planted.txt",
      u"..\u00A5..\u00A5..\u00A5planted.txt",
      u"\uFF0E\uFF0E\uFF3Cplanted.txt",
      u"..\u20A9planted.txt",
      u"..\u20A9..\u20A9planted.txt",
      u"\uFF0E\uFF0E/\uFF0E\uFF0E/planted.txt",
      u"sub\uFF0F\uFF0E\uFF0E\uFF0F\uFF0E\uFF0E\uFF0F\uFF0E\uFF0E\uFF0Fplanted.txt",
      u"\u2024\u2024/planted.txt",
      u"\uFE52\uFE52\u2215planted.txt",
      u"C\uFF1A\uFF3Cplanted.txt",
      u"\uFF3Cplanted.txt",
      u"\u00A5planted.txt",
      u"\uFF0F\uFF0Fserver\uFF0Fshare\uFF0Fplanted.txt",
  };
  Env* env = Env::Default();
  for (const std::u16string& climb : climbs) {
    SCOPED_TRACE(Utf16ToUtf8(climb));
    const std::wstring archive_path = root_ + L"climb.zip";
    ASSERT_TRUE(WriteWide(archive_path, BuildRawZip({RawZipItem("ok.txt", "harmless"),
                                                     RawZipItem(Utf16ToUtf8(climb), "planted")})));
    ZipArchive* zip = ZipOpenFile(env, U16(archive_path), nullptr);
    ASSERT_NE(zip, nullptr);
    ZipSetBaseDir(zip, U16(base_));

    // The engine checks every name of a patch before it unpacks any item.
    ZipItem item;
    ASSERT_EQ(ZipGetItem(zip, 1, &item), ZipResult::kOk);
    std::string confined;
    EXPECT_FALSE(ConfineName(Utf16ToUtf8(item.name), NameKind::kRelativePath, &confined).ok());
    EXPECT_FALSE(IsConfinedName(item.name, NameKind::kRelativePath));
    EXPECT_TRUE(UnpackAsTheEngineDoes(env, zip, 1, base_utf8_).refused);

    // Below the engine, the name is unpacked as it stands, so it can only
    // land inside, under its own characters: no layer turns it into ASCII.
    const ZipResult direct = ZipUnzipItem(zip, 1, item.name);
    ZipClose(zip);
    std::set<std::wstring> inside = Tree(base_);
    if (direct == ZipResult::kOk) {
      std::wstring name = Wide(item.name);
      for (wchar_t& ch : name) ch = ch == L'/' ? L'\\' : ch;
      EXPECT_TRUE(inside.count(name) == 1) << "found:" << Show(inside);
    } else {
      EXPECT_EQ(direct, ZipResult::kRefused);
    }
    EXPECT_EQ(OutsideBase(), std::set<std::wstring>({L"climb.zip"}));
    EXPECT_FALSE(Exists(temp_ + L"planted.txt"));
    EXPECT_FALSE(Exists(L"C:\\planted.txt"));
    EXPECT_FALSE(Exists(L"\\planted.txt"));
    RemoveTree(base_);
    CreateDirectoryW(base_.c_str(), nullptr);
    DeleteFileW(archive_path.c_str());
  }
}

}  // namespace
}  // namespace dizedir
