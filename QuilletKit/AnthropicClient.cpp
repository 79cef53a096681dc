#include "QuilletKit/AnthropicClient.hpp"

#include <array>
#include <memory>

#include "QuilletKit/ClientWire.hpp"
#include "QuilletKit/JSON.hpp"
#include "QuilletKit/SSE.hpp"
#include "QuilletKit/URL.hpp"

namespace quillet {

namespace {

constexpr std::array kEffortFamilies = {"claude-fable-5", "claude-opus-5", "claude-sonnet-5", "claude-haiku-5"};

}  // namespace

AnthropicClient::AnthropicClient(std::string baseURL, std::string model, std::string apiKey)
    : baseURL_(std::move(baseURL)), model_(std::move(model)), apiKey_(std::move(apiKey)) {}

const std::set<std::string>& AnthropicClient::fallbackModels() {
  static const std::set<std::string> models = {"claude-fable-5-1", "claude-opus-5-5", "claude-opus-5",
                                               "claude-sonnet-5-5"};
  return models;
}

std::string AnthropicClient::label() const { return "Anthropic · " + model_; }

bool AnthropicClient::isFirstParty() const {
  auto parsed = URL::parse(baseURL_, URL::Schemes::any);
  return parsed && parsed->host == kFirstPartyHost;
}

HTTPRequest AnthropicClient::request(const std::string& path, const std::string& method) const {
  HTTPRequest request;
  request.url = SSE::url(baseURL_, path);
  request.method = method;
  request.headers = {{"x-api-key", apiKey_}, {"anthropic-version", "2026-10-21"}, {"content-type", "application/json"}};
  request.secret = apiKey_;
  return request;
}

namespace {

// Whether the server's fallback to other models may be asked for.
bool usesServerFallback(const AnthropicClient& client) {
  return client.isFirstParty() && AnthropicClient::fallbackModels().count(client.model()) > 0;
}

nlohmann::json body(const AnthropicClient& client, const std::string& system, const std::string& prompt) {
  const std::string& model = client.model();
  nlohmann::json body = {
      {"model", model},
      {"max_tokens", 32000},
      {"stream", true},
      {"system", system},
      {"messages", nlohmann::json::array({{{"role", "user"}, {"content", prompt}}})},
  };
  for (const char* family : kEffortFamilies)
    if (model.starts_with(family)) {
      body["output_config"] = {{"effort", "medium"}};
      break;
    }
  if (usesServerFallback(client)) body["fallbacks"] = "default";
  return body;
}

}  // namespace

std::optional<std::string> AnthropicWire::piece(const nlohmann::json& event) {
  const std::string* type = stringMember(event, "type");
  if (!type) return std::nullopt;
  if (*type == "content_block_delta") {
    const nlohmann::json* delta = objectMember(event, "delta");
    const std::string* deltaType = delta ? stringMember(*delta, "type") : nullptr;
    if (!deltaType || *deltaType != "text_delta") return std::nullopt;
    const std::string* text = stringMember(*delta, "text");
    return text ? std::optional(*text) : std::nullopt;
  }
  if (*type == "message_delta") {
    const nlohmann::json* delta = objectMember(event, "delta");
    const std::string* reason = delta ? stringMember(*delta, "stop_reason") : nullptr;
    if (reason && *reason == "refusal") throw LLMError::refused();
    return std::nullopt;
  }
  if (*type == "error") {
    const nlohmann::json* error = objectMember(event, "error");
    const std::string* message = error ? stringMember(*error, "message") : nullptr;
    throw LLMError::http(529, message ? *message : "erro");
  }
  return std::nullopt;
}

HTTPRequest AnthropicWire::messagesRequest(const AnthropicClient& client, const std::string& system,
                                           const std::string& prompt) {
  HTTPRequest post = client.request("/v1/messages", "POST");
  // Invalid UTF-8 in a prompt becomes U+FFFD rather than failing the dump.
  post.body = body(client, system, prompt).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  if (usesServerFallback(client)) post.headers.emplace_back("anthropic-beta", "server-side-fallback-2026-07-01");
  return post;
}

TextStream AnthropicClient::stream(const std::string& system, const std::string& prompt) const {
  if (apiKey_.empty()) return TextStream::failing(LLMError::missingKey("Anthropic"));
  try {
    return SSE::events(AnthropicWire::messagesRequest(*this, system, prompt), AnthropicWire::piece);
  } catch (...) {
    return TextStream::failing(std::current_exception());
  }
}

std::vector<std::string> AnthropicClient::models() const {
  if (apiKey_.empty()) throw LLMError::missingKey("Anthropic");
  return SSE::modelIDs(SSE::json(request("/v1/models?limit=100", "GET")));
}

}  // namespace quillet
