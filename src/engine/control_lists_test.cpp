#include "engine/control_lists.h"

#include <gtest/gtest.h>

#include <string>

namespace dizedir {
namespace {

using Packs = std::map<std::string, std::vector<uint32_t>>;
using Files = std::vector<std::string>;
using Moves = std::map<uint32_t, std::pair<std::string, std::string>>;

TEST(ParseDeleteListTest, FollowsTheWordAndNumberGrammar) {
  struct Case {
    const char* label;
    std::string text;
    Packs packs;
    Files files;
  };
  const Case cases[] = {
      {"empty", "", {}, {}},
      {"only white space", " \r\n\t ", {}, {}},
      {"group, ending word dropped, files",
       "Packet:a 1 2 3 end f1 sub\\f2", {{"a", {1, 2, 3}}}, {"f1", "sub\\f2"}},
      {"two groups for one pack are joined in file order",
       "Packet:a 1 Packet:b 5 Packet:a 2 1 x f",
       {{"a", {1, 2, 1}}, {"b", {5}}}, {"f"}},
      {"no marker: the first word is dropped, the rest are files",
       "first f1 f2", {}, {"f1", "f2"}},
      {"marker without numbers records nothing",
       "Packet:a Packet:b 7 end", {{"b", {7}}}, {}},
      {"marker without numbers at the end", "Packet:a", {}, {}},
      {"signs and leading zeros", "Packet:a +5 -1 007 x",
       {{"a", {5, 0xFFFFFFFFu, 7}}}, {}},
      {"values wrap to 32 bits", "Packet:a 4294967297 x", {{"a", {1}}}, {}},
      {"a number ends where its digits end",
       "Packet:a 1 2x f", {{"a", {1, 2}}}, {"f"}},
      {"a lone sign is no number", "Packet:a 1 - f", {{"a", {1}}}, {"f"}},
      {"the end of the file ends the pack section",
       "Packet:a 1 2", {{"a", {1, 2}}}, {}},
      {"lines do not matter",
       "Packet:a\r\n1\t2\r\nPacket:b\n\n3\r\nend\r\nx.txt\r\n",
       {{"a", {1, 2}}, {"b", {3}}}, {"x.txt"}},
      {"the name is the word less seven characters",
       "xPacket:ab 1 end", {{":ab", {1}}}, {}},
      {"markers in the file section are file names",
       "x Packet:a 1", {}, {"Packet:a", "1"}},
      {"an embedded NUL cuts a word",
       std::string("Packet:a 1 end f\0g h", 20), {{"a", {1}}}, {"f", "h"}},
      {"pack names sort by bytes", "Packet:b 1 Packet:B 2 Packet:a 3 x",
       {{"B", {2}}, {"a", {3}}, {"b", {1}}}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const DeleteList list = ParseDeleteList(c.text);
    EXPECT_EQ(list.packs, c.packs);
    EXPECT_EQ(list.files, c.files);
  }
}

TEST(ParseMoveListTest, ReadsRecordsUntilTheGrammarBreaks) {
  struct Case {
    const char* label;
    std::string text;
    Moves moves;
  };
  const Case cases[] = {
      {"empty", "", {}},
      {"two records in id order", "9 From:c To:d\r\n1 From:a To:b\r\n",
       {{1, {"a", "b"}}, {9, {"c", "d"}}}},
      {"a repeated id keeps the last pair",
       "5 From:a To:b 5 From:c To:d", {{5, {"c", "d"}}}},
      {"a source word without its marker stops reading",
       "1 From:a To:b 2 Fro:c To:d 3 From:e To:f", {{1, {"a", "b"}}}},
      {"a target word without its marker drops its record",
       "1 From:a Tx:b 2 From:c To:d", {}},
      {"a first item that is no number stops reading",
       "x 1 From:a To:b", {}},
      {"the end of the file inside a record drops it",
       "1 From:a To:b 2 From:c", {{1, {"a", "b"}}}},
      {"signed ids", "-1 From:a To:b +2 From:c To:d",
       {{2, {"c", "d"}}, {0xFFFFFFFFu, {"a", "b"}}}},
      {"a number may touch its word", "7From:a To:b", {{7, {"a", "b"}}}},
      {"empty names", "1 From: To:", {{1, {"", ""}}}},
      {"names are the words less the marker lengths",
       "1 xFrom:a xTo:b", {{1, {":a", ":b"}}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(ParseMoveList(c.text), c.moves);
  }
}

TEST(NameStaysInsideTest, RefusesNamesThatLeaveTheDirectory) {
  struct Case {
    const char* name;
    bool inside;
  };
  const Case cases[] = {
      {"", true},          {"a.pac", true},       {"sub\\a.pac", true},
      {"sub/a", true},     {"..a", true},         {"a..b\\c", true},
      {".\\a", true},      {"1:", true},          {"ab:c", true},
      {"..", false},       {"..\\a", false},      {"../a", false},
      {"a\\..\\b", false}, {"a/..", false},       {"a\\../b", false},
      {"\\a", false},      {"/a", false},         {"C:a", false},
      {"c:\\a", false},    {"z:", false},         {"a\\.. \\b", false},
      {"...\\b", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(NameStaysInside(c.name), c.inside) << c.name;
  }
}

TEST(CanonicalPackNameTest, SpellingsOfOnePackMeet) {
  struct Case {
    const char* name;
    const char* canonical;
  };
  const Case cases[] = {
      {"items", "items"},
      {"./items", "items"},
      {".\\items", "items"},
      {"ITEMS", "items"},
      {"items.", "items"},
      {"items .. ", "items"},
      {"sub/items", "sub\\items"},
      {"sub\\\\items", "sub\\items"},
      {"Sub.\\./items", "sub\\items"},
      {"sub\\..\\items", "items"},
      {"sub\\...\\items", "items"},
      {"a\\b\\..\\..\\items", "items"},
      {"..\\items", "..\\items"},
      {"../../items", "..\\..\\items"},
      {"items.old", "items.old"},
      {" items", " items"},
      {"\xD0\x9F\xD0\xB0\xD0\xBA", "\xD0\xBF\xD0\xB0\xD0\xBA"},  // Cyrillic folds
      {"A\xFF", "a\xFF"},  // undecodable bytes stay, ASCII still folds
      {"", ""},
      {".", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CanonicalPackName(c.name), c.canonical) << c.name;
  }
}

}  // namespace
}  // namespace dizedir
