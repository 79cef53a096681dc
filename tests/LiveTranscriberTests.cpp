// The live transcriber against a scripted decoder, then fed by the system
// audio tap from the private PulseAudio server with real recorded speech.
#include <gtest/gtest.h>

#include <samplerate.h>

#include <algorithm>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

#include "AudioSupport.hpp"
#include "PulseSupport.hpp"
#include "QuilletKit/LiveTranscriber.hpp"
#include "QuilletKit/PocketSphinx.hpp"
#include "QuilletKit/SystemAudioTap.hpp"
#include "QuilletKit/Text.hpp"
#include "TestSupport.hpp"

using namespace quillet;
using namespace quillet::test;

namespace {

// A decoder that emits chosen results once chosen numbers of samples have
// been fed to it, and the rest when it is finished.
struct Script {
  std::mutex mutex;
  std::vector<std::pair<size_t, SpeechResult>> onFeed;  // after how many samples
  std::vector<SpeechResult> onFinish;
  std::vector<int16_t> fed;
  bool finished = false;
};

struct ScriptedRecognizer : SpeechRecognizer {
  ScriptedRecognizer(std::shared_ptr<Script> s, int r, SpeechResultHandler h)
      : script(std::move(s)), rate(r), onResult(std::move(h)) {}
  int sampleRate() const override { return rate; }
  void feed(std::span<const int16_t> samples) override {
    std::vector<SpeechResult> due;
    {
      std::lock_guard lock(script->mutex);
      script->fed.insert(script->fed.end(), samples.begin(), samples.end());
      for (; next < script->onFeed.size() && script->onFeed[next].first <= script->fed.size(); ++next)
        due.push_back(script->onFeed[next].second);
    }
    for (const auto& r : due) onResult(r);
  }
  void finish() override {
    std::unique_lock lock(script->mutex);
    script->finished = true;
    auto due = script->onFinish;
    lock.unlock();
    for (const auto& r : due) onResult(r);
  }
  std::shared_ptr<Script> script;
  int rate;
  SpeechResultHandler onResult;
  size_t next = 0;
};

struct ScriptedDecoder : SpeechBackend {
  explicit ScriptedDecoder(std::shared_ptr<Script> s) : script(std::move(s)) {}
  bool isAvailable() override { return available; }
  std::optional<std::string> supportedLocale(const std::string& id) override {
    return supported ? std::optional(id) : std::nullopt;
  }
  std::vector<std::string> installedLocales() override { return {"en-US"}; }
  std::unique_ptr<AssetInstallation> installationRequest(const std::string&) override { return nullptr; }
  std::unique_ptr<SpeechRecognizer> recognizer(const std::string&, SpeechPreset, SpeechResultHandler h) override {
    return std::make_unique<ScriptedRecognizer>(script, rate, std::move(h));
  }
  std::shared_ptr<Script> script;
  bool available = true, supported = true;
  int rate = 16000;
};

// What the callbacks saw, in order: "v:<text>" and "f:<text>@<start>-<end>".
struct Log {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::string> entries;
  std::vector<Segment> segments;

  void add(std::string entry, std::optional<Segment> segment = {}) {
    std::lock_guard lock(mutex);
    entries.push_back(std::move(entry));
    if (segment) segments.push_back(*segment);
    changed.notify_all();
  }
  void waitFor(size_t count) {
    std::unique_lock lock(mutex);
    changed.wait_for(lock, std::chrono::seconds(30), [&] { return entries.size() >= count; });
  }
};

AudioBuffer monoBuffer(size_t frames, float value = 0.25f) {
  return AudioBuffer::owning({16000, 1}, std::vector<float>(frames, value), uint32_t(frames));
}

SpeechResult result(std::string text, bool isFinal, double start = 0, double end = 0) {
  return {std::move(text), start, end, isFinal};
}

struct LiveTranscriberTest : ::testing::Test {
  std::shared_ptr<LiveTranscriber> start() {
    return LiveTranscriber::start(
        MeetingLanguage::en(), Speaker::them, [this](const std::string& text) { log.add("v:" + text); },
        [this](const Segment& s) {
          char times[64];
          std::snprintf(times, sizeof times, "@%.1f-%.1f", s.start, s.end);
          log.add("f:" + s.text + times, s);
        },
        assets);
  }
  std::shared_ptr<Script> script = std::make_shared<Script>();
  std::shared_ptr<ScriptedDecoder> decoder = std::make_shared<ScriptedDecoder>(script);
  SpeechAssets assets{decoder};
  Log log;
};

}  // namespace

