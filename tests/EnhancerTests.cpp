#include <gtest/gtest.h>

#include "QuilletKit/Cancellation.hpp"
#include "QuilletKit/Enhancer.hpp"
#include "QuilletKit/Text.hpp"
#include "QuilletKit/Transcript.hpp"
#include "TestSupport.hpp"

using namespace quillet;
using namespace quillet::test;

namespace {

// Prompts show the meeting's times in São Paulo.
class EnhancerTest : public ::testing::Test {
 protected:
  ScopedEnv env{{"TZ", "America/Sao_Paulo"}};
};

// Lines of mine packed into parts of `limit` characters, joined by "|", without their "[00:00] Me: ".
std::string packed(const std::vector<std::string>& texts, long limit) {
  std::vector<Segment> segments;
  for (const auto& t : texts) segments.push_back(segment(Speaker::me, 0, 1, t));
  std::string joined;
  for (const auto& part : Enhancer::chunks(segments, limit)) joined += (joined.empty() ? "" : "|") + part;
  for (size_t at; (at = joined.find("[00:00] Me: ")) != std::string::npos;) joined.erase(at, 12);
  return joined;
}

}  // namespace

// Prompts with every detail are compared whole where the tool prints them.
TEST_F(EnhancerTest, PromptOfAnEmptyMeetingAndAnUnknownLanguage) {
  EXPECT_NE(Enhancer::system(MeetingLanguage{"xx-weird"}).find("in xx-weird (locale xx-weird)"), std::string::npos);
  ScopedEnv portuguese{{"LC_ALL", "pt_BR.UTF-8"}};  // weekdays stay English
  EXPECT_EQ(Enhancer::prompt(meta("Daily", "2025-03-14T12:30:00Z"), " \n\t", "", false),
            "# Meeting\nTitle: Daily\nDate: 2025-03-14 09:30 (Friday)\n\n# My notes\n(none)\n\n# Transcript\n(empty)");
}

// Limits count user-perceived characters; a word is never split.
TEST(EnhancerChunks, PacksWordsIntoBoundedParts) {
  const std::string x50(50, 'x'), e8 = "e\u0301e\u0301e\u0301e\u0301e\u0301e\u0301e\u0301e\u0301";
  EXPECT_EQ(packed({"one two three four five six seven eight", "   "}, 30),
            "one two three\n|four five six\n|seven eight\n");
  EXPECT_EQ(packed({"ab " + x50 + " cd"}, 20), "ab\n|" + x50 + "\n|cd\n");
  EXPECT_EQ(packed({e8 + " " + e8}, 12 + 17 + 1), e8 + " " + e8 + "\n");
  EXPECT_EQ(Enhancer::chunks({segment(Speaker::them, 3725.9, 3726, "a"), segment(Speaker::me, 59.99, 60, "b")}, 1000),
            std::vector<std::string>{"[1:02:05] Others: a\n[00:59] Me: b\n"});
}

TEST(EnhancerAttribution, NormalizesLinesAndMarksTheUsersOwn) {
  for (const auto& [line, normal] : std::vector<std::pair<std::string, std::string>>{
           {"  - [ ] **Comprar** Pão,  agora! ", "comprar pao, agora"}, {"## 2) Orçamento", "orcamento"},
           {"> - citação", "- citacao"}, {"\u2022 item", "item"}, {"...", ""}})
    EXPECT_EQ(Enhancer::normalize(line), normal);

  EXPECT_EQ(Enhancer::attribute("Summary\n- Buy milk\n", "\nok\nbuy milk"),
            (std::vector<Enhancer::Line>{{0, "Summary", false}, {1, "- Buy milk", true}, {2, "", false}}));
  for (const auto& [line, notes, mine] : std::vector<std::tuple<std::string, std::string, bool>>{
           {"- ok tudo certo", "ok", false},  // two characters never match
           // Three words match only by containment; four words may match by overlap.
           {"prazo de entrega do cliente", "cliente entrega prazo", false},
           {"o cliente quer entrega no prazo final", "cliente entrega prazo final", true},
           {"o cliente quer entrega", "cliente entrega prazo final", false}})
    EXPECT_EQ(Enhancer::attribute(line, notes).at(0).isMine, mine) << line;
}

