#pragma once
// A speech engine for tests: each recogniser hands out what `onFeed` makes of a newly fed stretch (given all it was
// fed and how much came before) and what `onFinish` makes of it all; `duringInstall` may throw, as a download would.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>

#include "QuilletKit/Meeting.hpp"
#include "QuilletKit/SpeechBackend.hpp"

namespace quillet::test {

struct ScriptedSpeech : SpeechBackend {
  using Script = std::function<std::vector<SpeechResult>(const std::vector<int16_t>& fed, size_t before)>;
  bool available = true;
  std::vector<std::string> supported{"en-US", "pt-BR"}, installed{"en-US", "pt-BR"};
  int rate = 16000;
  Script onFeed, onFinish;
  std::function<void()> duringInstall;

  std::mutex mutex;
  std::vector<int16_t> fed;  // by every recogniser, under the mutex
  std::atomic<SpeechPreset> preset{};  // both sides may ask at once
  std::atomic<int> installs = 0;
  std::atomic<bool> finished = false;

  bool isAvailable() override { return available; }
  std::optional<std::string> supportedLocale(const std::string& id) override {
    return std::ranges::count(supported, id) ? std::optional(id) : std::nullopt;
  }
  std::vector<std::string> installedLocales() override { return installed; }
  std::unique_ptr<AssetInstallation> installationRequest(const std::string& locale) override {
    return std::ranges::count(installed, locale) ? nullptr : std::make_unique<Installation>(*this, locale);
  }
  std::unique_ptr<SpeechRecognizer> recognizer(const std::string&, SpeechPreset p,
                                               SpeechResultHandler on) override {
    preset = p;
    return std::make_unique<Recognizer>(*this, std::move(on));
  }

 private:
  struct Installation : AssetInstallation {
    Installation(ScriptedSpeech& s, std::string l) : speech(s), locale(std::move(l)) {}
    void downloadAndInstall() override {
      ++speech.installs;
      if (speech.duringInstall) speech.duringInstall();
      speech.installed.push_back(locale);
    }
    ScriptedSpeech& speech;
    std::string locale;
  };

  struct Recognizer : SpeechRecognizer {
    Recognizer(ScriptedSpeech& s, SpeechResultHandler h) : speech(s), onResult(std::move(h)) {}
    int sampleRate() const override { return speech.rate; }
    void feed(std::span<const int16_t> samples) override {
      {
        std::lock_guard lock(speech.mutex);
        speech.fed.insert(speech.fed.end(), samples.begin(), samples.end());
      }
      mine.insert(mine.end(), samples.begin(), samples.end());
      if (speech.onFeed) hand(speech.onFeed(mine, mine.size() - samples.size()));
    }
    void finish() override {
      speech.finished = true;
      if (speech.onFinish) hand(speech.onFinish(mine, mine.size()));
    }
    void hand(const std::vector<SpeechResult>& results) {
      for (const auto& r : results) onResult(r);
    }
    ScriptedSpeech& speech;
    SpeechResultHandler onResult;
    std::vector<int16_t> mine;
  };
};

// What the callbacks of live speech said, from any thread: a line for each and the segments, with a wait for them.
struct Said {
  void add(std::string line, std::optional<Segment> segment = {}) {
    std::lock_guard lock(mutex);
    lines.push_back(std::move(line));
    if (segment) segments.push_back(*segment);
    changed.notify_all();
  }
  void waitFor(size_t count) {
    std::unique_lock lock(mutex);
    changed.wait_for(lock, std::chrono::seconds(30), [&] { return lines.size() >= count; });
  }
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::string> lines;
  std::vector<Segment> segments;
};

}  // namespace quillet::test
