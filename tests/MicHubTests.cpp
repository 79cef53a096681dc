// The microphone hub against a scripted sound server; on PulseAudio it is heard through the record command's tests.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "QuilletKit/MicHub.hpp"
#include "ScriptedSoundServer.hpp"
#include "TestSupport.hpp"

using namespace quillet;
using namespace quillet::test;

namespace {

std::vector<float> frames(size_t count) {
  std::vector<float> out;
  for (size_t i = 0; i < count; ++i) out.insert(out.end(), {float(i), -float(i)});
  return out;
}

struct MicHubTest : ::testing::Test {
  std::shared_ptr<ScriptedSoundServer> server = std::make_shared<ScriptedSoundServer>();
  MicHub hub{server};
};

}  // namespace

TEST(MicHubLevel, FollowsTheRmsOfChannelZero) {
  // A level of 0.1 is -20 dBFS.
  EXPECT_NEAR(MicHub::level(AudioBuffer::owning({48000, 1}, std::vector<float>(4096, 0.1f), 4096)), 0.7f, 1e-6);
  EXPECT_EQ(MicHub::level(AudioBuffer::owning({48000, 1}, {}, 0)), 0);
  EXPECT_EQ(MicHub::level(AudioBuffer::withoutFloatData({48000, 1}, 4096)), 0);
  EXPECT_EQ(MicHub::level(AudioBuffer::copyingInterleaved({48000, 2}, std::vector<float>{0, 1, 0, 1})), 0);
}

TEST_F(MicHubTest, AFailedStartKeepsNothingAndEverySubscriberGetsEveryWholeBlockDeinterleaved) {
  using Kind = SoundServerError::Kind;
  for (Kind kind : {Kind::unreachable, Kind::noDevice, Kind::badFormat, Kind::noStream}) {
    server->refusal = SoundServerError(kind, 6, "refused");
    std::string error = failure([&] { hub.subscribe([](const AudioBuffer&) { ADD_FAILURE(); }, [](float) {}); });
    // Else the server's own error, unchanged.
    EXPECT_TRUE(error.starts_with(kind != Kind::noStream ? "Nenhum microfone disponível." : "refused")) << error;
    EXPECT_FALSE(hub.isRunning());
  }
  server->refusal.reset();
  std::vector<AudioBuffer> first, second;
  std::vector<float> levels;
  Uuid a = hub.subscribe([&](const AudioBuffer& x) { first.push_back(x); }, [&](float l) { levels.push_back(l); });
  Uuid b = hub.subscribe([&](const AudioBuffer& x) { second.push_back(x); });
  // 9000 frames in uneven chunks: two whole blocks, the rest held back.
  auto all = frames(9000);
  for (auto [at, n] : {std::pair{0, 1000}, {1000, 5000}, {6000, 3000}})
    ASSERT_TRUE(server->deliver(std::span<const float>(all).subspan(at * 2, n * 2)));
  ASSERT_EQ(first.size(), 2u);
  ASSERT_EQ(first[1].frameLength(), 4096u);
  EXPECT_EQ(first[1].channel(0)[4095], 8191.0f);
  EXPECT_EQ(first[1].channel(1)[1], -4097.0f);
  EXPECT_EQ(second[1].channel(0).data(), first[1].channel(0).data()) << "one owned copy for all";
  EXPECT_EQ(levels, std::vector<float>(2, 1.0f));
  hub.unsubscribe(a);
  ASSERT_TRUE(server->deliver(frames(4096)));
  EXPECT_EQ(first.size() + second.size(), 5u) << "the one that left hears nothing";
  hub.unsubscribe(b);
  EXPECT_FALSE(hub.isRunning() || server->streamOpen());
  hub.subscribe([](const AudioBuffer&) {});
  ASSERT_EQ(server->requests().size(), 6u);  // four refused, then one per run, for every subscriber
  EXPECT_EQ(server->requests()[4].device, CaptureDevice::defaultSource);
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