namespace {

// Keeps every request's (system, prompt); answers part N with a padded "summary N", the last with a reply to trim.
struct ScriptedClient : LLMClient {
  explicit ScriptedClient(std::optional<int> limit) : limit(limit) {}
  std::string label() const override { return "Roteiro"; }
  std::optional<int> maxPromptCharacters() const override { return limit; }
  TextStream stream(const std::string& system, const std::string& prompt) const override {
    requests.emplace_back(system, prompt);
    if (!system.starts_with("Summarize this part")) return TextStream::of({"\n ", "## Resumo", "\n- item", "\n\n"});
    if (requests.size() == stopAfter) stop.request_stop();
    return TextStream::of({"  summary ", std::to_string(requests.size()) + "\n"});
  }
  std::optional<int> limit;
  size_t stopAfter = 0;  // the part during which `stop` is requested; 0: none
  mutable std::stop_source stop;
  mutable std::vector<std::pair<std::string, std::string>> requests;
};

// Forty exchanges with accents; every fifth of theirs is echoed by the microphone; two pieces 1.5 s apart are a turn.
Meeting longMeeting() {
  Meeting m;
  m.meta = meta("Planejamento");
  m.notes = "- orçamento\n- contratação";
  for (int i = 0; i < 40; ++i) {
    double t = 20.0 * i;
    std::string n = std::to_string(i), asked = "revisar o orçamento número " + n + " com a equipe";
    m.segments.push_back(segment(Speaker::them, t, t + 4, "Precisamos " + asked + " de operações."));
    m.segments.push_back(segment(Speaker::them, t + 5.5, t + 7, "E também o prazo " + n + "."));
    if (i % 5 == 0) m.segments.push_back(segment(Speaker::me, t + 0.4, t + 4.2, "precisamos " + asked));
    m.segments.push_back(segment(Speaker::me, t + 10, t + 14, "Combinado, eu preparo a análise " + n + "."));
  }
  return m;
}

}  // namespace

// Each part gets what the limit leaves after the system prompt and 800 characters, never less than 1500;
// the parts cover the echo-free turns in order, and the final request carries their summaries. A stop ends it.
TEST_F(EnhancerTest, CondensesALongTranscriptInPartsUntilStopped) {
  Meeting m = longMeeting();
  const int system = static_cast<int>(text::characterCount(Enhancer::system(m.meta.language)));
  for (auto [limit, budget] : std::vector<std::pair<int, size_t>>{{100, 1500}, {system + 800 + 2100, 2100}}) {
    SCOPED_TRACE(limit);
    ScriptedClient client(limit);
    std::vector<std::string> partials;
    EXPECT_EQ(Enhancer::enhance(m, client, [&](const std::string& t) { partials.push_back(t); }), "## Resumo\n- item");
    EXPECT_EQ(partials, (std::vector<std::string>{"\n ", "\n ## Resumo", "\n ## Resumo\n- item",
                                                  "\n ## Resumo\n- item\n\n"}));
    ASSERT_GE(client.requests.size(), 3u);
    std::string joined, summaries;
    for (size_t i = 0; i + 1 < client.requests.size(); ++i) {
      EXPECT_EQ(client.requests[i].first, Enhancer::partSystem(m.meta.language));
      EXPECT_LE(text::characterCount(client.requests[i].second), budget);
      joined += client.requests[i].second;
      summaries += (i ? "\n" : "") + ("summary " + std::to_string(i + 1));
    }
    EXPECT_EQ(joined, Transcript::plain(Transcript::removingEcho(m.segments, 3.0, 0.6)) + "\n");
    EXPECT_EQ(client.requests.back(), std::pair(Enhancer::system(m.meta.language),
                                                Enhancer::prompt(m.meta, m.notes, summaries, true)));
  }
  ScriptedClient cancelled(100);
  cancelled.stopAfter = 2;
  EXPECT_THROW(Enhancer::enhance(m, cancelled, nullptr, cancelled.stop.get_token()), CancellationError);
  EXPECT_EQ(cancelled.requests.size(), 2u);
}
