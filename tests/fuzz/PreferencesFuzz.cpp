// The preferences document, with the provider merge.
#include "QuilletKit/Preferences.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto json = nlohmann::json::parse(data, data + size, nullptr, false);
  if (json.is_discarded()) return 0;
  if (auto prefs = quillet::Preferences::fromJSON(json)) {
    if (prefs->providers.size() < quillet::Providers::presets().size()) __builtin_trap();
    auto again = quillet::Preferences::fromJSON(nlohmann::json::parse(prefs->toJSON().dump()));
    if (!again || !(*again == *prefs)) __builtin_trap();
    (void)prefs->provider();
  }
  return 0;
}
