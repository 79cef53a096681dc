#include <gtest/gtest.h>

#include <random>

#include "QuilletKit/Transcript.hpp"
#include "TestSupport.hpp"

using namespace quillet;
using test::segment;

namespace {

std::vector<std::string> texts(const std::vector<Segment>& segments) {
  std::vector<std::string> out;
  for (const auto& s : segments) out.push_back(s.text);
  return out;
}

std::vector<Segment> echoFree(const std::vector<Segment>& segments) {
  return Transcript::removingEcho(segments, 3.0, 0.6);
}

}  // namespace

TEST(RemovingEcho, WindowAndThresholdBoundaries) {
  auto them = segment(Speaker::them, 10, 20, "vamos fechar o orçamento hoje");
  // Ends 2.9 s before the echo starts: near.
  EXPECT_EQ(echoFree({them, segment(Speaker::me, 22.9, 25, "vamos fechar orçamento hoje")}).size(), 1u);
  // Starts 3.1 s after the other ends: not near.
  EXPECT_EQ(echoFree({them, segment(Speaker::me, 23.1, 25, "vamos fechar orçamento hoje")}).size(), 2u);
  // Three of five words shared: ratio 0.6 is an echo; two of five is not.
  auto other = segment(Speaker::them, 0, 5, "alpha beta gamma");
  EXPECT_EQ(echoFree({other, segment(Speaker::me, 1, 4, "alpha beta gamma delta epsilon")}).size(), 1u);
  EXPECT_EQ(echoFree({other, segment(Speaker::me, 1, 4, "alpha beta zeta delta epsilon")}).size(), 2u);
}

TEST(RemovingEcho, ShortOrFoldedWordsAndTheOtherSide) {
  auto them = segment(Speaker::them, 0, 5, "Sim a b c");
  EXPECT_EQ(echoFree({them, segment(Speaker::me, 0, 5, "sim")}).size(), 2u);
  EXPECT_EQ(echoFree({them, segment(Speaker::me, 0, 5, "a b c")}).size(), 2u);
  // Case and accents do not matter.
  auto accented = segment(Speaker::them, 0, 5, "Reunião ÁGIL amanhã");
  EXPECT_EQ(echoFree({accented, segment(Speaker::me, 1, 4, "reuniao agil amanha")}).size(), 1u);
  // "them" is never removed, even when it repeats "me".
  auto me = segment(Speaker::me, 0, 5, "bom dia pessoal");
  auto result = echoFree({me, segment(Speaker::them, 1, 5, "bom dia pessoal")});
  EXPECT_EQ(texts(result), (std::vector<std::string>{"bom dia pessoal"}));
  EXPECT_EQ(result[0].speaker, Speaker::them);
  EXPECT_TRUE(echoFree({}).empty());
}

// The fast procedure must give exactly the reference result.
TEST(RemovingEcho, AgreesWithReferenceOnRandomTranscripts) {
  std::mt19937 random(1234);
  const std::vector<std::string> vocabulary = {"sim", "não", "Orçamento", "prazo", "a", "entrega",
                                               "cliente", "ótimo", "OK", "x", "reunião", "ação"};
  for (int round = 0; round < 300; ++round) {
    std::vector<Segment> segments;
    int count = std::uniform_int_distribution<>(0, 40)(random);
    // Times on a 0.1 s grid, as recognisers report them: sums and differences
    // of such values round, so a bound rearranged in floating point shows.
    auto tenths = [&random](int low, int high) { return std::uniform_int_distribution<>(low, high)(random); };
    for (int i = 0; i < count; ++i) {
      int start = tenths(0, 600), end = start + tenths(-10, 80);
      std::string text;
      for (int w = std::uniform_int_distribution<>(0, 6)(random); w > 0; --w)
        text += vocabulary[random() % vocabulary.size()] + (random() % 3 ? " " : ", ");
      segments.push_back(segment(random() % 2 ? Speaker::me : Speaker::them, start / 10.0, end / 10.0, text));
    }
    double window = tenths(0, 50) / 10.0;
    double threshold = std::uniform_real_distribution<>(0.2, 1.0)(random);
    ASSERT_EQ(Transcript::removingEcho(segments, window, threshold),
              Transcript::removingEchoReference(segments, window, threshold))
        << "round " << round;
  }
}

// Spans that touch only once widened, where rounding decides: every end and
// window on the 0.1 s grid, the other side starting or ending just there.
TEST(RemovingEcho, AgreesWithReferenceAtTheWindowEdge) {
  auto agree = [](double themStart, double themEnd, double meStart, double meEnd, double window) {
    std::vector<Segment> segments = {segment(Speaker::them, themStart, themEnd, "bom dia pessoal"),
                                     segment(Speaker::me, meStart, meEnd, "bom dia pessoal")};
    return Transcript::removingEcho(segments, window, 0.6) == Transcript::removingEchoReference(segments, window, 0.6);
  };
  EXPECT_TRUE(agree(0.45, 1.0, 0.0, 0.35, 0.1));
  for (int window = 0; window <= 20; ++window) {
    for (int edge = 0; edge <= 100; ++edge) {
      const double w = window / 10.0, meEdge = edge / 10.0, themEdge = (edge + window) / 10.0;
      EXPECT_TRUE(agree(themEdge, themEdge + 1, meEdge - 1, meEdge, w)) << "me ends " << meEdge << ", window " << w;
      EXPECT_TRUE(agree(meEdge - 1, meEdge, themEdge, themEdge + 1, w)) << "them ends " << meEdge << ", window " << w;
    }
  }
}

TEST(Merged, JoinsTurnsOfOneSpeakerWithinTheGap) {
  auto a = segment(Speaker::me, 0, 2, "um");
  auto b = segment(Speaker::me, 6, 7, "dois");
  auto turns = Transcript::merged({b, a}, 4.0);
  ASSERT_EQ(turns.size(), 1u);
  EXPECT_EQ(turns[0].text, "um dois");
  EXPECT_EQ(turns[0].id, a.id);
  EXPECT_EQ(turns[0].end, 7);
  EXPECT_EQ(Transcript::merged({a, segment(Speaker::me, 6.01, 7, "dois")}, 4.0).size(), 2u);
  auto between = segment(Speaker::them, 3, 4, "oi");
  EXPECT_EQ(Transcript::merged({a, between, b}, 4.0).size(), 3u);
  // Overlapping pieces keep the later end.
  auto inner = Transcript::merged({segment(Speaker::me, 0, 10, "a"), segment(Speaker::me, 1, 2, "b")}, 4.0);
  EXPECT_EQ(inner[0].end, 10);
}

TEST(Renderings, PlainAndMarkdown) {
  EXPECT_EQ(Transcript::plain({}), "");
  EXPECT_EQ(Transcript::markdown({}, "Título"), "# Título\n\n");
  std::vector<Segment> segments = {segment(Speaker::me, 75.4, 80, "oi"), segment(Speaker::me, 81, 82, "tudo bem?"),
                                   segment(Speaker::them, 3700, 3701, "sim")};
  EXPECT_EQ(Transcript::plain(segments), "[01:15] Me: oi tudo bem?\n[1:01:40] Others: sim");
  EXPECT_EQ(Transcript::markdown(segments, "Daily"),
            "# Daily\n\n**[01:15] Eu:** oi tudo bem?\n\n**[1:01:40] Outros:** sim\n\n");
}
