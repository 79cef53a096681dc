#include <gtest/gtest.h>

#include <random>

#include "QuilletKit/Reference.hpp"
#include "QuilletKit/Transcript.hpp"
#include "TestSupport.hpp"

using namespace quillet;
using test::segment;

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
