#include "QuilletKit/SpeechError.hpp"

#include "QuilletKit/Localization.hpp"

namespace quillet {

SpeechError::SpeechError(Kind kind, std::string identifier, const std::string& message)
    : std::runtime_error(message), kind_(kind), identifier_(std::move(identifier)) {}

SpeechError SpeechError::unsupportedLocale(const std::string& identifier) {
  return {Kind::unsupportedLocale, identifier,
          trFormat("O reconhecimento de fala do Mac não suporta %s", identifier)};
}

SpeechError SpeechError::unavailable() {
  return {Kind::unavailable, {}, tr("O reconhecimento de fala não está disponível neste Mac")};
}

SpeechError SpeechError::damagedModel(const std::string& folder) {
  return {Kind::damagedModel, folder, trFormat("O modelo de fala em %s está danificado", folder)};
}

SpeechError SpeechError::noAudioFormat() {
  return {Kind::noAudioFormat, {}, tr("Não achei um formato de áudio para o reconhecimento de fala")};
}

}  // namespace quillet
