// The preferences document, with the provider merge.
#include "FuzzSupport.hpp"
#include "QuilletKit/Preferences.hpp"

QUILLET_FUZZ_TARGET(input) {
  auto json = nlohmann::json::parse(input.begin(), input.end(), nullptr, false);
  auto prefs = json.is_discarded() ? std::nullopt : quillet::Preferences::fromJSON(json);
  if (!prefs) return;
  require(prefs->providers.size() >= quillet::Providers::presets().size());
  auto again = quillet::Preferences::fromJSON(nlohmann::json::parse(prefs->toJSON().dump()));
  require(again && *again == *prefs);
  (void)prefs->provider();
}
