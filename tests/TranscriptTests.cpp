#include <gtest/gtest.h>

#include <random>

#include "QuilletKit/Reference.hpp"
#include "QuilletKit/Transcript.hpp"
#include "TestSupport.hpp"

using namespace quillet;
using test::segment;

// Which of two pieces, the other side's first, survive echo removal.
TEST(RemovingEcho, WindowThresholdAndWords) {
  using S = Speaker;
  const std::string budget = "vamos fechar o orçamento hoje";
  for (const auto& [first, second, kept] : std::vector<std::tuple<Segment, Segment, size_t>>{
           // Ends 2.9 s before the echo starts: near; 3.1 s: not near.
           {segment(S::them, 10, 20, budget), segment(S::me, 22.9, 25, "vamos fechar orçamento hoje"), 1},
           {segment(S::them, 10, 20, budget), segment(S::me, 23.1, 25, "vamos fechar orçamento hoje"), 2},
           // Three of five words shared: ratio 0.6 is an echo; two of five is not.
           {segment(S::them, 0, 5, "alpha beta gamma"), segment(S::me, 1, 4, "alpha beta gamma delta epsilon"), 1},
           {segment(S::them, 0, 5, "alpha beta gamma"), segment(S::me, 1, 4, "alpha beta zeta delta epsilon"), 2},
           // Words of one character do not count; case and accents do not matter.
           {segment(S::them, 0, 5, "Sim a b c"), segment(S::me, 0, 5, "sim"), 2},
           {segment(S::them, 0, 5, "Sim a b c"), segment(S::me, 0, 5, "a b c"), 2},
           {segment(S::them, 0, 5, "Reunião ÁGIL amanhã"), segment(S::me, 1, 4, "reuniao agil amanha"), 1},
           // The other side is never removed, even when it repeats mine.
           {segment(S::me, 0, 5, "bom dia pessoal"), segment(S::them, 1, 5, "bom dia pessoal"), 1},
       }) {
    auto result = Transcript::removingEcho({first, second}, 3.0, 0.6);
    EXPECT_EQ(result.size(), kept) << second.text;
    EXPECT_EQ(result[0].speaker, Speaker::them);
  }
  EXPECT_TRUE(Transcript::removingEcho({}, 3.0, 0.6).empty());
}

TEST(RemovingEcho, AgreesWithTheReference) {
  auto agree = [](const std::vector<Segment>& segments, double window, double threshold) {
    return Transcript::removingEcho(segments, window, threshold) ==
           reference::removingEcho(segments, window, threshold);
  };
  std::mt19937 random(1234);
  auto uniform = [&random](int low, int high) { return std::uniform_int_distribution<>(low, high)(random); };
  const std::vector<std::string> vocabulary = {"sim", "não", "Orçamento", "prazo", "a", "entrega",
                                               "cliente", "ótimo", "OK", "x", "reunião", "ação"};
  for (int round = 0; round < 300; ++round) {
    // Times on a 0.1 s grid, as recognisers report them: their sums round, so a bound rearranged shows.
    std::vector<Segment> segments;
    for (int i = uniform(0, 40); i > 0; --i) {
      int start = uniform(0, 600), end = start + uniform(-10, 80);
      std::string text;
      for (int w = uniform(0, 6); w > 0; --w)
        text += vocabulary[random() % vocabulary.size()] + (random() % 3 ? " " : ", ");
      segments.push_back(segment(random() % 2 ? Speaker::me : Speaker::them, start / 10.0, end / 10.0, text));
    }
    double window = uniform(0, 50) / 10.0;
    double threshold = std::uniform_real_distribution<>(0.2, 1.0)(random);
    ASSERT_TRUE(agree(segments, window, threshold)) << "round " << round;
  }
  // Spans that touch only once widened, where rounding decides: every end and window on the grid.
  auto pair = [](double themStart, double themEnd, double meStart, double meEnd) {
    return std::vector<Segment>{segment(Speaker::them, themStart, themEnd, "bom dia pessoal"),
                                segment(Speaker::me, meStart, meEnd, "bom dia pessoal")};
  };
  EXPECT_TRUE(agree(pair(0.45, 1.0, 0.0, 0.35), 0.1, 0.6));
  for (int window = 0; window <= 20; ++window) {
    for (int edge = 0; edge <= 100; ++edge) {
      const double w = window / 10.0, meEdge = edge / 10.0, themEdge = (edge + window) / 10.0;
      SCOPED_TRACE("edge " + std::to_string(meEdge) + ", window " + std::to_string(w));
      EXPECT_TRUE(agree(pair(themEdge, themEdge + 1, meEdge - 1, meEdge), w, 0.6)) << "me ends first";
      EXPECT_TRUE(agree(pair(meEdge - 1, meEdge, themEdge, themEdge + 1), w, 0.6)) << "them ends first";
    }
  }
}

TEST(Merged, JoinsTurnsOfOneSpeakerWithinTheGap) {
  auto a = segment(Speaker::me, 0, 2, "um"), b = segment(Speaker::me, 6, 7, "dois");
  auto turns = Transcript::merged({b, a}, 4.0);
  ASSERT_EQ(turns.size(), 1u);
  EXPECT_EQ(turns[0], (Segment{a.id, Speaker::me, 0, 7, "um dois"}));
  EXPECT_EQ(Transcript::merged({a, segment(Speaker::me, 6.01, 7, "dois")}, 4.0).size(), 2u);
  EXPECT_EQ(Transcript::merged({a, segment(Speaker::them, 3, 4, "oi"), b}, 4.0).size(), 3u);
  // Overlapping pieces keep the later end.
  EXPECT_EQ(Transcript::merged({segment(Speaker::me, 0, 10, "a"), segment(Speaker::me, 1, 2, "b")}, 4.0)[0].end, 10);
}
