// The live transcriber against a scripted engine; on real speech it is heard through the record command's tests.
#include <gtest/gtest.h>

#include <thread>

#include "QuilletKit/LiveTranscriber.hpp"
#include "ScriptedSpeech.hpp"
#include "TestSupport.hpp"

using namespace quillet;
using namespace quillet::test;

namespace {

// Hands out each result once the number of samples paired with it is fed; at the end, those paired with none.
ScriptedSpeech::Script after(std::vector<std::pair<size_t, SpeechResult>> plan) {
  return [plan](const std::vector<int16_t>& fed, size_t before) {
    std::vector<SpeechResult> due;
    for (const auto& [count, r] : plan)
      if (count ? count > before && count <= fed.size() : before == fed.size()) due.push_back(r);
    return due;
  };
}

AudioBuffer monoBuffer(size_t frames, float value = 0.25f) {
  return AudioBuffer::owning({16000, 1}, std::vector<float>(frames, value), uint32_t(frames));
}

struct LiveTranscriberTest : ::testing::Test {
  // What the callbacks saw, in order: "v:<text>" and "f:<text>@<start>-<end>".
  std::shared_ptr<LiveTranscriber> start() {
    auto onFinal = [this](const Segment& s) {
      char times[64];
      std::snprintf(times, sizeof times, "@%.1f-%.1f", s.start, s.end);
      said.add("f:" + s.text + times, s);
    };
    return LiveTranscriber::start(MeetingLanguage::en(), Speaker::them, [this](auto& text) { said.add("v:" + text); },
                                  onFinal, assets);
  }

  std::shared_ptr<ScriptedSpeech> script = std::make_shared<ScriptedSpeech>();
  SpeechAssets assets{script};
  Said said;
};

}  // namespace

TEST_F(LiveTranscriberTest, GuessesAreVolatileSettledTextBecomesSegmentsInOrderAndAnyRateIsFedAtSixteenKilohertz) {
  script->rate = 0;  // the other speech errors are the assets' own
  EXPECT_EQ(failure([&] { start(); }), "Não achei um formato de áudio para o reconhecimento de fala");
  script->rate = 16000;
  script->onFeed = after({{1000, {" hel", 0, 0, false}},
                          {2000, {"hello ", 0, 0, false}},
                          {3000, {" hello \n", 0.1, 0.3, true}},
                          {4000, {"  \n ", 0.3, 0.4, true}},
                          {5000, {"wor", 0, 0, false}}});
  script->onFinish = after({{0, {"world", 0.5, 0.9, true}}});
  auto transcriber = start();
  transcriber->feed(monoBuffer(5000));
  said.waitFor(6);
  EXPECT_EQ(transcriber->text(), "hello") << "settled text only";
  // Stereo at 48 kHz averaging 0.25, then views of 0.125 at 44.1 kHz: two seconds more, across changes of rate.
  std::vector<float> stereo;
  for (int i = 0; i < 4800; ++i) stereo.insert(stereo.end(), {0.5f, 0.0f});
  for (int i = 0; i < 10; ++i) transcriber->feed(AudioBuffer::copyingInterleaved({48000, 2}, stereo));
  std::vector<float> quieter(4410, 0.125f);
  const float* channels[] = {quieter.data()};
  for (int i = 0; i < 10; ++i) transcriber->feed(*AudioBuffer::viewing({44100, 1}, channels, 4410));
  transcriber->feed(AudioBuffer::withoutFloatData({48000, 1}, 4800));
  EXPECT_EQ(transcriber->finish(), "hello world");
  EXPECT_EQ(transcriber->finish(), "hello world");
  transcriber->feed(monoBuffer(16000));  // after the end: ignored
  EXPECT_EQ(said.lines, (std::vector<std::string>{"v:hel", "v:hello", "v:", "f:hello@0.1-0.3", "v:", "v:wor", "v:",
                                                  "f:world@0.5-0.9"}));
  ASSERT_EQ(said.segments.size(), 2u);
  EXPECT_EQ(said.segments[0].speaker, Speaker::them);
  EXPECT_NE(said.segments[0].id, said.segments[1].id);
  EXPECT_EQ(script->preset, SpeechPreset::progressiveTranscription);
  std::lock_guard lock(script->mutex);
  EXPECT_NEAR(double(script->fed.size()), 37000, 64);
  EXPECT_NEAR(script->fed[13000], 8192, 8);
  EXPECT_NEAR(script->fed[29000], 4096, 8);
}

// Also for ThreadSanitizer.
TEST_F(LiveTranscriberTest, FinishFromInsideACallbackAndFeedingFromManyThreads) {
  script->onFeed = after({{8000, {"first", 0, 0.5, true}}});
  script->onFinish = after({{0, {"last", 0.5, 1, true}}});
  std::shared_ptr<LiveTranscriber> transcriber;
  std::string inside;
  auto onFinal = [&](const Segment& s) {
    if (s.text == "first") inside = transcriber->finish();  // returns without waiting on itself
    said.add(s.text);
  };
  transcriber = LiveTranscriber::start(MeetingLanguage::en(), Speaker::me, {}, onFinal, assets);
  std::vector<std::thread> feeders;
  for (int t = 0; t < 3; ++t)
    feeders.emplace_back([&] {
      for (int i = 0; i < 20; ++i) transcriber->feed(monoBuffer(160)), (void)transcriber->text();
    });
  for (auto& f : feeders) f.join();
  said.waitFor(2);
  EXPECT_EQ(inside, "first");
  EXPECT_EQ(transcriber->finish(), "first last");
  start()->feed(monoBuffer(1600));  // dropped while running: cancelled, its thread gone
}
