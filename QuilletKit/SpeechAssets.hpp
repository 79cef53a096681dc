#pragma once
// The one service that knows whether speech can be recognised in a meeting
// language, makes sure the language's model is installed before first use,
// reports the language's state for display, and transcribes whole audio files.
//
// Threads: an actor. Its short synchronous stretches (the `prepared` set and
// the inventory questions) run under one mutex, which is never held while a
// model installs, a recogniser loads or a file is analysed; so one operation
// may run while another waits on those. Every operation blocks its caller.
// Errors: SpeechError::unavailable and SpeechError::unsupportedLocale from
// locale(), prepare() and transcribe(), and SpeechError::damagedModel from
// transcribe() when the model cannot be loaded; installation failures pass
// through unchanged; a file that cannot be opened throws std::system_error,
// one that holds no audio AudioFileError, and one that breaks off before its
// end PartialTranscription. status() never throws.
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "QuilletKit/AudioFile.hpp"
#include "QuilletKit/Meeting.hpp"
#include "QuilletKit/SpeechBackend.hpp"
#include "QuilletKit/SpeechError.hpp"

namespace quillet {

// An audio file that broke off before its end (a damaged or cut-off
// recording): what() is the reader's error, `text` what was recognised in
// the audio before the break (possibly empty).
class PartialTranscription : public AudioFileError {
 public:
  PartialTranscription(const AudioFileError& error, std::string text)
      : AudioFileError(error), text(std::move(text)) {}
  std::string text;
};

class SpeechAssets {
 public:
  // The process-wide instance on PocketSphinx, made on first use.
  static SpeechAssets& shared();

  explicit SpeechAssets(std::shared_ptr<SpeechBackend> backend);

  // The recogniser's locale (a BCP 47 identifier) for a meeting language.
  std::string locale(const MeetingLanguage& language);

  // Makes sure the language's model is installed. `progress`, when given,
  // receives user-facing status text, on the calling thread, with no lock held.
  void prepare(const MeetingLanguage& language,
               const std::function<void(const std::string&)>& progress = {});

  // "instalado", "danificado (<model folder>)", "baixa no primeiro uso",
  // "idioma não suportado" or "indisponível", localised. Installs nothing;
  // ignores `prepared`. An installed model is tried, which takes as long as
  // loading it the first time.
  std::string status(const MeetingLanguage& language);

  // The whole text of an audio file, recognised in the language; empty for
  // a file without speech. The file is streamed, never loaded whole.
  // `progress`, when given, receives the share of the audio done (0 to 1) on
  // the calling thread as the work goes on.
  std::string transcribe(const std::filesystem::path& file, const MeetingLanguage& language,
                         const std::function<void(double share)>& progress = {});

  // Raw values of the languages whose model this instance has made sure of.
  std::set<std::string> prepared() const;

  // The engine underneath, for live recognisers that share its loaded models.
  const std::shared_ptr<SpeechBackend>& backend() const { return backend_; }

 private:
  std::string localeLocked(const MeetingLanguage& language);

  std::shared_ptr<SpeechBackend> backend_;
  mutable std::mutex mutex_;
  std::set<std::string> prepared_;
};

}  // namespace quillet
