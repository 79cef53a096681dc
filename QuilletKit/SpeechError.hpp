#pragma once
// The failures of the speech layer. One exception class holding its case and,
// for `unsupportedLocale`, the language identifier or, for `damagedModel`,
// the folder of the model that the engine cannot load; what() is the
// localised Portuguese description and nothing else. A plain value: copy and
// throw freely.
#include <stdexcept>
#include <string>

namespace quillet {

class SpeechError : public std::runtime_error {
 public:
  enum class Kind { unsupportedLocale, unavailable, noAudioFormat, damagedModel };

  static SpeechError unsupportedLocale(const std::string& identifier);
  static SpeechError unavailable();
  static SpeechError noAudioFormat();
  static SpeechError damagedModel(const std::string& folder);

  Kind kind() const { return kind_; }
  // The identifier of `unsupportedLocale`, the folder of `damagedModel`;
  // empty for the other cases.
  const std::string& identifier() const { return identifier_; }

 private:
  SpeechError(Kind kind, std::string identifier, const std::string& message);

  Kind kind_;
  std::string identifier_;
};

}  // namespace quillet
