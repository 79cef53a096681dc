#include "QuilletKit/SpeechAssets.hpp"

#include <algorithm>
#include <vector>

#include "QuilletKit/AudioFile.hpp"
#include "QuilletKit/Localization.hpp"
#include "QuilletKit/PocketSphinx.hpp"
#include "QuilletKit/Text.hpp"

namespace quillet {

namespace {

bool sameIdentifier(const std::string& a, const std::string& b) {
  auto fold = [](std::string s) {
    std::replace(s.begin(), s.end(), '_', '-');
    return text::toLower(s);
  };
  return fold(a) == fold(b);
}

// Settled pieces joined by single spaces, each trimmed of spaces and tabs.
class TextCollector {
 public:
  void add(const SpeechResult& result) {
    if (!result.isFinal) return;
    std::string piece = text::trimSpaces(result.text);
    if (piece.empty()) return;
    if (!text_.empty()) text_ += ' ';
    text_ += piece;
  }
  std::string text() const { return text::trimSpacesAndNewlines(text_); }

 private:
  std::string text_;
};

}  // namespace

SpeechAssets& SpeechAssets::shared() {
  static SpeechAssets instance(std::make_shared<PocketSphinxBackend>());
  return instance;
}

SpeechAssets::SpeechAssets(std::shared_ptr<SpeechBackend> backend) : backend_(std::move(backend)) {}

std::string SpeechAssets::localeLocked(const MeetingLanguage& language) {
  if (!backend_->isAvailable()) throw SpeechError::unavailable();
  auto locale = backend_->supportedLocale(language.rawValue);
  if (!locale) throw SpeechError::unsupportedLocale(language.rawValue);
  return *locale;
}

std::string SpeechAssets::locale(const MeetingLanguage& language) {
  std::lock_guard lock(mutex_);
  return localeLocked(language);
}

void SpeechAssets::prepare(const MeetingLanguage& language,
                           const std::function<void(const std::string&)>& progress) {
  std::unique_ptr<AssetInstallation> installation;
  {
    std::lock_guard lock(mutex_);
    if (prepared_.contains(language.rawValue)) return;
    installation = backend_->installationRequest(localeLocked(language));
    if (!installation) {
      prepared_.insert(language.rawValue);
      return;
    }
  }
  if (progress) progress(trFormat("Baixando o modelo de fala %s…", language.name()));
  // A failure leaves `prepared` as it was, so that the next call tries again.
  installation->downloadAndInstall();
  std::lock_guard lock(mutex_);
  prepared_.insert(language.rawValue);
}

std::string SpeechAssets::status(const MeetingLanguage& language) {
  std::string locale;
  {
    std::lock_guard lock(mutex_);
    try {
      if (!backend_->isAvailable()) return tr("indisponível");
    } catch (...) {
      return tr("indisponível");
    }
    try {
      locale = localeLocked(language);
    } catch (...) {
      return tr("idioma não suportado");
    }
    std::vector<std::string> installed;
    try {
      installed = backend_->installedLocales();
    } catch (...) {
    }
    if (std::none_of(installed.begin(), installed.end(),
                     [&locale](const std::string& identifier) { return sameIdentifier(identifier, locale); }))
      return tr("baixa no primeiro uso");
  }
  // Trying the model takes as long as loading it: not under the lock.
  try {
    backend_->verifyModel(locale);
  } catch (const SpeechError& error) {
    if (error.kind() == SpeechError::Kind::damagedModel) return trFormat("danificado (%s)", error.identifier());
  } catch (...) {
  }
  return tr("instalado");
}

std::string SpeechAssets::transcribe(const std::filesystem::path& file, const MeetingLanguage& language,
                                     const std::function<void(double share)>& progress) {
  prepare(language);
  std::string locale = this->locale(language);
  TextCollector collector;
  auto recognizer = backend_->recognizer(locale, SpeechPreset::transcription,
                                         [&collector](const SpeechResult& r) { collector.add(r); });
  AudioFileReader reader(file, recognizer->sampleRate());
  std::vector<int16_t> block(8192);
  size_t total = 0;
  const size_t expected = reader.expectedSamples();
  try {
    while (size_t n = reader.read(block)) {
      recognizer->feed(std::span<const int16_t>(block.data(), n));
      total += n;
      if (progress && expected > 0)
        progress(std::min(1.0, static_cast<double>(total) / static_cast<double>(expected)));
    }
  } catch (const AudioFileError& error) {
    // What was heard before the break is settled and handed on with the error.
    if (total > 0) recognizer->finish();
    throw PartialTranscription(error, collector.text());
  }
  // A file without a single sample has nothing to settle.
  if (total > 0) recognizer->finish();
  return collector.text();
}

std::set<std::string> SpeechAssets::prepared() const {
  std::lock_guard lock(mutex_);
  return prepared_;
}

}  // namespace quillet
