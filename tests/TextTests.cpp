#include <gtest/gtest.h>

#include "QuilletKit/Text.hpp"

using namespace quillet;
using Words = std::vector<std::string>;

TEST(Text, CharactersComparisonWordsAndTerminalText) {
  for (const auto& [s, n] : std::vector<std::pair<std::string, size_t>>{
           {"abc", 3}, {"a\r\nb", 3}, {"e\u0301", 1}, {"\U0001F469\u200D\U0001F4BB!", 2}, {"a\xC3", 2}})
    EXPECT_EQ(text::characterCount(s), n) << s;
  EXPECT_EQ(text::prefixCharacters("e\u0301xyz", 2), "e\u0301x");
  EXPECT_EQ(text::suffixCharacters("abc\U0001F600", 2), "c\U0001F600");
  for (const auto& [s, words] : std::vector<std::pair<std::string, Words>>{
           {"Reunião ÁGIL, a 2ª vez!", {"reuniao", "agil", "2ª", "vez"}},
           {"İstanbul ŒUVRE naïve", {"istanbul", "œuvre", "naive"}},
           {"x y z", {}}, {"日本語 テスト", {"日本語", "テスト"}}})
    EXPECT_EQ(text::comparisonWords(s), words) << s;
  for (const auto& [in, singleLine, out] : std::vector<std::tuple<std::string, bool, std::string>>{
           {"a\tb\nc", false, "a\tb\nc"}, {"a\tb\nc", true, "a\uFFFDb\uFFFDc"},
           {"\x1b[2J\rFAKE\x07\x7f", false, "\uFFFD[2J\uFFFDFAKE\uFFFD\uFFFD"},
           {"csi \u009b1m, nel \u0085, nbsp \u00a0 é", false, "csi \uFFFD1m, nel \uFFFD, nbsp \u00a0 é"},
           {"raw \x9b" "1m", false, "raw \uFFFD1m"}})
    EXPECT_EQ(text::forTerminal(in, singleLine), out) << in;
}

TEST(Text, Utf8RepairTrimmingAndFolding) {
  EXPECT_FALSE(text::isValidUtf8("a\xC3"));
  EXPECT_FALSE(text::isValidUtf8("\xED\xA0\x80"));  // a surrogate
  EXPECT_EQ(text::repairUtf8("a\xC3"), "a\xEF\xBF\xBD");
  EXPECT_EQ(text::trimSpaces("\t a b\u00A0 "), "a b");
  // Each folded byte maps back to where its character begins, in order.
  for (const std::string s : {"@AZ[`az{ ORÇAMENTO do Q3, Ação! ÉÊÈ ß ǅ", "Ação Δέλτα 会议 x\xC3", ""}) {
    std::string out, plain;
    std::vector<uint32_t> origin;
    text::foldInto(s, out, &origin);
    text::foldInto(s, plain);
    EXPECT_EQ(plain, out);
    ASSERT_EQ(origin.size(), out.size()) << s;
    for (size_t i = 0; i < origin.size(); ++i) {
      ASSERT_LT(origin[i], s.size());
      EXPECT_NE(static_cast<unsigned char>(s[origin[i]]) & 0xC0, 0x80u) << "not where a character begins";
      EXPECT_LE(i ? origin[i - 1] : 0, origin[i]);
    }
    EXPECT_TRUE(!text::isValidUtf8(s) || out == text::folded(s)) << s;
  }
}
