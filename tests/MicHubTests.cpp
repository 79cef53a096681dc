// The microphone hub against a scripted sound server, then on the real
// private PulseAudio server.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>

#include "AudioSupport.hpp"
#include "PulseSupport.hpp"
#include "QuilletKit/MicHub.hpp"
#include "ScriptedSoundServer.hpp"

using namespace quillet;
using namespace quillet::test;

namespace {

// Interleaved stereo frames: channel 0 counts up from `from`, channel 1 down.
std::vector<float> frames(size_t count, float from = 0) {
  std::vector<float> out;
  for (size_t i = 0; i < count; ++i) {
    out.push_back(from + static_cast<float>(i));
    out.push_back(-(from + static_cast<float>(i)));
  }
  return out;
}

AudioBuffer mono(std::vector<float> samples) {
  auto n = static_cast<uint32_t>(samples.size());
  return AudioBuffer::owning({48000, 1}, std::move(samples), n);
}

struct MicHubTest : ::testing::Test {
  std::shared_ptr<ScriptedSoundServer> server = std::make_shared<ScriptedSoundServer>();
  MicHub hub{server};
};

}  // namespace

TEST(MicHubLevel, FollowsTheRmsOfChannelZero) {
  struct Case {
    const char* name;
    AudioBuffer buffer;
    float level;
  } cases[] = {
      {"silence", mono(std::vector<float>(4096, 0)), 0},
      {"-20 dBFS", mono(std::vector<float>(4096, 0.1f)), 0.7f},
      {"full scale, clamped from 1.1", mono(std::vector<float>(4096, 1)), 1},
      {"-60 dBFS, clamped from -0.1", mono(std::vector<float>(4096, 0.001f)), 0},
      {"no float data", AudioBuffer::withoutFloatData({48000, 1}, 4096), 0},
      {"no frames", mono({}), 0},
      {"loud channel 1 only",
       AudioBuffer::copyingInterleaved({48000, 2}, std::vector<float>{0, 1, 0, 1, 0, 1}), 0},
  };
  for (const auto& c : cases) EXPECT_NEAR(MicHub::level(c.buffer), c.level, 1e-6) << c.name;
}

TEST_F(MicHubTest, EverySubscriberGetsEveryBlockOfFullLengthDeinterleaved) {
  std::vector<AudioBuffer> first, second;
  std::vector<float> levels1, levels2;
  hub.subscribe([&](const AudioBuffer& b) { first.push_back(b); }, [&](float l) { levels1.push_back(l); });
  hub.subscribe([&](const AudioBuffer& b) { second.push_back(b); }, [&](float l) { levels2.push_back(l); });
  hub.subscribe([](const AudioBuffer&) {});
  // 9000 frames in uneven chunks make two whole blocks and a rest held back.
  auto all = frames(9000);
  size_t at = 0;
  for (size_t chunk : {1000u, 5000u, 3000u}) {
    ASSERT_TRUE(server->deliver(std::span<const float>(all).subspan(at * 2, chunk * 2)));
    at += chunk;
  }
  ASSERT_EQ(first.size(), 2u);
  ASSERT_EQ(second.size(), 2u);
  EXPECT_EQ(server->requests().size(), 1u) << "one stream for every subscriber";
  EXPECT_EQ(server->requests()[0].device, CaptureDevice::defaultSource);
  EXPECT_FALSE(server->requests()[0].mono);
  for (size_t b = 0; b < 2; ++b) {
    const AudioBuffer& block = first[b];
    EXPECT_FALSE(block.isView());
    EXPECT_EQ(block.format(), (AudioFormat{48000, 2}));
    ASSERT_EQ(block.frameLength(), 4096u);
    for (uint32_t i : {0u, 1u, 4095u}) {
      EXPECT_EQ(block.channel(0)[i], static_cast<float>(b * 4096 + i));
      EXPECT_EQ(block.channel(1)[i], -static_cast<float>(b * 4096 + i));
    }
    EXPECT_EQ(second[b].channel(0).data(), block.channel(0).data()) << "one copy shared by all subscribers";
  }
  EXPECT_EQ(levels1, levels2);
  EXPECT_EQ(levels1, std::vector<float>(2, 1.0f));
}

TEST_F(MicHubTest, CaptureRunsFromTheFirstSubscriberToTheLastUnsubscribe) {
  EXPECT_FALSE(hub.isRunning());
  hub.unsubscribe(Uuid::random());  // never issued: nothing happens
  int heard = 0;
  Uuid a = hub.subscribe([&](const AudioBuffer&) { ++heard; });
  Uuid b = hub.subscribe([&](const AudioBuffer&) { ++heard; });
  EXPECT_NE(a, b);
  EXPECT_TRUE(hub.isRunning());
  hub.unsubscribe(a);
  EXPECT_TRUE(hub.isRunning());
  EXPECT_TRUE(server->deliver(frames(4096)));
  EXPECT_EQ(heard, 1);
  hub.unsubscribe(Uuid::random());
  EXPECT_TRUE(hub.isRunning());
  hub.unsubscribe(b);
  EXPECT_FALSE(hub.isRunning());
  EXPECT_FALSE(server->streamOpen());
  hub.subscribe([&](const AudioBuffer&) { ++heard; });
  EXPECT_EQ(server->requests().size(), 2u) << "a fresh stream after a stop";
}

