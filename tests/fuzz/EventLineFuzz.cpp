// One event-stream body in two reads: the line reader, then each client's mapping of every JSON object.
#include "FuzzSupport.hpp"
#include "QuilletKit/ClientWire.hpp"
#include "QuilletKit/LLMClient.hpp"

QUILLET_FUZZ_TARGET(body) {
  for (const auto& payload : eventPayloads({body.substr(0, body.size() / 3), body.substr(body.size() / 3)}, 1 << 20)) {
    auto event = nlohmann::json::parse(payload, nullptr, false);
    if (event.is_discarded() || !event.is_object()) continue;
    for (auto map : {&quillet::AnthropicWire::piece, &quillet::OpenAIWire::piece}) {
      try {
        (void)map(event);
      } catch (const quillet::LLMError&) {
      }
    }
  }
}