TEST_F(LiveTranscriberTest, GuessesAreVolatileAndSettledTextBecomesSegmentsInOrder) {
  script->onFeed = {{1000, result(" hel", false)},
                    {2000, result("hello ", false)},
                    {3000, result(" hello \n", true, 0.1, 0.3)},
                    {4000, result("  \n ", true, 0.3, 0.4)},
                    {5000, result("wor", false)}};
  script->onFinish = {result("world", true, 0.5, 0.9)};
  auto transcriber = start();
  transcriber->feed(monoBuffer(5000));
  log.waitFor(6);
  EXPECT_EQ(transcriber->text(), "hello") << "settled text only";
  EXPECT_EQ(transcriber->finish(), "hello world");
  EXPECT_EQ(transcriber->finish(), "hello world");
  EXPECT_EQ(log.entries, (std::vector<std::string>{"v:hel", "v:hello", "v:", "f:hello@0.1-0.3", "v:", "v:wor", "v:",
                                                    "f:world@0.5-0.9"}));
  ASSERT_EQ(log.segments.size(), 2u);
  EXPECT_EQ(log.segments[0].speaker, Speaker::them);
  EXPECT_NE(log.segments[0].id, log.segments[1].id);
}

TEST_F(LiveTranscriberTest, AnyRateAndChannelCountIsFedAsSixteenKilohertzMono) {
  auto transcriber = start();
  // Stereo at 48 kHz averaging 0.25, then views of 0.125 at 44.1 kHz: two
  // seconds in all, across a change of rate.
  std::vector<float> stereo;
  for (int i = 0; i < 4800; ++i) stereo.insert(stereo.end(), {0.5f, 0.0f});
  for (int i = 0; i < 10; ++i) transcriber->feed(AudioBuffer::copyingInterleaved({48000, 2}, stereo));
  std::vector<float> quieter(4410, 0.125f);
  const float* channels[] = {quieter.data()};
  for (int i = 0; i < 10; ++i) transcriber->feed(*AudioBuffer::viewing({44100, 1}, channels, 4410));
  transcriber->feed(AudioBuffer::withoutFloatData({48000, 1}, 4800));
  transcriber->finish();
  transcriber->feed(monoBuffer(16000));  // after the end: ignored
  std::lock_guard lock(script->mutex);
  EXPECT_NEAR(double(script->fed.size()), 32000, 64);
  EXPECT_NEAR(script->fed[8000], 8192, 8);
  EXPECT_NEAR(script->fed[24000], 4096, 8);
}

TEST_F(LiveTranscriberTest, CancelDropsWhatIsNotSettled) {
  script->onFeed = {{1000, result("kept", true, 0, 0.1)}};
  script->onFinish = {result("never", true, 0.1, 0.2)};
  auto transcriber = start();
  transcriber->feed(monoBuffer(1000));
  log.waitFor(2);
  transcriber->cancel();
  transcriber->feed(monoBuffer(1000));
  EXPECT_EQ(transcriber->finish(), "kept");
  std::lock_guard lock(script->mutex);
  EXPECT_EQ(script->fed.size(), 1000u);
  EXPECT_FALSE(script->finished);
}

TEST_F(LiveTranscriberTest, StartFailsWithTheSpeechErrors) {
  std::tuple<void (*)(ScriptedDecoder&), const char*> cases[] = {
      {[](ScriptedDecoder& d) { d.available = false; }, "O reconhecimento de fala não está disponível neste Mac"},
      {[](ScriptedDecoder& d) { d.supported = false; }, "O reconhecimento de fala do Mac não suporta en-US"},
      {[](ScriptedDecoder& d) { d.rate = 0; }, "Não achei um formato de áudio para o reconhecimento de fala"}};
  for (const auto& [setUp, message] : cases) {
    setUp(*decoder);
    SpeechAssets scripted(decoder);
    try {
      LiveTranscriber::start(MeetingLanguage::en(), Speaker::me, {}, {}, scripted);
      ADD_FAILURE() << message;
    } catch (const SpeechError& e) {
      EXPECT_STREQ(e.what(), message);
    }
    *decoder = ScriptedDecoder(script);
  }
}