TEST_F(MicHubTest, AFailedStartKeepsNothingAndTheNextSubscribeTriesAgain) {
  using Kind = SoundServerError::Kind;
  struct Case {
    Kind kind;
    bool noInput;
  } cases[] = {{Kind::unreachable, true}, {Kind::noDevice, true}, {Kind::badFormat, true},
               {Kind::noStream, false}, {Kind::refused, false}};
  int kept = 0;
  for (const auto& c : cases) {
    server->refusal = SoundServerError(c.kind, 6, "refused");
    try {
      hub.subscribe([&](const AudioBuffer&) { ++kept; }, [&](float) { ++kept; });
      ADD_FAILURE() << "no error";
    } catch (const MicError& e) {
      EXPECT_TRUE(c.noInput);
      EXPECT_EQ(e.kind(), MicError::Kind::noInput);
      EXPECT_STREQ(e.what(), "Nenhum microfone disponível.");
    } catch (const std::system_error& e) {
      EXPECT_FALSE(c.noInput);
      EXPECT_EQ(e.code().value(), 6);
    }
    EXPECT_FALSE(hub.isRunning());
  }
  server->refusal.reset();
  int heard = 0;
  hub.subscribe([&](const AudioBuffer&) { ++heard; });
  server->deliver(frames(4096));
  EXPECT_EQ(heard, 1);
  EXPECT_EQ(kept, 0);
}

TEST_F(MicHubTest, HandlersMaySubscribeAndUnsubscribeFromInsideTheCapturePath) {
  int late = 0, once = 0;
  Uuid self{};
  std::optional<Uuid> added;
  self = hub.subscribe([&](const AudioBuffer&) {
    ++once;
    added = hub.subscribe([&](const AudioBuffer&) { ++late; });
    hub.unsubscribe(self);
  });
  server->deliver(frames(4096));
  server->deliver(frames(4096));
  EXPECT_EQ(once, 1);
  EXPECT_EQ(late, 1) << "added during a hand-out, heard from the next block on";
  // The last subscribers leaving from inside a handler stop capture there.
  Uuid closer{};
  closer = hub.subscribe([&](const AudioBuffer&) {
    hub.unsubscribe(*added);
    hub.unsubscribe(closer);
  });
  server->deliver(frames(4096));
  EXPECT_FALSE(hub.isRunning());
  EXPECT_FALSE(server->streamOpen());
}

// Mostly for ThreadSanitizer: clients come and go while blocks flow.
TEST_F(MicHubTest, SubscribersComingAndGoingWhileBlocksFlow) {
  std::atomic<bool> stop = false;
  std::atomic<int> heard = 0;
  Uuid anchor = hub.subscribe([&](const AudioBuffer&) { ++heard; });
  std::thread feeder([&] {
    auto block = frames(4096);
    while (!stop) server->deliver(block);
  });
  std::vector<std::thread> clients;
  for (int t = 0; t < 3; ++t)
    clients.emplace_back([&] {
      for (int i = 0; i < 50; ++i) hub.unsubscribe(hub.subscribe([&](const AudioBuffer&) {}, [](float) {}));
    });
  for (auto& c : clients) c.join();
  stop = true;
  feeder.join();
  EXPECT_TRUE(hub.isRunning());
  EXPECT_GT(heard.load(), 0);
  hub.unsubscribe(anchor);
  EXPECT_FALSE(hub.isRunning());
}

// ---- On the private PulseAudio server ----

TEST(MicHubOnPulse, HearsWhatPlaysIntoTheDefaultSourcesSink) {
  REQUIRE_SOUND_SERVER();
  MicHub hub;
  std::mutex mutex;
  std::vector<AudioBuffer> blocks;
  float loudest = 0;
  hub.subscribe(
      [&](const AudioBuffer& b) {
        std::lock_guard lock(mutex);
        blocks.push_back(b);
      },
      [&](float level) {
        std::lock_guard lock(mutex);
        loudest = std::max(loudest, level);
      });
  ASSERT_TRUE(play(libriVoxClips()[1].wav, "quillet_a"));
  std::lock_guard lock(mutex);
  ASSERT_FALSE(blocks.empty());
  for (const auto& b : blocks) {
    EXPECT_EQ(b.frameLength(), 4096u);
    EXPECT_EQ(b.channelCount(), 2u);  // the null sink's monitor, in its own format
    EXPECT_GT(b.sampleRate(), 0);
  }
  EXPECT_GT(loudest, 0.3f);
}

TEST(MicHubOnPulse, NoServerMeansNoInputAtOnce) {
  const char* saved = std::getenv("PULSE_SERVER");
  std::string previous = saved ? saved : "";
  setenv("PULSE_SERVER", "unix:/nonexistent/quillet/native", 1);
  MicHub hub;
  try {
    hub.subscribe([](const AudioBuffer&) {});
    ADD_FAILURE() << "no error";
  } catch (const MicError& e) {
    EXPECT_EQ(e.kind(), MicError::Kind::noInput);
  }
  EXPECT_FALSE(hub.isRunning());
  if (saved) setenv("PULSE_SERVER", previous.c_str(), 1);
  else unsetenv("PULSE_SERVER");
}
