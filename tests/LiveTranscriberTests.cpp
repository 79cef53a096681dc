// The live transcriber against a scripted decoder, then fed by the system
// audio tap from the private PulseAudio server with real recorded speech.
#include <gtest/gtest.h>

#include <samplerate.h>

#include <condition_variable>
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

  size_t fedCount() {
    std::lock_guard lock(mutex);
    return fed.size();
  }
};

class ScriptedDecoder : public SpeechBackend {
 public:
  explicit ScriptedDecoder(std::shared_ptr<Script> s) : script(std::move(s)) {}
  bool available = true;
  bool supported = true;
  int rate = 16000;

  bool isAvailable() override { return available; }
  std::optional<std::string> supportedLocale(const std::string& id) override {
    if (supported) return id;
    return std::nullopt;
  }
  std::vector<std::string> installedLocales() override { return {"en-US"}; }
  std::unique_ptr<AssetInstallation> installationRequest(const std::string&) override { return nullptr; }
  std::unique_ptr<SpeechRecognizer> recognizer(const std::string&, SpeechPreset preset,
                                               SpeechResultHandler onResult) override {
    EXPECT_EQ(preset, SpeechPreset::progressiveTranscription);
    return std::make_unique<Recognizer>(script, rate, std::move(onResult));
  }

 private:
  struct Recognizer : SpeechRecognizer {
    Recognizer(std::shared_ptr<Script> s, int r, SpeechResultHandler h)
        : script(std::move(s)), rate(r), onResult(std::move(h)) {}
    int sampleRate() const override { return rate; }
    void feed(std::span<const int16_t> samples) override {
      std::vector<SpeechResult> due;
      {
        std::lock_guard lock(script->mutex);
        script->fed.insert(script->fed.end(), samples.begin(), samples.end());
        while (next < script->onFeed.size() && script->onFeed[next].first <= script->fed.size())
          due.push_back(script->onFeed[next++].second);
      }
      for (const auto& r : due) onResult(r);
    }
    void finish() override {
      std::vector<SpeechResult> due;
      {
        std::lock_guard lock(script->mutex);
        script->finished = true;
        due = script->onFinish;
      }
      for (const auto& r : due) onResult(r);
    }
    std::shared_ptr<Script> script;
    int rate;
    SpeechResultHandler onResult;
    size_t next = 0;
  };
  std::shared_ptr<Script> script;
};

// What the callbacks saw, in order: "v:<text>" and "f:<text>@<start>-<end>".
struct Log {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::string> entries;
  std::vector<Segment> segments;

  void add(std::string entry) {
    std::lock_guard lock(mutex);
    entries.push_back(std::move(entry));
    changed.notify_all();
  }
  void waitFor(size_t count) {
    std::unique_lock lock(mutex);
    changed.wait_for(lock, std::chrono::seconds(30), [&] { return entries.size() >= count; });
  }
};

AudioBuffer monoBuffer(size_t frames, float value = 0.25f, double rate = 16000) {
  return AudioBuffer::owning({rate, 1}, std::vector<float>(frames, value), static_cast<uint32_t>(frames));
}

struct LiveTranscriberTest : ::testing::Test {
  std::shared_ptr<LiveTranscriber> start(Speaker who = Speaker::them) {
    return LiveTranscriber::start(
        MeetingLanguage::en(), who,
        [this](const std::string& text) { log.add("v:" + text); },
        [this](const Segment& s) {
          {
            std::lock_guard lock(log.mutex);
            log.segments.push_back(s);
          }
          char times[64];
          std::snprintf(times, sizeof times, "@%.1f-%.1f", s.start, s.end);
          log.add("f:" + s.text + times);
        },
        assets);
  }

  std::shared_ptr<Script> script = std::make_shared<Script>();
  std::shared_ptr<ScriptedDecoder> decoder = std::make_shared<ScriptedDecoder>(script);
  SpeechAssets assets{decoder};
  Log log;
};

SpeechResult result(std::string text, bool isFinal, double start = 0, double end = 0) {
  return {std::move(text), start, end, isFinal};
}

}  // namespace

