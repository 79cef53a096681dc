// What turns a provider's configuration into something that talks to a model:
// its key and its client. Kept apart from the plain records so that reading
// the preferences never drags in the network and keychain libraries.
#include <cstdlib>

#include "QuilletKit/AnthropicClient.hpp"
#include "QuilletKit/AppleClient.hpp"
#include "QuilletKit/Keychain.hpp"
#include "QuilletKit/OpenAIClient.hpp"
#include "QuilletKit/ProviderConfig.hpp"

namespace quillet {

std::string ProviderConfig::apiKey() const {
  if (auto key = Keychain::get(id); key && !key->empty()) return *key;
  const char* fromEnvironment = std::getenv("QUILLET_API_KEY");
  return fromEnvironment ? fromEnvironment : "";
}

bool ProviderConfig::hasKey() const { return !requiresKey || !apiKey().empty(); }

std::unique_ptr<LLMClient> ProviderConfig::client(const std::optional<std::string>& key) const {
  switch (kind) {
    case ProviderKind::apple:
      return std::make_unique<AppleClient>();
    case ProviderKind::anthropic:
      return std::make_unique<AnthropicClient>(baseURL, model, key ? *key : apiKey());
    case ProviderKind::openAI:
      break;
  }
  return std::make_unique<OpenAIClient>(name, baseURL, model, key ? *key : apiKey(), requiresKey);
}

std::vector<std::string> ProviderConfig::models(const std::optional<std::string>& key) const {
  if (kind == ProviderKind::apple) return {"system"};
  std::unique_ptr<LLMClient> made = client(key);
  if (auto* anthropic = dynamic_cast<AnthropicClient*>(made.get())) return anthropic->models();
  return static_cast<OpenAIClient&>(*made).models();
}

}  // namespace quillet
