#pragma once
// Internal, not installed: what the two HTTP clients put on the wire and how
// they read one event back, reachable on their own by tests, benchmarks and
// fuzzers. Stateless; any thread.
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "QuilletKit/AnthropicClient.hpp"
#include "QuilletKit/HTTP.hpp"
#include "QuilletKit/OpenAIClient.hpp"

namespace quillet {

struct AnthropicWire {
  AnthropicWire() = delete;
  // The whole request of a streamed reply: body with the effort and fallback
  // additions, and the beta header that the fallback needs. Throws `LLMError::badURL`.
  static HTTPRequest messagesRequest(const AnthropicClient& client, const std::string& system,
                                     const std::string& prompt);
  // The text piece of one event; throws for error and refusal events.
  static std::optional<std::string> piece(const nlohmann::json& event);
};

struct OpenAIWire {
  OpenAIWire() = delete;
  // The whole request of a streamed reply. Throws `LLMError::badURL`.
  static HTTPRequest completionsRequest(const OpenAIClient& client, const std::string& system,
                                        const std::string& prompt);
  // The text piece of one chunk; throws for error chunks and filtered ones.
  static std::optional<std::string> piece(const nlohmann::json& event);
};

}  // namespace quillet
