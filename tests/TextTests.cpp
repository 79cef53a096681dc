#include <gtest/gtest.h>

#include <random>

#include "QuilletKit/Text.hpp"

using namespace quillet;

TEST(Text, CharacterCountsAreUserPerceived) {
  EXPECT_EQ(text::characterCount("abc"), 3u);
  EXPECT_EQ(text::characterCount("a\r\nb"), 3u);
  EXPECT_EQ(text::characterCount("e\u0301"), 1u);
  EXPECT_EQ(text::characterCount("\U0001F469\u200D\U0001F4BB!"), 2u);
  EXPECT_EQ(text::prefixCharacters("e\u0301xyz", 2), "e\u0301x");
  EXPECT_EQ(text::suffixCharacters("abc\U0001F600", 2), "c\U0001F600");
}

TEST(Text, ComparisonWordsFoldCaseAndAccents) {
  EXPECT_EQ(text::comparisonWords("Reunião ÁGIL, a 2ª vez!"),
            (std::vector<std::string>{"reuniao", "agil", "2ª", "vez"}));
  EXPECT_EQ(text::comparisonWords("İstanbul ŒUVRE naïve"), (std::vector<std::string>{"istanbul", "œuvre", "naive"}));
  EXPECT_EQ(text::comparisonWords("x y z"), std::vector<std::string>{});
  EXPECT_EQ(text::comparisonWords("日本語 テスト"), (std::vector<std::string>{"日本語", "テスト"}));
}

// The ASCII and Latin fast paths must give what the general path gives.
TEST(Text, FastWordPathsAgreeWithTheGeneralPath) {
  std::mt19937 random(99);
  for (int round = 0; round < 3000; ++round) {
    std::u32string text;
    for (int n = random() % 20; n > 0; --n) {
      uint32_t pick = random() % 10;
      char32_t c = pick < 5 ? U' ' + random() % 95 : pick < 9 ? 0xA0 + random() % (0x250 - 0xA0) : 0x250 + random() % 0x300;
      text.push_back(c);
    }
    std::string utf8;
    for (char32_t c : text) {
      if (c < 0x80) utf8 += static_cast<char>(c);
      else if (c < 0x800) utf8 += {static_cast<char>(0xC0 | c >> 6), static_cast<char>(0x80 | (c & 0x3F))};
      else utf8 += {static_cast<char>(0xE0 | c >> 12), static_cast<char>(0x80 | ((c >> 6) & 0x3F)), static_cast<char>(0x80 | (c & 0x3F))};
    }
    ASSERT_EQ(text::comparisonWords(utf8), text::comparisonWordsGeneral(utf8)) << utf8;
  }
}

TEST(Text, Utf8RepairAndTrimming) {
  EXPECT_TRUE(text::isValidUtf8("ação"));
  EXPECT_FALSE(text::isValidUtf8("a\xC3"));
  EXPECT_FALSE(text::isValidUtf8("\xED\xA0\x80"));  // a surrogate
  EXPECT_EQ(text::repairUtf8("a\xC3"), "a\xEF\xBF\xBD");
  EXPECT_EQ(text::trimSpaces("\t a b\u00A0 "), "a b");
  EXPECT_EQ(text::trimSpaces("\na\n"), "\na\n");
  EXPECT_EQ(text::trimSpacesAndNewlines(" \r\n a \n"), "a");
}

TEST(Text, FoldingCharacterByCharacterAgreesAndMapsBack) {
  for (std::string s : {std::string("@AZ[`az{ ORÇAMENTO do Q3, Ação! ÉÊÈ ß ǅ"), std::string("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123"),
                        std::string("Ação Δέλτα 会议 x\xC3"), std::string()}) {
    std::string out;
    std::vector<uint32_t> origin;
    text::foldInto(s, out, &origin);
    std::string plain;
    text::foldInto(s, plain);
    EXPECT_EQ(plain, out);
    ASSERT_EQ(origin.size(), out.size()) << s;
    for (size_t i = 0; i < origin.size(); ++i) {
      ASSERT_LT(origin[i], s.size());
      EXPECT_NE(static_cast<unsigned char>(s[origin[i]]) & 0xC0, 0x80u) << "not where a character begins";
      if (i) {
        EXPECT_LE(origin[i - 1], origin[i]);
      }
    }
    if (text::isValidUtf8(s)) {
      EXPECT_EQ(out, text::folded(s)) << s;
    }
  }
}
