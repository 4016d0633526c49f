#include "lists/release_state.h"

#include <gtest/gtest.h>

#include <string>

namespace dizedir {
namespace {

TEST(ReleaseState, DamagedTextReadsAsNoState) {
  const std::string good =
      "dizedir release state 1\nline {G}\nsequence 12\nkey RWQkey1\nkey RWQkey2\n";
  ReleaseState state;
  ASSERT_TRUE(ParseReleaseState(good, &state).ok());
  EXPECT_EQ(state.line, "{G}");
  EXPECT_EQ(state.sequence, 12);
  EXPECT_EQ(state.learned_keys, (std::vector<std::string>{"RWQkey1", "RWQkey2"}));
  EXPECT_EQ(FormatReleaseState(state), good);

  // A state that cannot be read must not keep a floor or keys from a
  // half-parsed text, and a torn write is refused whole.
  const char* damaged[] = {
      "",
      "dizedir release state 2\nline {G}\nsequence 12\n",
      "dizedir release state 1\nsequence 12\nline {G}\n",
      "dizedir release state 1\nline {G}\nsequence -3\n",
      "dizedir release state 1\nline {G}\nsequence 12x\n",
      "dizedir release state 1\nline {G}\nsequence 99999999999999999999\n",
      "dizedir release state 1\nline {G}\nsequence 12\nkey RWQ",
      "dizedir release state 1\nline {G}\nsequence 12\nkey a b\n",
      "dizedir release state 1\nline {G}\nsequence 12\nnext RWQ\n",
  };
  for (const char* text : damaged) {
    SCOPED_TRACE(text);
    ReleaseState parsed;
    parsed.sequence = 77;
    EXPECT_FALSE(ParseReleaseState(text, &parsed).ok());
    EXPECT_EQ(parsed.sequence, 77);
  }
}

TEST(ReleaseState, LearnsEachKeyOnceAndForgetsTheOldest) {
  ReleaseState state;
  state.line = "{G}";
  for (size_t i = 0; i < kMaxLearnedKeys + 2; ++i) {
    state.Learn("key" + std::to_string(i));
    state.Learn("key" + std::to_string(i));
  }
  ASSERT_EQ(state.learned_keys.size(), kMaxLearnedKeys);
  EXPECT_EQ(state.learned_keys.front(), "key2");
  EXPECT_EQ(state.learned_keys.back(), "key" + std::to_string(kMaxLearnedKeys + 1));
  ReleaseState parsed;
  EXPECT_TRUE(ParseReleaseState(FormatReleaseState(state), &parsed).ok());
}

}  // namespace
}  // namespace dizedir
