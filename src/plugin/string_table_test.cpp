#include "plugin/string_table.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/env.h"
#include "platform/text.h"
#include "plugin/pe_resources.h"

namespace dizedir {
namespace {

std::string ReadBytes(const std::string& path) {
  std::string bytes;
  Status s = ReadFileToString(Env::Default(), path, &bytes);
  EXPECT_TRUE(s.ok()) << path << ": " << s.ToString();
  return bytes;
}

std::unique_ptr<StringTable> OpenOrDie(const std::string& path) {
  std::unique_ptr<StringTable> table;
  Status s = StringTable::Open(Env::Default(), path, &table);
  EXPECT_TRUE(s.ok()) << s.ToString();
  return table;
}

TEST(StringTableTest, ShippedLibraryCarriesEveryTextInUse) {
  std::unique_ptr<StringTable> table = OpenOrDie(DIZEDIR_RESCHN_DLL);
  ASSERT_NE(table, nullptr);
  const uint32_t kIdsInUse[] = {205, 216, 217, 218, 220, 221, 222, 223, 224,
                                225, 226, 227, 228, 229, 230, 231, 233, 234,
                                235, 236, 240, 241, 242, 243, 244, 245, 246,
                                247, 248, 249, 250, 276, 300, 301, 302};
  for (uint32_t id : kIdsInUse) {
    std::u16string text;
    EXPECT_TRUE(table->Lookup(id, &text)) << id;
    EXPECT_FALSE(text.empty()) << id;
  }

  // What the player finally reads, the way the callers assemble it.
  struct Case {
    std::string got;
    std::string want;
  };
  const Case cases[] = {
      {table->LookupNarrow(227), "The client is up to date."},
      {table->LookupNarrow(246), "Update complete."},
      {table->LookupNarrow(241) + "x", "Update failed: x"},
      {table->LookupNarrow(244) + "a.pac" + table->LookupNarrow(249),
       "Unpacking a.pac ..."},
      {table->LookupNarrow(245) + "3" + table->LookupNarrow(249),
       "Unpacking patch 3 ..."},
      {table->FormatNarrow(247, 2, 5), "Downloading part 2 of 5"},
      {table->FormatNarrow(248, 1, 512u, 4000000000u, 300u),
       "Part 1: 512 of 4000000000 KiB (300 KiB/s)"},
      {table->LookupNarrow(300), "The server address is too long."},
  };
  for (const Case& c : cases) EXPECT_EQ(c.got, c.want);
}

TEST(StringTableTest, EdgeLibraryTexts) {
  std::unique_ptr<StringTable> table = OpenOrDie(DIZEDIR_RESCHN_TEST_DLL);
  ASSERT_NE(table, nullptr);
  std::u16string digits;
  for (int i = 0; i < 259; ++i) digits += static_cast<char16_t>(u'0' + i % 10);

  struct Case {
    uint32_t id;
    bool present;
    std::u16string text;
  };
  const Case cases[] = {
      {0, true, u"first slot of the first block"},
      {1, true, u"He said \"hi\" \\ C:\\dir\n\tnext"},
      {2, true, u"Gr\u00f6\u00dfe \u4e2d\u6587 \u2713 \U0001F600"},
      {3, false, u""},   // empty slot of a block that exists
      {20, false, u""},  // empty slot after the long strings
      {17, true, digits},                   // 300 cut to 259
      {18, true, std::u16string(259, u'b')},  // exactly the limit
      {19, true, std::u16string(259, u'c')},  // one past it
      {65535, true, u"last slot of the last block"},
      {1000, false, u""},  // no such block
      {65536, false, u""},
  };
  for (const Case& c : cases) {
    std::u16string text = u"stale";
    EXPECT_EQ(table->Lookup(c.id, &text), c.present) << c.id;
    EXPECT_EQ(text, c.text) << c.id;
  }
  // Narrow text is the platform's: UTF-8 on Linux, the ANSI code page on
  // Windows.
  EXPECT_EQ(table->LookupNarrow(2),
            Utf16ToNarrow(u"Gr\u00f6\u00dfe \u4e2d\u6587 \u2713 \U0001F600"));
  EXPECT_EQ(table->LookupNarrow(3), "");
  EXPECT_EQ(table->FormatNarrow(3, 1), "");
  EXPECT_EQ(table->FormatNarrow(4, 50, 7), "50% of 7");

  // The reader itself does not cut: only the table's lookups do.
  std::u16string whole;
  ASSERT_TRUE(FindString(ReadBytes(DIZEDIR_RESCHN_TEST_DLL), 17, &whole).ok());
  EXPECT_EQ(whole.size(), 300u);
}

TEST(StringTableTest, FormatTakesOnlyIntegerConversions) {
  struct Case {
    std::string format;
    std::vector<uint32_t> values;
    std::string want;
  };
  const Case cases[] = {
      {"%d of %d", {2, 5}, "2 of 5"},
      {"%d", {0xffffffffu}, "-1"},
      {"%i", {0x80000000u}, "-2147483648"},
      {"%u", {0xffffffffu}, "4294967295"},
      {"%5d|%-3u|%03d|%.2d|%+d", {42, 7, 5, 3, 9}, "   42|7  |005|03|+9"},
      {"%%d 100%", {1}, "%d 100%"},
      // Never handed to printf: shown as written, numbers keep their order.
      {"%s %d", {7}, "%s 7"},
      {"%n%p%x%ld%c", {1, 2, 3, 4, 5}, "%n%p%x%ld%c"},
      {"%*d", {4, 1}, "%*d"},
      {"%9999d", {1}, "%9999d"},
      {"%d %d", {1}, "1 %d"},
      {"%", {}, "%"},
      {"", {1}, ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(StringTable::FormatNumbers(c.format, c.values.data(),
                                         c.values.size()),
              c.want)
        << c.format;
  }
}

// Little-endian field access for building damaged copies of a real file.
uint32_t Get32(const std::string& b, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<uint8_t>(b.at(at + i));
  return v;
}
uint16_t Get16(const std::string& b, size_t at) {
  return static_cast<uint16_t>(static_cast<uint8_t>(b.at(at)) |
                               static_cast<uint8_t>(b.at(at + 1)) << 8);
}
void Put32(std::string& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.at(at + i) = static_cast<char>(v >> (8 * i));
}
void Put16(std::string& b, size_t at, uint16_t v) {
  b.at(at) = static_cast<char>(v);
  b.at(at + 1) = static_cast<char>(v >> 8);
}

// Where the interesting fields of a PE32 string library lie in its file.
struct Layout {
  size_t optional = 0;            // optional header
  size_t resource_directory = 0;  // data directory 2 (RVA, size)
  size_t section_count = 0;
  size_t tree = 0;        // file offset of the resource tree's root
  size_t type_entry = 0;  // root's RT_STRING entry
  size_t blocks = 0;      // the RT_STRING directory
  size_t data_entry = 0;  // first block's data entry
  size_t block = 0;       // first block's bytes
};

Layout Locate(const std::string& file) {
  Layout l;
  const uint32_t pe = Get32(file, 0x3c);
  l.section_count = pe + 6;
  l.optional = pe + 24;
  l.resource_directory = l.optional + 96 + 2 * 8;
  const uint32_t rva = Get32(file, l.resource_directory);
  const size_t table = l.optional + Get16(file, pe + 20);
  auto to_file = [&](uint32_t address) -> size_t {
    for (size_t s = 0; s < Get16(file, pe + 6); ++s) {
      const size_t h = table + s * 40;
      const uint32_t va = Get32(file, h + 12);
      if (address >= va && address < va + Get32(file, h + 16)) {
        return Get32(file, h + 20) + (address - va);
      }
    }
    ADD_FAILURE() << "address outside the sections";
    return 0;
  };
  l.tree = to_file(rva);
  l.type_entry = l.tree + 16;  // RT_STRING is the only type
  EXPECT_EQ(Get32(file, l.type_entry), 6u);
  l.blocks = l.tree + (Get32(file, l.type_entry + 4) & 0x7fffffff);
  const size_t languages = l.tree + (Get32(file, l.blocks + 20) & 0x7fffffff);
  l.data_entry = l.tree + Get32(file, languages + 20);
  l.block = to_file(Get32(file, l.data_entry));
  return l;
}

TEST(StringTableTest, DamagedFilesAreRefused) {
  const std::string good = ReadBytes(DIZEDIR_RESCHN_DLL);
  ASSERT_GT(good.size(), 512u);
  const Layout l = Locate(good);

  using Damage = std::function<void(std::string&)>;
  struct Case {
    const char* name;
    Damage damage;
  };
  const Case cases[] = {
      {"no MZ", [](std::string& f) { f[0] = 'X'; }},
      {"e_lfanew past the end",
       [](std::string& f) { Put32(f, 0x3c, 0xfffffff0u); }},
      {"e_lfanew at the MZ header", [](std::string& f) { Put32(f, 0x3c, 0); }},
      {"e_lfanew just short of the end",
       [](std::string& f) { Put32(f, 0x3c, static_cast<uint32_t>(f.size() - 2)); }},
      {"unknown optional header",
       [&](std::string& f) { Put16(f, l.optional, 0x107); }},
      {"too many sections",
       [&](std::string& f) { Put16(f, l.section_count, 0xffff); }},
      {"resource RVA outside every section",
       [&](std::string& f) { Put32(f, l.resource_directory, 0x7fff0000u); }},
      {"resource size past its section",
       [&](std::string& f) { Put32(f, l.resource_directory + 4, 0x100000u); }},
      {"root points at itself",
       [&](std::string& f) { Put32(f, l.type_entry + 4, 0x80000000u); }},
      {"block directory points at itself",
       [&](std::string& f) {
         Put32(f, l.blocks + 20,
               0x80000000u | static_cast<uint32_t>(l.blocks - l.tree));
       }},
      {"type entry is data, not a directory",
       [&](std::string& f) { Put32(f, l.type_entry + 4, 0); }},
      {"subdirectory past the tree",
       [&](std::string& f) { Put32(f, l.type_entry + 4, 0xfffffff0u); }},
      {"entry count past the tree",
       [&](std::string& f) { Put16(f, l.tree + 14, 0xffff); }},
      {"data entry past the tree",
       [&](std::string& f) {
         const size_t languages =
             l.tree + (Get32(f, l.blocks + 20) & 0x7fffffff);
         Put32(f, languages + 20, 0x7ffffff0u);
       }},
      {"block size past its section",
       [&](std::string& f) { Put32(f, l.data_entry + 4, 0x7fffffffu); }},
      {"block RVA outside every section",
       [&](std::string& f) { Put32(f, l.data_entry, 0x10u); }},
      {"string longer than its block",
       [&](std::string& f) { Put16(f, l.block, 0xffff); }},
      {"blocks out of order",
       [&](std::string& f) {
         // Give the second block the first one's number.
         if (Get16(f, l.blocks + 14) >= 2) {
           Put32(f, l.blocks + 24, Get32(f, l.blocks + 16));
         } else {
           f[0] = 'X';
         }
       }},
  };
  for (const Case& c : cases) {
    std::string bad = good;
    c.damage(bad);
    std::unique_ptr<StringTable> table;
    Status s = StringTable::FromBytes(bad, &table);
    EXPECT_TRUE(s.IsCorruption()) << c.name << ": " << s.ToString();
    EXPECT_EQ(table, nullptr) << c.name;
  }

  // Every truncation cuts into the headers or the last section.
  for (size_t length = 0; length < good.size(); ++length) {
    std::unique_ptr<StringTable> table;
    Status s = StringTable::FromBytes(good.substr(0, length), &table);
    ASSERT_TRUE(s.IsCorruption()) << length << ": " << s.ToString();
    std::u16string text;
    ASSERT_FALSE(FindString(good.substr(0, length), 241, &text).ok()) << length;
  }

  std::mt19937 random(20240601);
  for (int round = 0; round < 200; ++round) {
    std::string noise(1 + random() % 8192, '\0');
    for (char& c : noise) c = static_cast<char>(random());
    if (round % 2 == 0) noise.replace(0, std::min<size_t>(2, noise.size()), "MZ");
    std::unique_ptr<StringTable> table;
    EXPECT_TRUE(StringTable::FromBytes(noise, &table).IsCorruption()) << round;
  }
}

TEST(StringTableTest, WellFormedFilesWithoutStringsOpenEmpty) {
  const std::string good = ReadBytes(DIZEDIR_RESCHN_DLL);
  const Layout l = Locate(good);
  struct Case {
    const char* name;
    std::function<void(std::string&)> change;
  };
  const Case cases[] = {
      {"no resource directory",
       [&](std::string& f) {
         Put32(f, l.resource_directory, 0);
         Put32(f, l.resource_directory + 4, 0);
       }},
      {"resources but no RT_STRING",
       [&](std::string& f) { Put32(f, l.type_entry, 5); }},
  };
  for (const Case& c : cases) {
    std::string file = good;
    c.change(file);
    std::unique_ptr<StringTable> table;
    ASSERT_TRUE(StringTable::FromBytes(file, &table).ok()) << c.name;
    std::u16string text;
    EXPECT_FALSE(table->Lookup(241, &text)) << c.name;
    EXPECT_TRUE(FindString(file, 241, &text).IsNotFound()) << c.name;
  }
  std::unique_ptr<StringTable> table;
  EXPECT_FALSE(StringTable::Open(Env::Default(),
                                 std::string(DIZEDIR_RESCHN_DLL) + ".missing",
                                 &table)
                   .ok());
  EXPECT_EQ(table, nullptr);
}

TEST(StringTableTest, ConcurrentLookupsEachGetTheirOwnText) {
  std::unique_ptr<StringTable> table = OpenOrDie(DIZEDIR_RESCHN_DLL);
  ASSERT_NE(table, nullptr);
  const uint32_t ids[] = {227, 241, 246, 248};
  std::vector<std::string> want;
  for (uint32_t id : ids) want.push_back(table->LookupNarrow(id));
  std::vector<std::thread> threads;
  std::vector<int> mismatches(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 2000; ++i) {
        if (table->LookupNarrow(ids[t]) != want[t]) ++mismatches[t];
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < 4; ++t) EXPECT_EQ(mismatches[t], 0) << ids[t];
}

}  // namespace
}  // namespace dizedir
