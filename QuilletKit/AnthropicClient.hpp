#pragma once
// The client of Anthropic's Messages API, streaming, with the model list.
// A plain value; each call is independent and may run on any thread.
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "QuilletKit/HTTP.hpp"
#include "QuilletKit/LLMClient.hpp"

namespace quillet {

class AnthropicClient : public LLMClient {
 public:
  // The host of Anthropic's own public API.
  static constexpr const char* kFirstPartyHost = "api.anthropic.com";

  AnthropicClient(std::string baseURL, std::string model, std::string apiKey);

  // The models for which Anthropic's own host may fall back to others.
  static const std::set<std::string>& fallbackModels();

  const std::string& baseURL() const { return baseURL_; }
  const std::string& model() const { return model_; }

  std::string label() const override;
  TextStream stream(const std::string& system, const std::string& prompt) const override;

  // The account's models, one page of at most 100, sorted. Throws `LLMError`.
  std::vector<std::string> models() const;

  // A request to `path` (which may carry a query) with the key and version
  // headers. Throws `LLMError::badURL`.
  HTTPRequest request(const std::string& path, const std::string& method) const;
  // Whether `baseURL` names Anthropic's own host, exactly.
  bool isFirstParty() const;

 private:

  std::string baseURL_;
  std::string model_;
  std::string apiKey_;
};

}  // namespace quillet
