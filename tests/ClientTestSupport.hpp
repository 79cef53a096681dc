#pragma once
// Helpers of the HTTP client tests: event-stream bodies and stream outcomes.
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "QuilletKit/LLMClient.hpp"

namespace quillet::test {

// "data: <event>" blocks, as a provider streams them.
inline std::string eventStream(const std::vector<nlohmann::json>& events, bool done = false) {
  std::string body;
  for (const auto& event : events) body += "data: " + event.dump() + "\n\n";
  if (done) body += "data: [DONE]\n\n";
  return body;
}

struct StreamOutcome {
  std::vector<std::string> pieces;
  std::optional<LLMError> error;

  std::string text() const {
    std::string joined;
    for (const auto& piece : pieces) joined += piece;
    return joined;
  }
};

inline StreamOutcome drain(TextStream stream) {
  StreamOutcome outcome;
  try {
    while (auto piece = stream.next()) outcome.pieces.push_back(*piece);
  } catch (const LLMError& error) {
    outcome.error = error;
  }
  return outcome;
}

}  // namespace quillet::test
