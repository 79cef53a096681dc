#include "QuilletKit/ProviderConfig.hpp"

#include <cstdlib>

#include "QuilletKit/JSON.hpp"

namespace quillet {

const char* rawValue(ProviderKind kind) {
  switch (kind) {
    case ProviderKind::apple: return "apple";
    case ProviderKind::anthropic: return "anthropic";
    case ProviderKind::openAI: return "openAI";
  }
  return "openAI";
}

std::optional<ProviderKind> providerKindFromRaw(std::string_view raw) {
  if (raw == "apple") return ProviderKind::apple;
  if (raw == "anthropic") return ProviderKind::anthropic;
  if (raw == "openAI") return ProviderKind::openAI;
  return std::nullopt;
}

nlohmann::ordered_json toJSON(const ProviderConfig& p) {
  nlohmann::ordered_json j{{"id", p.id},       {"name", p.name},   {"kind", rawValue(p.kind)},
                           {"baseURL", p.baseURL}, {"model", p.model}, {"requiresKey", p.requiresKey}};
  if (p.keyURL) j["keyURL"] = *p.keyURL;
  return j;
}

std::optional<ProviderConfig> providerFromJSON(const nlohmann::json& j) {
  if (!j.is_object()) return std::nullopt;
  auto string = [&](const char* key) { return stringMember(j, key); };
  const std::string *id = string("id"), *name = string("name"), *kind = string("kind"),
                    *baseURL = string("baseURL"), *model = string("model");
  auto requiresKey = j.find("requiresKey");
  if (!id || !name || !kind || !baseURL || !model || requiresKey == j.end() || !requiresKey->is_boolean())
    return std::nullopt;
  auto parsedKind = providerKindFromRaw(*kind);
  if (!parsedKind) return std::nullopt;
  ProviderConfig p{*id, *name, *parsedKind, *baseURL, *model, requiresKey->get<bool>(), std::nullopt};
  if (auto keyURL = j.find("keyURL"); keyURL != j.end() && !keyURL->is_null()) {
    if (!keyURL->is_string()) return std::nullopt;
    p.keyURL = keyURL->get<std::string>();
  }
  return p;
}

const std::vector<ProviderConfig>& Providers::presets() {
  using K = ProviderKind;
  static const std::vector<ProviderConfig> catalog = {
      {"anthropic", "Claude (Anthropic)", K::anthropic, "https://api.anthropic.com", "claude-opus-5-5", true,
       "https://console.anthropic.com/settings/keys"},
      {"openai", "ChatGPT (OpenAI)", K::openAI, "https://api.openai.com/v1", "gpt-5-mini", true,
       "https://platform.openai.com/api-keys"},
      {"openrouter", "OpenRouter", K::openAI, "https://openrouter.ai/api/v1", "openrouter/auto", true,
       "https://openrouter.ai/settings/keys"},
      {"gemini", "Gemini (Google)", K::openAI, "https://generativelanguage.googleapis.com/v1beta/openai",
       "gemini-2.5-flash", true, "https://aistudio.google.com/apikey"},
      {"groq", "Groq", K::openAI, "https://api.groq.com/openai/v1", "llama-3.3-70b-versatile", true,
       "https://console.groq.com/keys"},
      {"deepseek", "DeepSeek", K::openAI, "https://api.deepseek.com/v1", "deepseek-chat", true,
       "https://platform.deepseek.com/api_keys"},
      {"ollama", "Ollama (local)", K::openAI, "http://127.0.0.1:11434/v1", "llama3.2", false, std::nullopt},
      {"lmstudio", "LM Studio (local)", K::openAI, "http://127.0.0.1:1234/v1", "", false, std::nullopt},
      {"custom", "Outro (compatível com OpenAI)", K::openAI, "https://", "", true, std::nullopt},
      {"apple", "IA da Apple (no Mac)", K::apple, "", "system", false, std::nullopt},
  };
  return catalog;
}

const ProviderConfig& Providers::apple() {
  static const ProviderConfig& entry = [] () -> const ProviderConfig& {
    for (const auto& p : presets())
      if (p.kind == ProviderKind::apple) return p;
    return presets().back();
  }();
  return entry;
}

}  // namespace quillet
