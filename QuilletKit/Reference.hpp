#pragma once
// Internal, not installed: the straightforward procedures that the fast ones
// must agree with, kept for tests and benchmarks. Pure; any thread.
#include <string>
#include <string_view>
#include <vector>

#include "QuilletKit/Meeting.hpp"

namespace quillet::reference {

// Transcript::removingEcho by the quadratic procedure.
std::vector<Segment> removingEcho(const std::vector<Segment>& segments, double window, double threshold);
// text::comparisonWords through the general Unicode path only.
std::vector<std::string> comparisonWords(std::string_view s);

}  // namespace quillet::reference
