// The system-audio tap against a scripted sound server, then on the real
// private PulseAudio server.
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <sstream>
#include <thread>

#include "AudioSupport.hpp"
#include "PulseSupport.hpp"
#include "QuilletKit/MicHub.hpp"
#include "QuilletKit/SystemAudioTap.hpp"
#include "ScriptedSoundServer.hpp"

using namespace quillet;
using namespace quillet::test;

namespace {

struct SystemAudioTapTest : ::testing::Test {
  SystemAudioTapTest() { server->format = {44100, 1}; }

  std::shared_ptr<ScriptedSoundServer> server = std::make_shared<ScriptedSoundServer>();
  std::vector<AudioBuffer> kept;
  std::vector<bool> views;
  std::vector<float> levels;
  SystemAudioTap tap{server,
                     [this](const AudioBuffer& b) {
                       views.push_back(b.isView());
                       kept.push_back(b);
                     },
                     [this](float l) { levels.push_back(l); }};
};

}  // namespace

TEST(TapErrorMessages, AreThePortugueseTextsWithTheCodeSigned) {
  EXPECT_STREQ(TapError::status(-50).what(), "Erro do Core Audio (-50).");
  EXPECT_EQ(TapError::status(-50).code(), -50);
  EXPECT_STREQ(TapError::create().what(),
               "Não consegui capturar o áudio do Mac. Libere em Ajustes do Sistema › Privacidade › Gravação de Áudio.");
  EXPECT_STREQ(TapError::noOutput().what(), "Nenhuma saída de áudio encontrada.");
  EXPECT_STREQ(TapError::format().what(), "Formato de áudio do sistema não suportado.");
}

TEST_F(SystemAudioTapTest, RecordsTheDefaultSinksMonitorInMonoUnderAFreshNameEachStart) {
  tap.stop();  // never started: nothing to do
  EXPECT_FALSE(tap.isRunning());
  tap.start();
  EXPECT_TRUE(tap.isRunning());
  tap.stop();
  tap.stop();
  EXPECT_FALSE(server->streamOpen());
  EXPECT_FALSE(server->watchOpen());
  tap.start();
  auto requests = server->requests();
  ASSERT_EQ(requests.size(), 2u);
  for (const auto& r : requests) {
    EXPECT_EQ(r.device, CaptureDevice::defaultSinkMonitor);
    EXPECT_TRUE(r.mono);
    ASSERT_TRUE(r.streamName.starts_with("app.quillet.tap.")) << r.streamName;
    auto uuid = r.streamName.substr(16);
    ASSERT_TRUE(Uuid::parse(uuid)) << uuid;
    EXPECT_EQ(Uuid::parse(uuid)->string(), uuid) << "upper case";
  }
  EXPECT_NE(requests[0].streamName, requests[1].streamName);
}

TEST_F(SystemAudioTapTest, HandsEachNonEmptyCycleAsAViewWithItsLevel) {
  tap.start();
  std::vector<float> loud(441, 0.1f);
  ASSERT_TRUE(server->deliver(loud));
  ASSERT_TRUE(server->deliver({}));  // a cycle without frames
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(views, std::vector<bool>{true});
  EXPECT_FALSE(kept[0].isView()) << "a kept copy owns its samples";
  EXPECT_EQ(kept[0].format(), (AudioFormat{44100, 1}));
  EXPECT_EQ(kept[0].frameLength(), 441u);
  EXPECT_EQ(kept[0].channel(0)[440], 0.1f);
  ASSERT_EQ(levels.size(), 1u);
  EXPECT_NEAR(levels[0], 0.7f, 1e-6);
}

TEST_F(SystemAudioTapTest, EachDefaultSinkChangeRestartsOnceWhileRunningAndNeverAfterStop) {
  tap.start();
  server->changeDefaultSink();
  EXPECT_EQ(server->requests().size(), 2u);
  server->changeDefaultSink();
  EXPECT_EQ(server->requests().size(), 3u);
  EXPECT_TRUE(tap.isRunning());
  EXPECT_TRUE(server->deliver(std::vector<float>(10, 0.5f)));
  EXPECT_EQ(kept.size(), 1u);
  tap.stop();
  server->changeDefaultSink();
  EXPECT_EQ(server->requests().size(), 3u);
  EXPECT_FALSE(tap.isRunning());
}

TEST_F(SystemAudioTapTest, ARestartThatFailsLeavesTheTapStoppedSilently) {
  tap.start();
  server->refusal = SoundServerError(SoundServerError::Kind::noDevice, 5, "gone");
  server->changeDefaultSink();
  EXPECT_FALSE(tap.isRunning());
  EXPECT_FALSE(server->watchOpen());
  server->refusal.reset();
  tap.start();
  EXPECT_TRUE(tap.isRunning());
}

TEST_F(SystemAudioTapTest, StartErrorsNameTheirCause) {
  using Kind = SoundServerError::Kind;
  struct Case {
    Kind kind;
    TapError::Kind expected;
    int32_t code;
  } cases[] = {{Kind::unreachable, TapError::Kind::status, -6},
               {Kind::refused, TapError::Kind::status, -6},
               {Kind::noDevice, TapError::Kind::noOutput, 0},
               {Kind::badFormat, TapError::Kind::format, 0},
               {Kind::noStream, TapError::Kind::create, 0}};
  for (const auto& c : cases) {
    server->refusal = SoundServerError(c.kind, 6, "refused");
    try {
      tap.start();
      ADD_FAILURE() << "no error";
    } catch (const TapError& e) {
      EXPECT_EQ(e.kind(), c.expected);
      EXPECT_EQ(e.code(), c.code);
    }
    EXPECT_FALSE(tap.isRunning());
  }
}