TEST_F(LiveTranscriberTest, GuessesAreVolatileAndSettledTextBecomesSegmentsInOrder) {
  script->onFeed = {{1000, result(" hel", false)},
                    {2000, result("hello ", false)},
                    {3000, result(" hello \n", true, 0.1, 0.3)},
                    {4000, result("  \n ", true, 0.3, 0.4)},
                    {5000, result("wor", false)}};
  script->onFinish = {result("world", true, 0.5, 0.9)};
  auto transcriber = start(Speaker::them);
  transcriber->feed(monoBuffer(4000));
  log.waitFor(5);
  EXPECT_EQ(transcriber->text(), "hello") << "settled text only";
  transcriber->feed(monoBuffer(1000));
  log.waitFor(6);
  EXPECT_EQ(transcriber->text(), "hello");
  EXPECT_EQ(transcriber->finish(), "hello world");
  EXPECT_EQ(transcriber->finish(), "hello world");
  EXPECT_EQ(log.entries, (std::vector<std::string>{"v:hel", "v:hello", "v:", "f:hello@0.1-0.3", "v:", "v:wor", "v:",
                                                    "f:world@0.5-0.9"}));
  ASSERT_EQ(log.segments.size(), 2u);
  EXPECT_EQ(log.segments[0].speaker, Speaker::them);
  EXPECT_NE(log.segments[0].id, log.segments[1].id);
  EXPECT_TRUE(script->finished);
}

TEST_F(LiveTranscriberTest, AnyRateAndChannelCountIsFedAsSixteenKilohertzMono) {
  auto transcriber = start();
  // Stereo at 48 kHz whose channels average to 0.25, then a view of mono
  // 44.1 kHz audio: two seconds in all, across a change of rate.
  std::vector<float> stereo;
  for (int i = 0; i < 4800; ++i) stereo.insert(stereo.end(), {0.5f, 0.0f});
  for (int i = 0; i < 10; ++i) transcriber->feed(AudioBuffer::copyingInterleaved({48000, 2}, stereo));
  std::vector<float> quieter(4410, 0.125f);
  const float* channels[] = {quieter.data()};
  for (int i = 0; i < 10; ++i) transcriber->feed(*AudioBuffer::viewing({44100, 1}, channels, 4410));
  transcriber->feed(AudioBuffer::withoutFloatData({48000, 1}, 4800));
  transcriber->feed(monoBuffer(0));
  transcriber->finish();
  transcriber->feed(monoBuffer(16000));  // after the end: ignored
  std::lock_guard lock(script->mutex);
  EXPECT_NEAR(static_cast<double>(script->fed.size()), 32000, 64);
  EXPECT_NEAR(script->fed[8000], 8192, 8);   // 0.25 of full scale
  EXPECT_NEAR(script->fed[24000], 4096, 8);  // 0.125
}

TEST_F(LiveTranscriberTest, CancelDropsWhatIsNotSettledAndEndsTheInput) {
  script->onFeed = {{1000, result("kept", true, 0, 0.1)}};
  script->onFinish = {result("never", true, 0.1, 0.2)};
  auto transcriber = start();
  transcriber->feed(monoBuffer(1000));
  log.waitFor(2);
  transcriber->cancel();
  size_t fed = script->fedCount();
  transcriber->feed(monoBuffer(1000));
  EXPECT_EQ(script->fedCount(), fed);
  EXPECT_EQ(transcriber->text(), "kept");
  EXPECT_EQ(transcriber->finish(), "kept");
  EXPECT_FALSE(script->finished);
}

TEST_F(LiveTranscriberTest, StartFailsWithTheSpeechErrors) {
  struct Case {
    const char* name;
    std::function<void(ScriptedDecoder&)> setUp;
    SpeechError::Kind kind;
    const char* message;
  } cases[] = {
      {"unavailable", [](ScriptedDecoder& d) { d.available = false; }, SpeechError::Kind::unavailable,
       "O reconhecimento de fala não está disponível neste Mac"},
      {"no locale", [](ScriptedDecoder& d) { d.supported = false; }, SpeechError::Kind::unsupportedLocale,
       "O reconhecimento de fala do Mac não suporta en-US"},
      {"no format", [](ScriptedDecoder& d) { d.rate = 0; }, SpeechError::Kind::noAudioFormat,
       "Não achei um formato de áudio para o reconhecimento de fala"},
  };
  for (const auto& c : cases) {
    auto d = std::make_shared<ScriptedDecoder>(script);
    c.setUp(*d);
    SpeechAssets scripted(d);
    try {
      LiveTranscriber::start(MeetingLanguage::en(), Speaker::me, {}, {}, scripted);
      ADD_FAILURE() << c.name;
    } catch (const SpeechError& e) {
      EXPECT_EQ(e.kind(), c.kind) << c.name;
      EXPECT_STREQ(e.what(), c.message) << c.name;
    }
  }
}

