#pragma once
// The speech backend on Linux: PocketSphinx with the models found on disk.
//
// A locale is supported, and installed, when its model is present: first in
// the user's folder $XDG_DATA_HOME/app.quillet.mac/speech/<identifier>/
// (acoustic model folder "acoustic", language model "language.lm.bin",
// dictionary "words.dict"), else, for en-US, Debian's pocketsphinx-en-us.
// Nothing can be downloaded, so installation is never requested.
//
// Stretches of speech are found by PocketSphinx's voice-activity detection;
// each one ends as a final result and, with the progressive preset, its
// hypotheses so far are volatile results. Times come from the samples
// counted into the decoder: with silence removal on, PocketSphinx's own
// frame numbers skip the silence between stretches and fall behind.
//
// Loaded decoders are kept (one per model) and reused; each new stream
// starts from the model's initial channel state, so a file's text does not
// depend on what was recognised before. Thread-safe.
//
// The engine ends the whole process (exit) when an acoustic model file is
// damaged, so the acoustic model is loaded first in a forked child process
// (a tenth of a second); only a model that loaded there is loaded in this
// one. A model that fails either load is reported as
// SpeechError::damagedModel with its folder. A good verdict is kept until
// the model's files change.
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "QuilletKit/SpeechBackend.hpp"

namespace quillet {

struct SphinxModel {
  std::string locale;  // BCP 47, "en-US"
  std::filesystem::path acoustic;
  std::filesystem::path languageModel;
  std::filesystem::path dictionary;

  friend bool operator==(const SphinxModel&, const SphinxModel&) = default;
};

namespace sphinx {

// $XDG_DATA_HOME/app.quillet.mac/speech
std::filesystem::path userModelsFolder();
// Where the user puts the model of a locale: its folder under
// userModelsFolder(), named by the canonical identifier (or the identifier
// as given when it is none).
std::filesystem::path modelFolder(const std::string& identifier);
// "pt_br" and "PT-br" read as "pt-BR"; empty for what is no locale identifier.
std::string canonicalLocale(const std::string& identifier);
// The folder that holds the model's files, as shown to the user.
std::filesystem::path folder(const SphinxModel& model);
// Every complete model present, the user's before Debian's, one per locale.
std::vector<SphinxModel> installedModels();
// The model of a locale: same identifier, or for a bare language ("en") the
// first model of that language.
std::optional<SphinxModel> model(const std::string& identifier);

}  // namespace sphinx

class PocketSphinxBackend : public SpeechBackend {
 public:
  // Speech that goes on longer than `maxStretchSeconds` without a pause is
  // settled in pieces of that length, which bounds the decoder's memory.
  explicit PocketSphinxBackend(double maxStretchSeconds = 30);
  ~PocketSphinxBackend() override;

  bool isAvailable() override { return true; }
  std::optional<std::string> supportedLocale(const std::string& identifier) override;
  std::vector<std::string> installedLocales() override;
  std::unique_ptr<AssetInstallation> installationRequest(const std::string& locale) override;
  void verifyModel(const std::string& locale) override;
  // Throws SpeechError::unsupportedLocale when no model is present for the
  // locale, SpeechError::damagedModel when the model does not load, and
  // SpeechError::unavailable when it cannot be tried (no process to spare).
  std::unique_ptr<SpeechRecognizer> recognizer(const std::string& locale, SpeechPreset preset,
                                               SpeechResultHandler onResult) override;

  struct Pool;

 private:
  std::shared_ptr<Pool> pool_;
  double maxStretchSeconds_;
};

}  // namespace quillet
