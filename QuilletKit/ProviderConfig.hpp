#pragma once
// The language-model providers: their kinds, one provider's configuration
// record and the built-in catalog. Records are plain values; the catalog is
// built once and never changes, so all of this is safe from any thread.
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace quillet {

class LLMClient;

enum class ProviderKind { apple, anthropic, openAI };

const char* rawValue(ProviderKind kind);
std::optional<ProviderKind> providerKindFromRaw(std::string_view raw);

struct ProviderConfig {
  std::string id;       // unique in a list; also the keychain account of its key
  std::string name;     // display name
  ProviderKind kind = ProviderKind::openAI;
  std::string baseURL;  // API root the clients append their paths to
  std::string model;
  bool requiresKey = false;
  std::optional<std::string> keyURL;  // where the user obtains a key

  // The keychain item of `id`, else $QUILLET_API_KEY, else "". Reads the
  // keychain afresh on every call.
  std::string apiKey() const;
  // True when no key is needed or `apiKey()` is not empty.
  bool hasKey() const;

  // The client of this provider's kind with `key` (even an empty one), else
  // `apiKey()`. Never fails and touches no network: a missing key or a bad
  // address surfaces when the client is used.
  std::unique_ptr<LLMClient> client(const std::optional<std::string>& key = std::nullopt) const;
  // The models the provider offers; "system" alone for the on-device kind.
  // Blocking; throws the client's LLMError.
  std::vector<std::string> models(const std::optional<std::string>& key = std::nullopt) const;

  friend bool operator==(const ProviderConfig&, const ProviderConfig&) = default;
};

// Every field in declaration order, "keyURL" left out when absent. Decoding
// needs every other key with its type, and a known "kind".
nlohmann::ordered_json toJSON(const ProviderConfig& provider);
std::optional<ProviderConfig> providerFromJSON(const nlohmann::json& json);

struct Providers {
  Providers() = delete;
  // The ten built-in providers, in catalog order.
  static const std::vector<ProviderConfig>& presets();
  // The on-device entry of the catalog.
  static const ProviderConfig& apple();
};

}  // namespace quillet

template <>
struct std::hash<quillet::ProviderConfig> {
  size_t operator()(const quillet::ProviderConfig& p) const noexcept {
    size_t h = std::hash<std::string>{}(p.id);
    for (const std::string* s : {&p.name, &p.baseURL, &p.model}) h = h * 31 + std::hash<std::string>{}(*s);
    h = h * 31 + static_cast<size_t>(p.kind);
    h = h * 31 + p.requiresKey;
    return h * 31 + (p.keyURL ? std::hash<std::string>{}(*p.keyURL) : 7);
  }
};
