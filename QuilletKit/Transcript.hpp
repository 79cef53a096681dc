#pragma once
// Pure functions over transcript segments: echo removal, turns, renderings.
// No state, no failures, safe from any thread.
#include <string>
#include <vector>

#include "QuilletKit/Meeting.hpp"

namespace quillet {

struct Transcript {
  Transcript() = delete;

  // A "me" segment repeating this share of the words of a "them" segment
  // within this many seconds of it is the microphone hearing the speakers.
  static constexpr double kEchoWindow = 3.0;
  static constexpr double kEchoThreshold = 0.6;
  // Pieces of one speaker this many seconds apart or closer make one turn.
  static constexpr double kTurnGap = 4.0;

  // `segments` without the "me" segments that repeat, within `window` seconds,
  // at least `threshold` of their words from a "them" segment. Order is kept.
  static std::vector<Segment> removingEcho(const std::vector<Segment>& segments, double window,
                                           double threshold);
  // Sorted by start (stable) and joined into turns of one speaker separated
  // by at most `gap` seconds.
  static std::vector<Segment> merged(const std::vector<Segment>& segments, double gap);
  // "[mm:ss] Me: text" per turn, joined by line feeds.
  static std::string plain(const std::vector<Segment>& segments);
  // "# title" and a bold "**[mm:ss] Eu:** text" paragraph per turn.
  static std::string markdown(const std::vector<Segment>& segments, const std::string& title);
};

}  // namespace quillet
