#include <gtest/gtest.h>

#include "QuilletKit/Cancellation.hpp"
#include "QuilletKit/Enhancer.hpp"
#include "QuilletKit/Text.hpp"
#include "QuilletKit/Transcript.hpp"
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

namespace {

// A client with a prompt limit. Part requests (those with the part system
// prompt) are answered "summary N" with spaces around it, the final request
// with `finalPieces`; every request is kept in order.
class ScriptedClient : public LLMClient {
 public:
  struct Request {
    std::string system, prompt;
  };

  ScriptedClient(std::optional<int> limit, std::vector<std::string> finalPieces = {"Notas"})
      : limit_(limit), finalPieces_(std::move(finalPieces)) {}

  std::string label() const override { return "Roteiro"; }
  std::optional<int> maxPromptCharacters() const override { return limit_; }
  TextStream stream(const std::string& system, const std::string& prompt) const override {
    requests.push_back({system, prompt});
    if (!system.starts_with("Summarize this part")) return TextStream::of(finalPieces_);
    int n = static_cast<int>(requests.size());
    if (onPart) onPart(n);
    if (failingPart == n) return TextStream::failing(LLMError::refused());
    return TextStream::of({"  summary ", std::to_string(n) + "\n"});
  }

  std::vector<Request> parts() const { return {requests.begin(), requests.end() - (finalSent() ? 1 : 0)}; }
  bool finalSent() const { return !requests.empty() && requests.back().system.starts_with("You are Quillet"); }

  mutable std::vector<Request> requests;
  std::function<void(int)> onPart;
  int failingPart = 0;

 private:
  std::optional<int> limit_;
  std::vector<std::string> finalPieces_;
};

// Forty exchanges with accents; every fifth answer of the other side is
// echoed by the microphone, and every answer of the other side comes in two
// pieces 1.5 s apart that make one turn.
Meeting longMeeting() {
  Meeting m;
  m.meta = meta("Planejamento");
  m.notes = "- orçamento\n- contratação";
  for (int i = 0; i < 40; ++i) {
    double t = 20.0 * i;
    std::string n = std::to_string(i);
    const std::string asked = "revisar o orçamento número " + n + " com a equipe";
    m.segments.push_back(segment(Speaker::them, t, t + 4, "Precisamos " + asked + " de operações."));
    m.segments.push_back(segment(Speaker::them, t + 5.5, t + 7, "E também o prazo " + n + "."));
    if (i % 5 == 0) m.segments.push_back(segment(Speaker::me, t + 0.4, t + 4.2, "precisamos " + asked));
    m.segments.push_back(segment(Speaker::me, t + 10, t + 14, "Combinado, eu preparo a análise " + n + "."));
  }
  return m;
}

std::string echoFreeLines(const Meeting& m) {
  return Transcript::plain(Transcript::removingEcho(m.segments, 3.0, 0.6)) + "\n";
}

size_t count(const std::string& s) { return text::characterCount(s); }

// The parts cover the echo-free turns in order, each within `budget`, and
// each as full as the next line allowed.
void expectParts(const ScriptedClient& client, const Meeting& m, size_t budget) {
  auto parts = client.parts();
  ASSERT_GE(parts.size(), 2u);
  std::string joined;
  for (size_t i = 0; i < parts.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(parts[i].system, Enhancer::partSystem(m.meta.language));
    EXPECT_LE(count(parts[i].prompt), budget);
    if (i + 1 < parts.size()) {
      std::string nextLine = parts[i + 1].prompt.substr(0, parts[i + 1].prompt.find('\n') + 1);
      EXPECT_GT(count(parts[i].prompt) + count(nextLine), budget);
    }
    joined += parts[i].prompt;
  }
  EXPECT_EQ(joined, echoFreeLines(m));
  const std::string turn =
      "Others: Precisamos revisar o orçamento número 7 com a equipe de operações. E também o prazo 7.";
  EXPECT_NE(joined.find(turn), std::string::npos);
  EXPECT_EQ(joined.find("precisamos revisar"), std::string::npos);
}

std::string summaries(size_t n) {
  std::string joined;
  for (size_t i = 1; i <= n; ++i) joined += (i > 1 ? "\n" : "") + ("summary " + std::to_string(i));
  return joined;
}

}  // namespace

