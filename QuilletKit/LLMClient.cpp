#include "QuilletKit/LLMClient.hpp"

#include "QuilletKit/Localization.hpp"
#include "QuilletKit/Text.hpp"

namespace quillet {

LLMError::LLMError(Kind kind, int status, std::string payload, std::string description)
    : kind_(kind), status_(status), payload_(std::move(payload)), description_(std::move(description)) {}

LLMError LLMError::missingKey(std::string provider) {
  std::string description = trFormat("Falta a chave de API de %s. Coloque em Ajustes › IA.", provider);
  return LLMError(Kind::missingKey, 0, std::move(provider), std::move(description));
}

LLMError LLMError::http(int status, std::string message) {
  std::string description = "HTTP " + std::to_string(status) + ": " + message;
  return LLMError(Kind::http, status, std::move(message), std::move(description));
}

LLMError LLMError::badURL(std::string address) {
  std::string description = trFormat("Endereço inválido: %s", address);
  return LLMError(Kind::badURL, 0, std::move(address), std::move(description));
}

LLMError LLMError::unavailable(std::string message) {
  std::string description = message;
  return LLMError(Kind::unavailable, 0, std::move(message), std::move(description));
}

LLMError LLMError::refused() {
  return LLMError(Kind::refused, 0, {}, tr("O modelo se recusou a responder."));
}

bool LLMError::isRecoverableLocally() const {
  switch (kind_) {
    case Kind::missingKey:
    case Kind::unavailable:
      return true;
    case Kind::http:
      return status_ == 401 || status_ == 429 || status_ >= 500;
    case Kind::badURL:
    case Kind::refused:
      return false;
  }
  return false;
}

std::string LLMClient::complete(const std::string& system, const std::string& prompt) const {
  TextStream pieces = stream(system, prompt);
  std::string reply;
  while (auto piece = pieces.next()) reply += *piece;
  return text::trimSpacesAndNewlines(reply);
}

}  // namespace quillet
