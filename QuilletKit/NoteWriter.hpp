#pragma once
// One enhancement of a meeting with a chosen provider, run again with the
// on-device model when the provider fails in a way that model can make up
// for. Reads and writes no files. Stateless and blocking; any thread.
#include <functional>
#include <string>

#include "QuilletKit/Enhancer.hpp"
#include "QuilletKit/ProviderConfig.hpp"

namespace quillet {

struct NoteWriter {
  NoteWriter() = delete;

  struct Result {
    std::string text;       // the finished notes, trimmed (possibly empty)
    std::string usedLabel;  // the model that wrote them
    friend bool operator==(const Result&, const Result&) = default;
  };

  // Throws the provider's LLMError when no fallback applies, the fallback's
  // error when the fallback fails, and CancellationError (never answered with
  // a fallback) once `stop` fires. `onPartial` starts again from the first
  // piece of a fallback run; `onFallback`, when given, is told first, with
  // the provider's error, on the calling thread.
  using Fallback = std::function<void(const LLMError& providerError)>;
  static Result write(const Meeting& meeting, const ProviderConfig& provider, bool localFallback,
                      const Enhancer::Partial& onPartial, std::stop_token stop = {},
                      const Fallback& onFallback = {});
};

}  // namespace quillet
