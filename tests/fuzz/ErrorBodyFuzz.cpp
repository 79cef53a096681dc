// Error bodies and model lists as servers send them.
#include <algorithm>

#include "FuzzSupport.hpp"
#include "QuilletKit/Text.hpp"

QUILLET_FUZZ_TARGET(body) {
  require(quillet::text::isValidUtf8(quillet::SSE::errorMessage(body)));
  auto json = nlohmann::json::parse(body.begin(), body.end(), nullptr, false);
  if (json.is_discarded() || !json.is_object()) return;
  auto ids = quillet::SSE::modelIDs(json);
  require(std::is_sorted(ids.begin(), ids.end()));
}
