// One event-stream body: the line reader, then each client's event mapping
// for every payload that parses as a JSON object.
#include "QuilletKit/ClientWire.hpp"
#include "QuilletKit/LLMClient.hpp"
#include "QuilletKit/OpenAIClient.hpp"
#include "QuilletKit/SSE.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view body(reinterpret_cast<const char*>(data), size);
  quillet::SSE::LineReader reader(1 << 20);
  auto onPayload = [](std::string_view payload) {
    if (payload == "[DONE]") return false;
    auto event = nlohmann::json::parse(payload.begin(), payload.end(), nullptr, false);
    if (event.is_discarded() || !event.is_object()) return true;
    for (auto map : {&quillet::AnthropicWire::piece, &quillet::OpenAIWire::piece}) {
      try {
        (void)map(event);
      } catch (const quillet::LLMError&) {
      }
    }
    return true;
  };
  // Fed in two pieces, as a body split across reads.
  size_t split = size / 3;
  if (reader.feed(body.substr(0, split), onPayload) && reader.feed(body.substr(split), onPayload))
    reader.finish(onPayload);
  return 0;
}
