#include "QuilletKit/LiveTranscriber.hpp"

#include <samplerate.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "QuilletKit/LiveTuning.hpp"
#include "QuilletKit/Resampler.hpp"
#include "QuilletKit/SpeechError.hpp"
#include "QuilletKit/Text.hpp"

namespace quillet {

struct LiveTranscriber::State {
  State(Speaker who, VolatileHandler v, FinalHandler f)
      : speaker(who), onVolatile(std::move(v)), onFinal(std::move(f)) {}

  // ---- Capture side, under the lock ----

  void feed(const AudioBuffer& buffer) {
    const uint32_t frames = buffer.frameLength();
    if (!buffer.hasFloatData() || frames == 0) return;
    std::lock_guard guard(lock);
    if (finished || pending.size() > maxBacklog) return;
    mono.assign(buffer.channel(0).begin(), buffer.channel(0).end());
    for (uint32_t c = 1; c < buffer.channelCount(); ++c) {
      auto samples = buffer.channel(c);
      for (uint32_t i = 0; i < frames; ++i) mono[i] += samples[i];
    }
    if (buffer.channelCount() > 1)
      for (float& s : mono) s /= static_cast<float>(buffer.channelCount());
    if (!resampler || resampler->inputRate() != buffer.sampleRate()) {
      // A source whose rate changes (the tap after a restart) goes on with
      // a converter for the new rate; the old one gives what it holds first.
      flushLocked();
      try {
        resampler = std::make_unique<Resampler>(buffer.sampleRate(), rate);
      } catch (const std::system_error&) {
        return;
      }
    }
    converted.clear();
    if (!resampler->process(mono, converted)) return;
    queueLocked();
    input.notify_one();
  }

  void flushLocked() {
    if (!resampler) return;
    converted.clear();
    resampler->process({}, converted, true);
    queueLocked();
  }

  void queueLocked() {
    const size_t at = pending.size();
    pending.resize(at + converted.size());
    src_float_to_short_array(converted.data(), pending.data() + at, static_cast<int>(converted.size()));
  }

  // ---- Recognition thread ----

  void run() {
    std::vector<int16_t> samples;
    bool end = false;
    while (!end) {
      {
        std::unique_lock guard(lock);
        input.wait(guard, [this] { return cancelled || ended || !pending.empty(); });
        if (cancelled) break;
        samples.swap(pending);
        end = ended;
      }
      try {
        for (size_t at = 0; at < samples.size() && !cancelled; at += live::kRecognizerChunk)
          recognizer->feed(std::span<const int16_t>(samples).subspan(
              at, std::min<size_t>(live::kRecognizerChunk, samples.size() - at)));
        if (end && !cancelled) recognizer->finish();
      } catch (...) {
        break;  // a failing recogniser ends the output early
      }
      samples.clear();
    }
    recognizer.reset();
    {
      std::lock_guard guard(lock);
      done = true;
    }
    settled.notify_all();
  }

  void deliver(const SpeechResult& result) {
    if (cancelled) return;
    std::string text = text::trimSpacesAndNewlines(result.text);
    if (!result.isFinal) {
      call(onVolatile, text);
      return;
    }
    call(onVolatile, std::string());
    if (text.empty()) return;
    {
      std::lock_guard guard(lock);
      finals.push_back(text);
    }
    call(onFinal, Segment{Uuid::random(), speaker, result.start, result.end, std::move(text)});
  }

  // A client's callback that throws must not end recognition for good.
  template <typename Handler, typename Value>
  static void call(const Handler& handler, const Value& value) {
    if (!handler) return;
    try {
      handler(value);
    } catch (...) {
    }
  }

  // ---- Ending ----

  void waitUntilDone() {
    if (std::this_thread::get_id() == workerId) return;
    std::unique_lock guard(lock);
    settled.wait(guard, [this] { return done; });
  }

  std::string joined() const {
    std::lock_guard guard(lock);
    std::string out;
    for (const auto& piece : finals) {
      if (!out.empty()) out += ' ';
      out += piece;
    }
    return out;
  }

  const Speaker speaker;
  const VolatileHandler onVolatile;
  const FinalHandler onFinal;
  std::unique_ptr<SpeechRecognizer> recognizer;  // the recognition thread's once started
  int rate = 16000;
  size_t maxBacklog = 0;
  std::atomic<std::thread::id> workerId;

  mutable std::mutex lock;
  std::condition_variable input;    // the recognition thread waits for audio
  std::condition_variable settled;  // finish() and cancel() wait for the end
  bool finished = false;            // no more input
  bool ended = false;               // the input is complete and flushed
  std::atomic<bool> cancelled = false;
  bool done = false;                // the recognition thread is through
  std::vector<std::string> finals;
  std::vector<int16_t> pending;     // converted, not yet recognised
  std::unique_ptr<Resampler> resampler;
  std::vector<float> mono, converted;
};

std::shared_ptr<LiveTranscriber> LiveTranscriber::start(const MeetingLanguage& language, Speaker speaker,
                                                        VolatileHandler onVolatile, FinalHandler onFinal,
                                                        SpeechAssets& assets) {
  assets.prepare(language);
  const std::string locale = assets.locale(language);
  auto state = std::make_shared<State>(speaker, std::move(onVolatile), std::move(onFinal));
  state->recognizer = assets.backend()->recognizer(locale, SpeechPreset::progressiveTranscription,
                                                   [raw = state.get()](const SpeechResult& r) { raw->deliver(r); });
  state->rate = state->recognizer->sampleRate();
  if (state->rate <= 0) throw SpeechError::noAudioFormat();
  state->maxBacklog = static_cast<size_t>(live::kMaxBacklogSeconds * state->rate);
  std::shared_ptr<LiveTranscriber> transcriber(new LiveTranscriber(speaker));
  transcriber->state_ = state;
  transcriber->worker_ = std::thread([state] {
    state->workerId = std::this_thread::get_id();
    state->run();
  });
  return transcriber;
}

LiveTranscriber::LiveTranscriber(Speaker speaker) : speaker_(speaker) {}

LiveTranscriber::~LiveTranscriber() {
  cancel();
  if (worker_.get_id() == std::this_thread::get_id()) worker_.detach();
  else if (worker_.joinable()) worker_.join();
}

void LiveTranscriber::feed(const AudioBuffer& buffer) { state_->feed(buffer); }

std::string LiveTranscriber::text() const { return state_->joined(); }

std::string LiveTranscriber::finish() {
  {
    std::lock_guard guard(state_->lock);
    if (!state_->finished) {
      state_->finished = true;
      state_->flushLocked();
      state_->ended = true;
    }
  }
  state_->input.notify_one();
  state_->waitUntilDone();
  return text();
}

void LiveTranscriber::cancel() {
  {
    std::lock_guard guard(state_->lock);
    state_->finished = true;
    state_->cancelled = true;
    std::vector<int16_t>().swap(state_->pending);
  }
  state_->input.notify_one();
  state_->waitUntilDone();
}

}  // namespace quillet
