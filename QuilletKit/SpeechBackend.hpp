#pragma once
// The seam between the speech logic (SpeechAssets) and a recognition engine
// with its model inventory. The real engine is PocketSphinx
// (PocketSphinx.hpp); tests put substitutes here. Implementations must be
// safe to call from several threads at once; one SpeechRecognizer is used by
// one thread at a time.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace quillet {

// `progressiveTranscription` also reports volatile guesses while a stretch
// of speech goes on; `transcription` reports settled text only.
enum class SpeechPreset { progressiveTranscription, transcription };

// One piece of recognised text. Times are seconds from the first sample fed.
struct SpeechResult {
  std::string text;
  double start = 0;
  double end = 0;
  bool isFinal = true;

  friend bool operator==(const SpeechResult&, const SpeechResult&) = default;
};

using SpeechResultHandler = std::function<void(const SpeechResult&)>;

// One recognition over one stream of mono 16-bit samples at sampleRate().
// Results reach the handler given at its making, in order, on the thread
// that calls feed() or finish(), before that call returns.
class SpeechRecognizer {
 public:
  virtual ~SpeechRecognizer() = default;
  virtual int sampleRate() const = 0;
  virtual void feed(std::span<const int16_t> samples) = 0;
  // Settles everything fed so far; later feeds are ignored.
  virtual void finish() = 0;
};

// A pending download of a locale's model.
class AssetInstallation {
 public:
  virtual ~AssetInstallation() = default;
  // Blocks until the model is installed; throws what the installation hit.
  virtual void downloadAndInstall() = 0;
};

class SpeechBackend {
 public:
  virtual ~SpeechBackend() = default;
  virtual bool isAvailable() = 0;
  // The supported locale equivalent to a BCP 47 identifier, if any.
  virtual std::optional<std::string> supportedLocale(const std::string& identifier) = 0;
  // BCP 47 identifiers of the locales whose models are installed.
  virtual std::vector<std::string> installedLocales() = 0;
  // What must be installed before `locale` can be recognised; nullptr when
  // nothing is missing. Throws when the inventory cannot tell.
  virtual std::unique_ptr<AssetInstallation> installationRequest(const std::string& locale) = 0;
  // Throws SpeechError::damagedModel when the locale's installed model is
  // present but cannot be loaded. May take as long as loading the model.
  virtual void verifyModel(const std::string& /*locale*/) {}
  // A recogniser with the locale's model loaded; throws when it cannot load.
  virtual std::unique_ptr<SpeechRecognizer> recognizer(const std::string& locale, SpeechPreset preset,
                                                       SpeechResultHandler onResult) = 0;
};

}  // namespace quillet
