// The microphone hub against a scripted sound server; on the private
// PulseAudio server it is heard through the record command's tests.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "QuilletKit/MicHub.hpp"
#include "ScriptedSoundServer.hpp"
#include "TestSupport.hpp"

using namespace quillet;
using namespace quillet::test;

namespace {

// Interleaved stereo: channel 0 counts up from 0, channel 1 down.
std::vector<float> frames(size_t count) {
  std::vector<float> out;
  for (size_t i = 0; i < count; ++i) out.insert(out.end(), {float(i), -float(i)});
  return out;
}

AudioBuffer mono(size_t count, float value) {
  return AudioBuffer::owning({48000, 1}, std::vector<float>(count, value), uint32_t(count));
}

struct MicHubTest : ::testing::Test {
  std::shared_ptr<ScriptedSoundServer> server = std::make_shared<ScriptedSoundServer>();
  MicHub hub{server};
};

}  // namespace

TEST(MicHubLevel, FollowsTheRmsOfChannelZero) {
  std::pair<AudioBuffer, float> cases[] = {
      {mono(4096, 0), 0},         {mono(4096, 0.1f), 0.7f},  // -20 dBFS
      {mono(4096, 1), 1},         {mono(4096, 0.001f), 0},   // clamped from 1.1 and -0.1
      {mono(0, 1), 0},            {AudioBuffer::withoutFloatData({48000, 1}, 4096), 0},
      {AudioBuffer::copyingInterleaved({48000, 2}, std::vector<float>{0, 1, 0, 1}), 0}};
  for (const auto& [buffer, level] : cases) EXPECT_NEAR(MicHub::level(buffer), level, 1e-6);
}

TEST_F(MicHubTest, EverySubscriberGetsEveryWholeBlockDeinterleavedAndOneLevel) {
  std::vector<AudioBuffer> first, second;
  std::vector<float> levels1, levels2;
  hub.subscribe([&](const AudioBuffer& b) { first.push_back(b); }, [&](float l) { levels1.push_back(l); });
  hub.subscribe([&](const AudioBuffer& b) { second.push_back(b); }, [&](float l) { levels2.push_back(l); });
  // 9000 frames in uneven chunks: two whole blocks, the rest held back.
  auto all = frames(9000);
  for (auto [at, n] : {std::pair{0, 1000}, {1000, 5000}, {6000, 3000}})
    ASSERT_TRUE(server->deliver(std::span<const float>(all).subspan(at * 2, n * 2)));
  ASSERT_EQ(first.size(), 2u);
  ASSERT_EQ(server->requests().size(), 1u) << "one stream for every subscriber";
  EXPECT_EQ(server->requests()[0].device, CaptureDevice::defaultSource);
  for (uint32_t b = 0; b < 2; ++b) {
    ASSERT_EQ(first[b].frameLength(), 4096u);
    EXPECT_EQ(first[b].channel(0)[4095], float(b * 4096 + 4095));
    EXPECT_EQ(first[b].channel(1)[1], -float(b * 4096 + 1));
    EXPECT_EQ(second[b].channel(0).data(), first[b].channel(0).data()) << "one owned copy for all";
  }
  EXPECT_EQ(levels1, std::vector<float>(2, 1.0f));
  EXPECT_EQ(levels2, levels1);
}

TEST_F(MicHubTest, AFailedStartKeepsNothingAndCaptureRunsFromTheFirstSubscribeToTheLastUnsubscribe) {
  using Kind = SoundServerError::Kind;
  int heard = 0;
  for (Kind kind : {Kind::unreachable, Kind::noDevice, Kind::badFormat, Kind::noStream, Kind::refused}) {
    server->refusal = SoundServerError(kind, 6, "refused");
    bool noInput = kind == Kind::unreachable || kind == Kind::noDevice || kind == Kind::badFormat;
    // Else the server's own error, unchanged.
    std::string error = failure([&] { hub.subscribe([&](const AudioBuffer&) { ++heard; }, [&](float) { ++heard; }); });
    EXPECT_TRUE(error.starts_with(noInput ? "Nenhum microfone disponível." : "refused")) << error;
    EXPECT_FALSE(hub.isRunning());
  }
  server->refusal.reset();
  Uuid a = hub.subscribe([&](const AudioBuffer&) { ++heard; });
  Uuid b = hub.subscribe([&](const AudioBuffer&) { ++heard; });
  hub.unsubscribe(a);
  hub.unsubscribe(Uuid::random());  // never issued: nothing happens
  EXPECT_TRUE(hub.isRunning());
  server->deliver(frames(4096));
  EXPECT_EQ(heard, 1) << "neither a failed subscriber nor one that left";
  hub.unsubscribe(b);
  EXPECT_FALSE(hub.isRunning() || server->streamOpen());
  hub.subscribe([](const AudioBuffer&) {});
  EXPECT_EQ(server->requests().size(), 7u);  // five refused, then one per run
}

// Also for ThreadSanitizer.
TEST_F(MicHubTest, SubscribersComeAndGoFromTheCapturePathAndWhileBlocksFlow) {
  int late = 0, once = 0;
  Uuid self{}, closer{};
  std::optional<Uuid> added;
  self = hub.subscribe([&](const AudioBuffer&) {
    ++once;
    added = hub.subscribe([&](const AudioBuffer&) { ++late; });
    hub.unsubscribe(self);
  });
  server->deliver(frames(4096), 2);
  EXPECT_EQ(once, 1);
  EXPECT_EQ(late, 1) << "added during a hand-out: heard from the next block on";
  closer = hub.subscribe([&](const AudioBuffer&) {
    hub.unsubscribe(*added);
    hub.unsubscribe(closer);
  });
  server->deliver(frames(4096));
  EXPECT_FALSE(hub.isRunning()) << "stopped from inside the capture path";

  std::atomic<bool> stop = false;
  Uuid anchor = hub.subscribe([](const AudioBuffer&) {});
  std::thread feeder([&] {
    while (!stop) server->deliver(frames(4096));
  });
  std::vector<std::thread> clients;
  for (int t = 0; t < 3; ++t)
    clients.emplace_back([&] {
      for (int i = 0; i < 50; ++i) hub.unsubscribe(hub.subscribe([](const AudioBuffer&) {}, [](float) {}));
    });
  for (auto& c : clients) c.join();
  stop = true;
  feeder.join();
  hub.unsubscribe(anchor);
  EXPECT_FALSE(hub.isRunning());
}
