#include <gtest/gtest.h>

#include "QuilletKit/Export.hpp"

using quillet::Export;

TEST(SlackExport, HeadingsListsAndBold) {
  EXPECT_EQ(Export::slack("## Próximos **passos**"), "*Próximos passos*");
  EXPECT_EQ(Export::slack("  # Título"), "  *Título*");
  EXPECT_EQ(Export::slack("####### não é título"), "####### não é título");
  EXPECT_EQ(Export::slack("#semespaço"), "#semespaço");
  EXPECT_EQ(Export::slack("- [ ] revisar"), "\u2610 revisar");
  EXPECT_EQ(Export::slack("- [x] feito"), "\u2611 feito");
  EXPECT_EQ(Export::slack("- [X] feito"), "\u2611 feito");
  EXPECT_EQ(Export::slack("* item"), "\u2022 item");
  EXPECT_EQ(Export::slack("    - **Ana** confirma"), "    \u2022 *Ana* confirma");
  EXPECT_EQ(Export::slack("**a** e **b** e **c"), "*a* e *b* e **c");
  EXPECT_EQ(Export::slack("_itálico_ *x* [link](http://a) `code`"), "_itálico_ *x* [link](http://a) `code`");
}

TEST(SlackExport, KeepsTheNumberOfLines) {
  EXPECT_EQ(Export::slack(""), "");
  EXPECT_EQ(Export::slack("a\n"), "a\n");
  EXPECT_EQ(Export::slack("# T\n\n- a\n"), "*T*\n\n\u2022 a\n");
  // A tab is not indentation, and a lone "\r" stays in the line.
  EXPECT_EQ(Export::slack("\t- a\r"), "\t- a\r");
}

TEST(SlackExport, SurvivesHostileLines) {
  std::string longLine = "**" + std::string(200000, 'a');
  EXPECT_EQ(Export::slack(longLine).size(), longLine.size());
  EXPECT_EQ(Export::slack("\xff\xfe **x**"), "\xEF\xBF\xBD\xEF\xBF\xBD *x*");
}
