#include <gtest/gtest.h>

#include "QuilletKit/Export.hpp"

using quillet::Export;

TEST(SlackExport, ConvertsLineByLine) {
  const std::string longLine = "**" + std::string(200000, 'a');
  for (const auto& [markdown, slack] : std::vector<std::pair<std::string, std::string>>{
           {"## Próximos **passos**", "*Próximos passos*"},
           {"  # Título", "  *Título*"},
           {"####### não é título", "####### não é título"}, {"#semespaço", "#semespaço"},
           {"- [ ] revisar\n- [x] feito\n- [X] feito", "\u2610 revisar\n\u2611 feito\n\u2611 feito"},
           {"* item", "\u2022 item"}, {"    - **Ana** confirma", "    \u2022 *Ana* confirma"},
           {"**a** e **b** e **c", "*a* e *b* e **c"},
           {"_itálico_ *x* [link](http://a) `code`", "_itálico_ *x* [link](http://a) `code`"},
           // The number of lines stays; a tab is no indentation and a lone CR stays in its line.
           {"", ""}, {"# T\n\n- a\n", "*T*\n\n\u2022 a\n"}, {"\t- a\r", "\t- a\r"},
           {"\xff\xfe **x**", "\xEF\xBF\xBD\xEF\xBF\xBD *x*"}, {longLine, longLine},
       })
    EXPECT_EQ(Export::slack(markdown), slack) << markdown.substr(0, 40);
}