TEST_F(LiveTranscriberTest, FinishFromInsideACallbackAndFeedingFromManyThreads) {
  script->onFeed = {{8000, result("first", true, 0, 0.5)}};
  script->onFinish = {result("last", true, 0.5, 1)};
  std::shared_ptr<LiveTranscriber> transcriber;
  std::string inside;
  transcriber = LiveTranscriber::start(
      MeetingLanguage::en(), Speaker::me, {},
      [&](const Segment& s) {
        if (s.text == "first") inside = transcriber->finish();
        log.add(s.text);
      },
      assets);
  std::vector<std::thread> feeders;
  for (int t = 0; t < 3; ++t)
    feeders.emplace_back([&] {
      for (int i = 0; i < 20; ++i) {
        transcriber->feed(monoBuffer(160));
        (void)transcriber->text();
      }
    });
  for (auto& f : feeders) f.join();
  log.waitFor(2);
  EXPECT_EQ(inside, "first") << "from inside, finish returns what is settled without waiting";
  EXPECT_EQ(transcriber->finish(), "first last");
  transcriber.reset();
  auto abandoned = start();  // dropped while running: cancelled, its thread gone
  abandoned->feed(monoBuffer(1600));
}

// ---- Fed by the tap from the private PulseAudio server ----

namespace {

// Two clips with pauses around them, as one file.
Sound twoClips(std::vector<Clip>& used) {
  auto clips = libriVoxClips();
  Sound sound = silence(0.5);
  for (size_t i : {0u, 3u}) {
    append(sound, readSound(clips[i].wav));
    append(sound, silence(1.5));
    used.push_back(clips[i]);
  }
  return sound;
}

// What file transcription settles, with its times: the engine as
// SpeechAssets::transcribe drives it.
std::vector<SpeechResult> fileSegments(const Sound& sound) {
  std::vector<SpeechResult> finals;
  PocketSphinxBackend backend;
  auto recognizer = backend.recognizer("en-US", SpeechPreset::transcription, [&](const SpeechResult& r) {
    if (r.isFinal && !r.text.empty()) finals.push_back(r);
  });
  std::vector<int16_t> pcm(sound.samples.size());
  src_float_to_short_array(sound.samples.data(), pcm.data(), static_cast<int>(pcm.size()));
  recognizer->feed(pcm);
  recognizer->finish();
  return finals;
}

}  // namespace

TEST(LiveTranscriberOnPulse, FedFromTheTapItHearsWhatTheFileSays) {
  REQUIRE_SOUND_SERVER();
  TempDir dir;
  std::vector<Clip> clips;
  Sound sound = twoClips(clips);
  auto file = dir.path() / "meeting.wav";
  writeSound(file, sound, SF_FORMAT_WAV | SF_FORMAT_PCM_16);

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
    for (float s : b.channel(0)) {
      if (begun || s != 0) {
        begun = true;
        break;
      }
      ++framesBefore;
    }
  });
  tap.start();
  ASSERT_TRUE(play(file, "quillet_a"));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  tap.stop();
  std::string live = transcriber->finish();

  std::string reference;
  for (const auto& c : clips) reference += (reference.empty() ? "" : " ") + c.reference;
  auto expected = fileSegments(sound);
  std::string offline;
  for (const auto& e : expected) offline += (offline.empty() ? "" : " ") + text::trimSpaces(e.text);
  double liveWer = wordErrorRate(reference, live), fileWer = wordErrorRate(reference, offline);
  std::printf("WER live %.1f %% (file %.1f %%)\n", liveWer, fileWer);
  EXPECT_LE(liveWer, fileWer + 5) << live << "\n" << offline;

  ASSERT_TRUE(begun);
  const double offset = framesBefore / rate;
  ASSERT_FALSE(segments.empty());
  for (const auto& s : segments) {
    const SpeechResult* nearest = &expected.front();
    for (const auto& e : expected)
      if (std::abs(e.start - (s.start - offset)) < std::abs(nearest->start - (s.start - offset))) nearest = &e;
    EXPECT_NEAR(s.start - offset, nearest->start, 1.0) << s.text;
    EXPECT_NEAR(s.end - offset, nearest->end, 1.0) << s.text;
    EXPECT_EQ(s.speaker, Speaker::them);
  }
}