TEST_F(EnhancerPrompts, CondensesInPartsWithTheBudgetFloor) {
  Meeting m = longMeeting();
  ScriptedClient client(100);
  EXPECT_EQ(Enhancer::enhance(m, client, nullptr), "Notas");
  expectParts(client, m, 1500);
  ASSERT_TRUE(client.finalSent());
  const auto& final = client.requests.back();
  EXPECT_EQ(final.system, Enhancer::system(m.meta.language));
  EXPECT_EQ(final.prompt, Enhancer::prompt(m.meta, m.notes, summaries(client.parts().size()), true));
  EXPECT_NE(final.prompt.find("\n\n# Transcript (summarized in parts)\nsummary 1\nsummary 2\n"), std::string::npos);
}

TEST_F(EnhancerPrompts, ThePartBudgetLeavesRoomForTheSystemPrompt) {
  Meeting m = longMeeting();
  const size_t system = count(Enhancer::system(m.meta.language));
  ScriptedClient client(static_cast<int>(system + 800 + 2100));
  Enhancer::enhance(m, client, nullptr);
  expectParts(client, m, 2100);
}

TEST_F(EnhancerPrompts, CondensesOnlyWhatDoesNotFitCountingCharacters) {
  Meeting m;
  m.meta = meta("Café ☕ com 👍🏽");
  m.notes = "- decisão: manter o café\u0301";
  m.segments = {segment(Speaker::them, 0, 3, "Olá 👋🏾, tudo bem? Açúcar ou adoçante?"),
                segment(Speaker::me, 4, 6, "Nenhum, obrigado 🙏.")};
  const std::string full = Enhancer::prompt(m.meta, m.notes, Transcript::plain(m.segments), false);
  const std::string system = Enhancer::system(m.meta.language);
  const int fits = static_cast<int>(count(full) + count(system));
  ASSERT_LT(static_cast<size_t>(fits), full.size() + system.size());  // bytes would say otherwise

  for (std::optional<int> limit : {std::optional<int>(), std::optional<int>(fits)}) {
    ScriptedClient client(limit);
    Enhancer::enhance(m, client, nullptr);
    ASSERT_EQ(client.requests.size(), 1u);
    EXPECT_EQ(client.requests[0].prompt, full);
  }
  ScriptedClient tight(fits - 1);
  Enhancer::enhance(m, tight, nullptr);
  ASSERT_EQ(tight.requests.size(), 2u);
  EXPECT_EQ(tight.requests[0].prompt, Transcript::plain(m.segments) + "\n");
  EXPECT_EQ(tight.requests[1].prompt, Enhancer::prompt(m.meta, m.notes, "summary 1", true));
}

TEST_F(EnhancerPrompts, NothingToCondenseLeavesAnEmptySummary) {
  Meeting m;
  m.meta = meta("Só notas");
  m.notes = std::string(3000, 'n');
  ScriptedClient client(1000);
  Enhancer::enhance(m, client, nullptr);
  ASSERT_EQ(client.requests.size(), 1u);
  EXPECT_TRUE(client.requests[0].prompt.ends_with("\n\n# Transcript (summarized in parts)\n(empty)"));
}

TEST_F(EnhancerPrompts, PartialsAreGrowingPrefixesOfTheFinalReply) {
  ScriptedClient client(100, {"\n ", "## Resumo", "\n- item", "\n\n"});
  std::vector<std::string> partials;
  EXPECT_EQ(Enhancer::enhance(longMeeting(), client, [&](const std::string& t) { partials.push_back(t); }),
            "## Resumo\n- item");
  EXPECT_EQ(partials, (std::vector<std::string>{"\n ", "\n ## Resumo", "\n ## Resumo\n- item",
                                                "\n ## Resumo\n- item\n\n"}));
}

TEST_F(EnhancerPrompts, StopsBetweenPartsAndOnAPartError) {
  std::stop_source stop;
  ScriptedClient cancelled(100);
  cancelled.onPart = [&](int n) {
    if (n == 2) stop.request_stop();
  };
  EXPECT_THROW(Enhancer::enhance(longMeeting(), cancelled, nullptr, stop.get_token()), CancellationError);
  EXPECT_EQ(cancelled.requests.size(), 2u);

  ScriptedClient refusing(100);
  refusing.failingPart = 2;
  try {
    Enhancer::enhance(longMeeting(), refusing, nullptr);
    FAIL();
  } catch (const LLMError& e) {
    EXPECT_EQ(e.kind(), LLMError::Kind::refused);
  }
  EXPECT_EQ(refusing.requests.size(), 2u);
}
