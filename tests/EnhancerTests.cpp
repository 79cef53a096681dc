#include <gtest/gtest.h>

#include "QuilletKit/Enhancer.hpp"
#include "TestSupport.hpp"

using namespace quillet;
using namespace quillet::test;

namespace {

class EnhancerPrompts : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "America/Sao_Paulo", 1);
    tzset();
  }
};

std::vector<std::string> lines(const std::string& s) {
  std::vector<std::string> out;
  size_t start = 0;
  for (size_t end; (end = s.find('\n', start)) != std::string::npos; start = end + 1) out.push_back(s.substr(start, end - start));
  out.push_back(s.substr(start));
  return out;
}

}  // namespace

TEST_F(EnhancerPrompts, SystemPrompts) {
  auto system = lines(Enhancer::system(MeetingLanguage::pt()));
  ASSERT_EQ(system.size(), 9u);
  EXPECT_EQ(system[3], "Write the final notes in Markdown, in Portuguese (Brazil) (locale pt-BR), including the headings:");
  EXPECT_EQ(system[2], "");
  EXPECT_NE(system[6].find("1\u20132 sentence"), std::string::npos);
  EXPECT_NE(system[6].find("`- [ ] Owner \u2014 task (due date, if any)`"), std::string::npos);
  EXPECT_EQ(Enhancer::partSystem(MeetingLanguage::en()),
            "Summarize this part of a meeting as short bullets: topics, decisions, numbers, names and tasks. "
            "Bullets only, in English (United States).");
  EXPECT_NE(Enhancer::system(MeetingLanguage{"xx-weird"}).find("in xx-weird (locale xx-weird)"), std::string::npos);
}

TEST_F(EnhancerPrompts, UserPromptWithAndWithoutDetails) {
  MeetingMeta m = meta("Daily", "2025-03-14T12:30:00Z");
  EXPECT_EQ(Enhancer::prompt(m, " \n\t", "", false),
            "# Meeting\nTitle: Daily\nDate: 2025-03-14 09:30 (Friday)\n\n# My notes\n(none)\n\n# Transcript\n(empty)");
  m.end = m.start + std::chrono::seconds(89 + 60 * 44);
  m.attendees = {"Ana", "Bruno"};
  m.app = "us.zoom.xos";
  EXPECT_EQ(Enhancer::prompt(m, "\n  - pauta  \n", "[00:01] Me: oi\n", true),
            "# Meeting\nTitle: Daily\nDate: 2025-03-14 09:30 (Friday)\nDuration: 45 min\nAttendees: Ana, Bruno\n"
            "App: us.zoom.xos\n\n# My notes\n- pauta\n\n# Transcript (summarized in parts)\n[00:01] Me: oi\n");
  setenv("LC_ALL", "pt_BR.UTF-8", 1);
  EXPECT_NE(Enhancer::prompt(m, "", "", false).find("(Friday)"), std::string::npos);
  unsetenv("LC_ALL");
}

TEST(EnhancerChunks, PacksLinesIntoBoundedParts) {
  auto parts = Enhancer::chunks({segment(Speaker::me, 0, 1, "one two three four five six seven eight")}, 30);
  EXPECT_EQ(parts, (std::vector<std::string>{"[00:00] Me: one two three\n", "[00:00] Me: four five six\n",
                                             "[00:00] Me: seven eight\n"}));
  EXPECT_EQ(Enhancer::chunks({segment(Speaker::them, 3725.9, 3726, "a"), segment(Speaker::me, 59.99, 60, "b")}, 1000),
            std::vector<std::string>{"[1:02:05] Others: a\n[00:59] Me: b\n"});
  EXPECT_TRUE(Enhancer::chunks({segment(Speaker::me, 0, 1, "   ")}, 100).empty());
  // A word longer than the limit keeps its own line, and is never split.
  auto longWord = Enhancer::chunks({segment(Speaker::me, 0, 1, "ab " + std::string(50, 'x') + " cd")}, 20);
  ASSERT_EQ(longWord.size(), 3u);
  EXPECT_EQ(longWord[1], "[00:00] Me: " + std::string(50, 'x') + "\n");
  // Counting is by user-perceived characters: "é" spelled with a mark is one.
  std::string accented;
  for (int i = 0; i < 8; ++i) accented += "e\u0301";
  EXPECT_EQ(Enhancer::chunks({segment(Speaker::me, 0, 1, accented + " " + accented)}, 12 + 17 + 1).size(), 1u);
  EXPECT_EQ(Enhancer::chunks({segment(Speaker::me, 0, 1, accented + " " + accented)}, 12 + 17).size(), 2u);
}

TEST(EnhancerAttribution, NormalizeAndAttribute) {
  EXPECT_EQ(Enhancer::normalize("  - [ ] **Comprar** Pão,  agora! "), "comprar pao, agora");
  EXPECT_EQ(Enhancer::normalize("## 2) Orçamento"), "orcamento");
  EXPECT_EQ(Enhancer::normalize("> - citação"), "- citacao");
  EXPECT_EQ(Enhancer::normalize("\u2022 item"), "item");
  EXPECT_EQ(Enhancer::normalize("..."), "");

  auto lines = Enhancer::attribute("Summary\n- Buy milk\n", "buy milk");
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], (Enhancer::Line{0, "Summary", false}));
  EXPECT_EQ(lines[1], (Enhancer::Line{1, "- Buy milk", true}));
  EXPECT_EQ(lines[2], (Enhancer::Line{2, "", false}));

  EXPECT_FALSE(Enhancer::attribute("- ok tudo certo", "ok")[0].isMine);  // two characters never match
  // Three words match only by containment; four words may match by overlap.
  EXPECT_FALSE(Enhancer::attribute("prazo de entrega do cliente", "cliente entrega prazo")[0].isMine);
  EXPECT_TRUE(Enhancer::attribute("o cliente quer entrega no prazo final", "cliente entrega prazo final")[0].isMine);
  EXPECT_FALSE(Enhancer::attribute("anything", "")[0].isMine);
}
