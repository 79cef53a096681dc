// Error bodies and model lists as servers send them.
#include "QuilletKit/SSE.hpp"
#include "QuilletKit/Text.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view body(reinterpret_cast<const char*>(data), size);
  std::string message = quillet::SSE::errorMessage(body);
  if (!quillet::text::isValidUtf8(message)) __builtin_trap();
  auto json = nlohmann::json::parse(body.begin(), body.end(), nullptr, false);
  if (!json.is_discarded() && json.is_object()) {
    auto ids = quillet::SSE::modelIDs(json);
    if (!std::is_sorted(ids.begin(), ids.end())) __builtin_trap();
  }
  return 0;
}
