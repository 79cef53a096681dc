#pragma once
// The client of every chat-completions service (OpenAI, OpenRouter, Gemini,
// Groq, DeepSeek, local servers, custom endpoints): streaming replies and the
// model list. A plain value; each call is independent and may run on any thread.
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "QuilletKit/HTTP.hpp"
#include "QuilletKit/LLMClient.hpp"

namespace quillet {

class OpenAIClient : public LLMClient {
 public:
  // `baseURL` includes the version path ("/v1"); an empty `apiKey` is sent as
  // no key at all, and is an error only when `requiresKey`.
  OpenAIClient(std::string name, std::string baseURL, std::string model, std::string apiKey, bool requiresKey);

  const std::string& name() const { return name_; }
  const std::string& baseURL() const { return baseURL_; }
  const std::string& model() const { return model_; }
  bool requiresKey() const { return requiresKey_; }

  std::string label() const override;
  TextStream stream(const std::string& system, const std::string& prompt) const override;

  // The provider's models, sorted. Throws `LLMError`.
  std::vector<std::string> models() const;

  // A request to `path` with the bearer key (when there is one) and the
  // product's title. Throws `LLMError::badURL`.
  HTTPRequest request(const std::string& path, const std::string& method) const;

 private:
  bool lacksKey() const { return requiresKey_ && apiKey_.empty(); }

  std::string name_;
  std::string baseURL_;
  std::string model_;
  std::string apiKey_;
  bool requiresKey_;
};

}  // namespace quillet
