#include <gtest/gtest.h>

#include "QuilletKit/Search.hpp"
#include "TestSupport.hpp"

using namespace quillet;
using namespace quillet::test;

TEST(Search, LinesHoldingEveryWordWhereverTheyBeginAWord) {
  using Parts = std::vector<std::string>;  // the marked parts; none when the line does not match
  for (const auto& [query, line, marked] : std::vector<std::tuple<std::string, std::string, Parts>>{
           {"orcamento", "Fechar o Orçamento hoje", {"Orçamento"}},
           {"decis", "A decisão ficou para sexta.", {"decis"}},
           {"cisão", "A decisão ficou para sexta.", {}},  // not where a word begins
           {"prazo cliente", "o cliente pediu mais prazo", {"cliente", "prazo"}},
           {"prazo cliente", "o cliente pediu mais tempo", {}},
           {"acao", "Ação: revisar\u2014ação", {"Ação", "ação"}},
           {"café", "cafe\u0301 é bom", {"cafe\u0301"}},  // a combining accent is no letter of its own
           {"or orcamento", "orcamento", {"orcamento"}},  // overlapping words make one mark
       }) {
    Parts parts;
    if (auto marks = Search::match(line, Search::words(query)))
      for (auto [begin, end] : *marks) parts.push_back(line.substr(begin, end - begin));
    EXPECT_EQ(parts, marked) << query << " | " << line;
  }
  EXPECT_TRUE(Search::words("a - ?").empty());
  EXPECT_FALSE(Search::match("anything", {}));
}

TEST(Search, ReportsMeetingsNewestFirstAndEachPlaceInOrder) {
  TempDir dir;
  Store store{dir.path()};
  Meeting old = store.create(meta("Orçamento de março", "2025-03-01T10:00:00Z"));
  old.notes = "- revisar o orçamento\n\n- outra coisa\r\n- orçamento final\r\n";
  old.enhanced = "## Decisões\n- Orçamento aprovado\n";
  store.save(old);
  old.segments = {segment(Speaker::them, 75.4, 80, "o orçamento está apertado"),
                  segment(Speaker::me, 81, 83, "nada a ver")};
  store.saveTranscript(old);
  Meeting recent = store.create(meta("Weekly", "2025-03-20T10:00:00Z"));
  recent.notes = "orcamento de abril\n";
  store.save(recent);
  store.create(meta("Sem nada", "2025-03-25T10:00:00Z"));

  std::vector<std::string> seen;
  Search::run(store, Search::words("ORÇAMENTO"), [&](const Search::Hit& hit) {
    std::string where = hit.meeting->meta.title + " " + std::to_string(static_cast<int>(hit.place)) + " " + hit.line;
    if (hit.time) where += " @" + clock(*hit.time) + " " + rawValue(hit.speaker);
    seen.push_back(where);
  });
  EXPECT_EQ(seen, (std::vector<std::string>{
                      "Weekly 1 orcamento de abril",
                      "Orçamento de março 0 Orçamento de março",
                      "Orçamento de março 1 - revisar o orçamento",
                      "Orçamento de março 1 - orçamento final",
                      "Orçamento de março 2 - Orçamento aprovado",
                      "Orçamento de março 3 o orçamento está apertado @01:15 outros",
                  }));

  // A handler that throws stops the search and its workers.
  for (int i = 0; i < 40; ++i) store.create(meta("Orçamento " + std::to_string(i)));
  int calls = 0;
  auto full = [&](const Search::Hit&) {
    if (++calls == 3) throw std::runtime_error("cheio");
  };
  EXPECT_THROW(Search::run(store, Search::words("orçamento"), full), std::runtime_error);
  EXPECT_EQ(calls, 3);
}
