// The system-audio tap against a scripted sound server, then on the private PulseAudio server.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <map>
#include <mutex>
#include <numeric>
#include <thread>

#include "MainContextSupport.hpp"
#include "PulseSupport.hpp"
#include "QuilletKit/SystemAudioTap.hpp"
#include "ScriptedSoundServer.hpp"
#include "TestSupport.hpp"

using namespace quillet;
using namespace quillet::test;
using namespace std::chrono_literals;

namespace {

struct SystemAudioTapTest : ::testing::Test {
  SystemAudioTapTest() { server->format = {44100, 1}; }
  std::shared_ptr<ScriptedSoundServer> server = std::make_shared<ScriptedSoundServer>();
  std::vector<AudioBuffer> kept;
  std::vector<float> levels;
  SystemAudioTap tap{server,
                     [this](const AudioBuffer& b) {
                       EXPECT_TRUE(b.isView());
                       kept.push_back(b);
                     },
                     [this](float l) { levels.push_back(l); }};
};

}  // namespace

TEST_F(SystemAudioTapTest, HandsNonEmptyCyclesRestartsOnEachDefaultSinkChangeAndNamesTheCauseOfAFailedStart) {
  tap.start();
  server->changeDefaultSink();
  server->changeDefaultSink();
  server->deliver(std::vector<float>(441, 0.1f));
  server->deliver({});  // a cycle without frames calls no handler
  tap.stop();
  server->changeDefaultSink();
  EXPECT_FALSE(server->streamOpen() || server->watchOpen() || tap.isRunning());
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_FALSE(kept[0].isView()) << "a kept copy owns its samples";
  EXPECT_EQ(kept[0].channel(0)[440], 0.1f);
  EXPECT_EQ(levels, std::vector<float>{0.7f});
  auto requests = server->requests();
  ASSERT_EQ(requests.size(), 3u) << "each change restarted once, on the tap's queue, and none after the stop";
  EXPECT_EQ(requests[2].device, CaptureDevice::defaultSinkMonitor);
  EXPECT_TRUE(requests[2].mono);
  EXPECT_TRUE(requests[1].streamName.starts_with("app.quillet.tap.")) << requests[1].streamName;
  EXPECT_NE(requests[0].streamName, requests[1].streamName);

  // A restart that fails leaves the tap stopped, silently, until started.
  tap.start();
  server->refusal = SoundServerError(SoundServerError::Kind::noDevice, 5, "gone");
  server->changeDefaultSink();
  EXPECT_FALSE(tap.isRunning() || server->watchOpen());
  server->refusal.reset();
  tap.start();
  EXPECT_TRUE(tap.isRunning());

  using Kind = SoundServerError::Kind;
  const std::pair<Kind, std::string> cases[] = {
      {Kind::refused, "Erro do Core Audio (-6)."},
      {Kind::noDevice, "Nenhuma saída de áudio encontrada."},
      {Kind::badFormat, "Formato de áudio do sistema não suportado."},
      {Kind::noStream,
       "Não consegui capturar o áudio do Mac. Libere em Ajustes do Sistema › Privacidade › Gravação de Áudio."}};
  for (const auto& [kind, message] : cases) {
    server->refusal = SoundServerError(kind, 6, "refused");
    EXPECT_EQ(failure([&] { tap.start(); }), message);
    EXPECT_FALSE(tap.isRunning());
  }
}

TEST_F(SystemAudioTapTest, AHandlerMayStopItsTapAndAFailedWatchIsNoError) {
  server->watchFails = true;
  SystemAudioTap* self = nullptr;
  SystemAudioTap stopper(server, [&](const AudioBuffer&) { self->stop(); });
  self = &stopper;
  stopper.start();
  EXPECT_TRUE(stopper.isRunning());
  EXPECT_FALSE(server->deliver(std::vector<float>(10, 0.5f), 3)) << "closed inside its own handler";
  EXPECT_FALSE(stopper.isRunning());
}

namespace {

// Σ x² over the sample rate of channel 0: the same for a clip and for that clip with silence around it, at any rate.
double energy(std::span<const float> samples, double rate) {
  return std::inner_product(samples.begin(), samples.end(), samples.begin(), 0.0) / rate;
}

// The sources that our streams read, as the server lists them.
std::vector<std::string> ourSources() {
  std::map<int, std::string> names;
  for (const auto& s : nlohmann::json::parse(pactl({"-f", "json", "list", "short", "sources"})))
    names[s["index"]] = s["name"];
  std::vector<std::string> read;
  for (const auto& o : nlohmann::json::parse(pactl({"-f", "json", "list", "source-outputs"})))
    if (o["properties"].value("application.id", "") == "app.quillet.mac") read.push_back(names[o["source"]]);
  return read;
}

}  // namespace

// All of a clip is heard, on the default sink and, once the user picks another, on that one: one stream moves.
TEST(SystemAudioTapOnPulse, HearsAllOfTheDefaultSinkAndFollowsItWhenItChanges) {
  REQUIRE_SOUND_SERVER();
  std::mutex mutex;
  double heard = 0;
  SystemAudioTap tap([&](const AudioBuffer& b) {
    std::lock_guard lock(mutex);
    heard += energy(b.channel(0), b.sampleRate());
  });
  const Clip clip = libriVoxClips()[1];
  const Sound file = readSound(clip.wav);
  auto hearsTheClipOn = [&](const std::string& sink) {
    ASSERT_TRUE(spinUntil([&] { return ourSources() == std::vector<std::string>{sink + ".monitor"}; }, 5s));
    ASSERT_TRUE(play(clip.wav, sink));
    std::this_thread::sleep_for(300ms);  // the last chunk's way through the server
    std::lock_guard lock(mutex);
    EXPECT_NEAR(std::exchange(heard, 0), energy(file.samples, file.rate), 0.1 * energy(file.samples, file.rate));
  };
  tap.start();
  hearsTheClipOn("quillet_a");
  struct Back {  // the default sink as with-services.sh left it, for the tests after this one
    ~Back() { pactl({"set-default-sink", "quillet_a"}); }
  } back;
  pactl({"set-default-sink", "quillet_b"});
  hearsTheClipOn("quillet_b");
  tap.stop();
  EXPECT_TRUE(spinUntil([] { return ourSources().empty(); }, 5s));  // once the server has read our goodbye
}
