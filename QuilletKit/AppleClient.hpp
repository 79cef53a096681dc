#pragma once
// The client of the on-device model (see OnDeviceModel.hpp), which needs no
// key and no network. It is also the fallback for failed remote runs, and
// says in Portuguese why the model cannot be used when it cannot.
// A value without fields; each call reads the process's model afresh.
#include <string>

#include "QuilletKit/LLMClient.hpp"

namespace quillet {

class AppleClient : public LLMClient {
 public:
  AppleClient() = default;

  static bool isAvailable();
  // "disponível", or why the model cannot be used.
  static std::string availability();

  std::string label() const override;
  // Twice the model's context size.
  std::optional<int> maxPromptCharacters() const override;
  // Ends at once with `LLMError::unavailable(availability())` when the model
  // is unavailable; the model's own errors end it unchanged.
  TextStream stream(const std::string& system, const std::string& prompt) const override;
};

}  // namespace quillet