// Also for ThreadSanitizer.
TEST_F(LiveTranscriberTest, FinishFromInsideACallbackAndFeedingFromManyThreads) {
  script->onFeed = {{8000, result("first", true, 0, 0.5)}};
  script->onFinish = {result("last", true, 0.5, 1)};
  std::shared_ptr<LiveTranscriber> transcriber;
  std::string inside;
  transcriber = LiveTranscriber::start(
      MeetingLanguage::en(), Speaker::me, {},
      [&](const Segment& s) {
        if (s.text == "first") inside = transcriber->finish();  // returns without waiting on itself
        log.add(s.text);
      },
      assets);
  std::vector<std::thread> feeders;
  for (int t = 0; t < 3; ++t)
    feeders.emplace_back([&] {
      for (int i = 0; i < 20; ++i) transcriber->feed(monoBuffer(160)), (void)transcriber->text();
    });
  for (auto& f : feeders) f.join();
  log.waitFor(2);
  EXPECT_EQ(inside, "first");
  EXPECT_EQ(transcriber->finish(), "first last");
  start()->feed(monoBuffer(1600));  // dropped while running: cancelled, its thread gone
}

namespace {

// What file transcription settles, with its times: the engine as
// SpeechAssets::transcribe drives it.
std::vector<SpeechResult> fileSegments(const Sound& sound) {
  std::vector<SpeechResult> finals;
  auto recognizer = PocketSphinxBackend().recognizer("en-US", SpeechPreset::transcription, [&](const SpeechResult& r) {
    if (r.isFinal && !r.text.empty()) finals.push_back(r);
  });
  std::vector<int16_t> pcm(sound.samples.size());
  src_float_to_short_array(sound.samples.data(), pcm.data(), int(pcm.size()));
  recognizer->feed(pcm);
  recognizer->finish();
  return finals;
}

}  // namespace

TEST(LiveTranscriberOnPulse, FedFromTheTapItHearsWhatTheFileSays) {
  REQUIRE_SOUND_SERVER();
  // Two clips with pauses around them, as one file.
  auto clips = libriVoxClips();
  Sound sound = silence(0.5);
  std::string reference;
  for (size_t i : {0u, 3u}) {
    append(sound, readSound(clips[i].wav));
    append(sound, silence(1.5));
    reference += (reference.empty() ? "" : " ") + clips[i].reference;
  }
  TempDir dir;
  writeSound(dir.path() / "meeting.wav", sound, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
  // The file's own recognition runs meanwhile: the clip plays in real time.
  auto fromFile = std::async(std::launch::async, [&sound] { return fileSegments(sound); });

  std::mutex mutex;
  std::vector<Segment> segments;
  auto transcriber = LiveTranscriber::start(MeetingLanguage::en(), Speaker::them, {}, [&](const Segment& s) {
    std::lock_guard lock(mutex);
    segments.push_back(s);
  });
  // Where the file begins in the tap's stream: its first sample that is not
  // the null sink's exact silence.
  double framesBefore = 0, rate = 0;
  bool begun = false;
  SystemAudioTap tap([&](const AudioBuffer& b) {
    transcriber->feed(b);
    rate = b.sampleRate();
    for (float v : b.channel(0)) {
      if ((begun = begun || v != 0)) break;
      ++framesBefore;
    }
  });
  tap.start();
  ASSERT_TRUE(play(dir.path() / "meeting.wav", "quillet_a"));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  tap.stop();
  std::string live = transcriber->finish();

  auto expected = fromFile.get();
  std::string offline;
  for (const auto& e : expected) offline += (offline.empty() ? "" : " ") + text::trimSpaces(e.text);
  double liveWer = wordErrorRate(reference, live), fileWer = wordErrorRate(reference, offline);
  std::printf("WER live %.1f %% (file %.1f %%)\n", liveWer, fileWer);
  EXPECT_LE(liveWer, fileWer + 5) << live << "\n" << offline;
  ASSERT_TRUE(begun && !segments.empty() && !expected.empty());
  const double offset = framesBefore / rate;
  for (const auto& s : segments) {
    auto nearest = std::min_element(expected.begin(), expected.end(), [&](const auto& a, const auto& b) {
      return std::abs(a.start - (s.start - offset)) < std::abs(b.start - (s.start - offset));
    });
    EXPECT_NEAR(s.start - offset, nearest->start, 1.0) << s.text;
    EXPECT_NEAR(s.end - offset, nearest->end, 1.0) << s.text;
  }
}
