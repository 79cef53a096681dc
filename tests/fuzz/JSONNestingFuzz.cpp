// The nesting guard against the plain parser: text within the limit parses
// to the same tree through the guard, deeper text is refused, and the count
// does not depend on where the text is cut.
#include <vector>

#include "QuilletKit/JSON.hpp"

namespace {

size_t depthOf(const nlohmann::json& root) {
  size_t deepest = 0;
  std::vector<std::pair<const nlohmann::json*, size_t>> pending = {{&root, 0}};
  while (!pending.empty()) {
    auto [value, depth] = pending.back();
    pending.pop_back();
    if (!value->is_structured()) continue;
    deepest = std::max(deepest, depth + 1);
    for (const auto& child : *value) pending.push_back({&child, depth + 1});
  }
  return deepest;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  nlohmann::json guarded = quillet::parseJSON(text);
  nlohmann::json plain = nlohmann::json::parse(text.begin(), text.end(), nullptr, false);
  if (plain.is_discarded() || depthOf(plain) > quillet::kMaxJSONDepth) {
    if (!guarded.is_discarded()) __builtin_trap();
  } else if (guarded.is_discarded() || guarded != plain) {
    __builtin_trap();
  }
  size_t cut = size ? data[0] % (size + 1) : 0;
  quillet::JSONNesting whole, split;
  whole.feed(text);
  split.feed(text.substr(0, cut));
  split.feed(text.substr(cut));
  if (whole.tooDeep() != split.tooDeep()) __builtin_trap();
  return 0;
}