TEST_F(SystemAudioTapTest, AHandlerMayStopTheTapAndAWatchThatFailsIsNoError) {
  server->watchFails = true;
  SystemAudioTap* handle = nullptr;
  SystemAudioTap stopper(server, [&](const AudioBuffer&) { handle->stop(); });
  handle = &stopper;
  stopper.start();
  EXPECT_TRUE(stopper.isRunning());
  EXPECT_FALSE(server->deliver(std::vector<float>(10, 0.5f), 3)) << "the stream closed inside its handler";
  EXPECT_FALSE(stopper.isRunning());
}

// Mostly for ThreadSanitizer: clients start and stop while sink changes and
// cycles arrive.
TEST_F(SystemAudioTapTest, ClientsStartingAndStoppingWhileTheSinkChanges) {
  std::atomic<bool> stop = false;
  std::thread events([&] {
    std::vector<float> cycle(64, 0.2f);
    while (!stop) {
      server->changeDefaultSink();
      server->deliver(cycle);
    }
  });
  for (int i = 0; i < 100; ++i) {
    tap.start();
    tap.stop();
  }
  stop = true;
  events.join();
  EXPECT_FALSE(tap.isRunning());
}

// ---- On the private PulseAudio server ----

namespace {

// The tap's stream as the server lists it: its properties and its source.
std::string ourSourceOutputs() {
  std::string all = pactl("list source-outputs");
  std::string ours;
  size_t at = 0;
  while ((at = all.find("Source Output #", at)) != std::string::npos) {
    size_t end = all.find("Source Output #", at + 1);
    std::string entry = all.substr(at, end == std::string::npos ? std::string::npos : end - at);
    if (entry.find("application.id = \"app.quillet.mac\"") != std::string::npos) ours += entry;
    at = end == std::string::npos ? all.size() : end;
  }
  return ours;
}

// "Source: 3" as pactl lists a source output's source.
std::string sourceLine(const std::string& name) {
  std::string all = pactl("list short sources");
  std::istringstream lines(all);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    std::string index, source;
    fields >> index >> source;
    if (source == name) return "Source: " + index + "\n";
  }
  return "(no source " + name + ")";
}

struct Heard {
  std::mutex mutex;
  std::vector<float> samples;
  double rate = 0;
  float loudest = 0;
};

}  // namespace

TEST(SystemAudioTapOnPulse, HearsTheDefaultSinkAndFollowsItWhenItChanges) {
  REQUIRE_SOUND_SERVER();
  DefaultSinkGuard guard;
  Heard heard;
  SystemAudioTap tap(
      [&](const AudioBuffer& b) {
        std::lock_guard lock(heard.mutex);
        heard.rate = b.sampleRate();
        heard.samples.insert(heard.samples.end(), b.channel(0).begin(), b.channel(0).end());
      },
      [&](float level) {
        std::lock_guard lock(heard.mutex);
        heard.loudest = std::max(heard.loudest, level);
      });
  tap.start();
  std::string listed = ourSourceOutputs();
  EXPECT_NE(listed.find("application.name = \"Quillet\""), std::string::npos) << listed;
  EXPECT_NE(listed.find("media.name = \"app.quillet.tap."), std::string::npos) << listed;

  Clip clip = libriVoxClips()[1];
  ASSERT_TRUE(play(clip.wav, "quillet_a"));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the last chunk's way through the server
  Sound file = readSound(clip.wav);
  {
    std::lock_guard lock(heard.mutex);
    EXPECT_GT(heard.loudest, 0.3f);
    double expected = energy(file.samples, file.rate);
    EXPECT_NEAR(energy(heard.samples, heard.rate), expected, 0.1 * expected);
    heard.samples.clear();
  }

  // A new default sink: the stream moves over, and what plays there is heard.
  pactl("set-default-sink quillet_b");
  const std::string onB = sourceLine("quillet_b.monitor");
  std::string moved;
  for (int i = 0; i < 100 && moved.find(onB) == std::string::npos; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    moved = ourSourceOutputs();
  }
  EXPECT_NE(moved.find(onB), std::string::npos) << moved;
  EXPECT_EQ(moved.find("Source Output #", 1), std::string::npos) << "one stream, not two:\n" << moved;
  ASSERT_TRUE(play(clip.wav, "quillet_b"));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  tap.stop();
  std::lock_guard lock(heard.mutex);
  double expected = energy(file.samples, file.rate);
  EXPECT_NEAR(energy(heard.samples, heard.rate), expected, 0.1 * expected);
  EXPECT_EQ(ourSourceOutputs(), "");
}

TEST(SystemAudioTapOnPulse, NoServerIsAnErrorAtOnce) {
  const char* saved = std::getenv("PULSE_SERVER");
  std::string previous = saved ? saved : "";
  setenv("PULSE_SERVER", "unix:/nonexistent/quillet/native", 1);
  SystemAudioTap tap([](const AudioBuffer&) {});
  try {
    tap.start();
    ADD_FAILURE() << "no error";
  } catch (const TapError& e) {
    EXPECT_EQ(e.kind(), TapError::Kind::status);
    EXPECT_LT(e.code(), 0);
  }
  EXPECT_FALSE(tap.isRunning());
  if (saved) setenv("PULSE_SERVER", previous.c_str(), 1);
  else unsetenv("PULSE_SERVER");
}
