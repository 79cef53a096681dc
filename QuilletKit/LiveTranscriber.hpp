#pragma once
// Live speech recognition of one audio source into transcript segments of
// one speaker (Speaker::me for the microphone, Speaker::them for the system
// audio), while the meeting runs.
//
// Output comes in two kinds: volatile text, the recogniser's current guess
// inside a stretch of speech, replaced again and again (an empty text clears
// it); and final segments, settled at each end of a stretch of speech, with
// start and end in seconds of the audio fed so far (counted samples), the
// instance's speaker and a fresh id. Final texts are trimmed; an empty one
// makes no segment.
//
// Threads: feed() is safe from a capture thread and never waits for
// recognition: it converts the buffer (to the recogniser's 16 kHz mono)
// under a short lock and queues it; recognition runs on the instance's own
// thread, which is where both callbacks run, never under the lock and never
// concurrently with themselves. text(), finish() and cancel() may be called
// from any thread. Called from inside a callback, finish() and cancel() do
// not wait for the recognition thread (it is the caller).
//
// Lifecycle: running from start() until finish() or cancel(); buffers fed
// after either are ignored, and text() still answers. Destroying a running
// instance cancels it. Callbacks never run after finish() or cancel() has
// returned (unless called from a callback, as above).
//
// Errors: only start() throws: the errors of SpeechAssets::prepare and
// SpeechAssets::locale (SpeechError::unavailable, unsupportedLocale),
// SpeechError::noAudioFormat when the recogniser takes no audio format we can
// give it, and the recogniser's own failure to load. Afterwards nothing is
// reported: a buffer that cannot be converted is dropped.
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "QuilletKit/AudioBuffer.hpp"
#include "QuilletKit/Meeting.hpp"
#include "QuilletKit/SpeechAssets.hpp"

namespace quillet {

class LiveTranscriber {
 public:
  using VolatileHandler = std::function<void(const std::string&)>;
  using FinalHandler = std::function<void(const Segment&)>;

  // Makes sure the language's model is installed and starts recognising,
  // with the models of `assets` (the same lookup as file transcription).
  static std::shared_ptr<LiveTranscriber> start(const MeetingLanguage& language, Speaker speaker,
                                                VolatileHandler onVolatile, FinalHandler onFinal,
                                                SpeechAssets& assets = SpeechAssets::shared());

  ~LiveTranscriber();
  LiveTranscriber(const LiveTranscriber&) = delete;
  LiveTranscriber& operator=(const LiveTranscriber&) = delete;

  Speaker speaker() const { return speaker_; }

  // Hands in one buffer of captured audio, owned or view, of any rate and
  // channel count (channels are averaged). Never throws.
  void feed(const AudioBuffer& buffer);

  // The final texts so far, joined with single spaces.
  std::string text() const;

  // Ends the input, lets the recogniser settle what is pending, waits until
  // every final segment has been delivered, and returns text(). A second
  // call returns the same text.
  std::string finish();

  // Stops at once: what is not settled is dropped, text() keeps what was.
  void cancel();

  struct State;

 private:
  explicit LiveTranscriber(Speaker speaker);
  Speaker speaker_;
  std::shared_ptr<State> state_;
  std::thread worker_;  // recognition
};

}  // namespace quillet
