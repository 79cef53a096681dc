#pragma once
// The one interface through which every language model is reached, and the
// one error type that all of them report.
#include <exception>
#include <optional>
#include <string>

#include "QuilletKit/TextStream.hpp"

namespace quillet {

// A failure of a language-model client. `what()` is the user-facing
// (localised, Portuguese) description and nothing else. A value type.
class LLMError : public std::exception {
 public:
  enum class Kind { missingKey, http, badURL, unavailable, refused };

  static LLMError missingKey(std::string provider);
  static LLMError http(int status, std::string message);
  static LLMError badURL(std::string address);
  // `message` is shown as it is.
  static LLMError unavailable(std::string message);
  static LLMError refused();

  Kind kind() const { return kind_; }
  // The HTTP status of an `http` error; 0 otherwise.
  int status() const { return status_; }
  // The provider name, the server's message, the address or the message.
  const std::string& payload() const { return payload_; }
  // Whether retrying the same prompt with the on-device model is worthwhile.
  bool isRecoverableLocally() const;

  const char* what() const noexcept override { return description_.c_str(); }

 private:
  LLMError(Kind kind, int status, std::string payload, std::string description);
  Kind kind_;
  int status_;
  std::string payload_;
  std::string description_;
};

// A language model. Implementations are plain values: copying one is cheap
// and each call is independent, so one client may serve several threads.
class LLMClient {
 public:
  virtual ~LLMClient() = default;

  // Provider and model as shown to the user.
  virtual std::string label() const = 0;
  // The largest prompt, in user-perceived characters; absent: no limit.
  virtual std::optional<int> maxPromptCharacters() const { return std::nullopt; }
  // The reply, piece by piece. Never throws itself: every failure, including
  // a missing key or a bad address, ends the returned stream.
  virtual TextStream stream(const std::string& system, const std::string& prompt) const = 0;

  // The whole reply with spaces and line ends trimmed from both ends. Throws
  // the error that ended the stream; text gathered until then is dropped.
  std::string complete(const std::string& system, const std::string& prompt) const;
};

}  // namespace quillet
