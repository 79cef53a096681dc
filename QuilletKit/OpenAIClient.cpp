#include "QuilletKit/OpenAIClient.hpp"

#include "QuilletKit/ClientWire.hpp"
#include "QuilletKit/JSON.hpp"
#include "QuilletKit/SSE.hpp"

#include <algorithm>

namespace quillet {

OpenAIClient::OpenAIClient(std::string name, std::string baseURL, std::string model, std::string apiKey,
                           bool requiresKey)
    : name_(std::move(name)),
      baseURL_(std::move(baseURL)),
      model_(std::move(model)),
      apiKey_(std::move(apiKey)),
      requiresKey_(requiresKey) {}

std::string OpenAIClient::label() const { return name_ + " · " + model_; }

HTTPRequest OpenAIClient::request(const std::string& path, const std::string& method) const {
  HTTPRequest request;
  request.url = SSE::url(baseURL_, path);
  request.method = method;
  if (!apiKey_.empty()) request.headers.emplace_back("Authorization", "Bearer " + apiKey_);
  request.headers.emplace_back("Content-Type", "application/json");
  request.headers.emplace_back("X-Title", "Quillet");
  request.secret = apiKey_;
  return request;
}

namespace {

nlohmann::json body(const OpenAIClient& client, const std::string& system, const std::string& prompt) {
  return {
      {"model", client.model()},
      {"stream", true},
      {"messages",
       nlohmann::json::array({{{"role", "system"}, {"content", system}}, {{"role", "user"}, {"content", prompt}}})},
  };
}

}  // namespace

std::optional<std::string> OpenAIWire::piece(const nlohmann::json& event) {
  if (event.empty()) return std::nullopt;
  if (const nlohmann::json* error = objectMember(event, "error")) {
    const std::string* message = stringMember(*error, "message");
    throw LLMError::http(500, message ? *message : "erro");
  }
  auto choices = event.find("choices");
  if (choices == event.end() || !choices->is_array() || choices->empty()) return std::nullopt;
  if (!std::all_of(choices->begin(), choices->end(), [](const auto& c) { return c.is_object(); }))
    return std::nullopt;
  const nlohmann::json& first = choices->front();
  const std::string* reason = stringMember(first, "finish_reason");
  if (reason && *reason == "content_filter") throw LLMError::refused();
  const nlohmann::json* delta = objectMember(first, "delta");
  if (!delta) return std::nullopt;
  const std::string* content = stringMember(*delta, "content");
  return content ? std::optional(*content) : std::nullopt;
}

HTTPRequest OpenAIWire::completionsRequest(const OpenAIClient& client, const std::string& system,
                                           const std::string& prompt) {
  HTTPRequest post = client.request("/chat/completions", "POST");
  // Invalid UTF-8 in a prompt becomes U+FFFD rather than failing the dump.
  post.body = body(client, system, prompt).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  return post;
}

TextStream OpenAIClient::stream(const std::string& system, const std::string& prompt) const {
  if (lacksKey()) return TextStream::failing(LLMError::missingKey(name_));
  try {
    return SSE::events(OpenAIWire::completionsRequest(*this, system, prompt), OpenAIWire::piece);
  } catch (...) {
    return TextStream::failing(std::current_exception());
  }
}

std::vector<std::string> OpenAIClient::models() const {
  if (lacksKey()) throw LLMError::missingKey(name_);
  return SSE::modelIDs(SSE::json(request("/models", "GET")));
}

}  // namespace quillet
