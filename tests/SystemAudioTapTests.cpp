// The system-audio tap against a scripted sound server, then on the private PulseAudio server.
#include <gtest/gtest.h>

#include <map>

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

TEST_F(SystemAudioTapTest, HandsNonEmptyCyclesUnderAFreshNameAndRestartsOnceOnEachDefaultSinkChange) {
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
}

TEST_F(SystemAudioTapTest, StartErrorsNameTheirCause) {
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

// Our streams, as the server lists them: the start of their name, then the source they read.
std::vector<std::string> ourStreams() {
  std::map<int, std::string> sources;
  for (const auto& s : nlohmann::json::parse(pactl({"-f", "json", "list", "short", "sources"})))
    sources[s["index"]] = s["name"];
  std::vector<std::string> streams;
  for (const auto& output : nlohmann::json::parse(pactl({"-f", "json", "list", "source-outputs"}))) {
    const auto& properties = output["properties"];
    if (properties.value("application.id", "") != "app.quillet.mac") continue;
    streams.push_back(properties.value("media.name", "").substr(0, 16) + " on " + sources[output["source"]]);
  }
  return streams;
}

}  // namespace

TEST(SystemAudioTapOnPulse, HearsAllOfTheDefaultSinkOnOneStreamOfItsMonitor) {
  REQUIRE_SOUND_SERVER();
  Heard heard;
  SystemAudioTap tap([&](const AudioBuffer& b) { heard.buffer(b); });
  tap.start();
  EXPECT_EQ(ourStreams(), std::vector<std::string>{"app.quillet.tap. on quillet_a.monitor"});
  heard.expectToHear(libriVoxClips()[1].wav, "quillet_a");
  tap.stop();
  // The server forgets a stream when it has read the client's goodbye.
  EXPECT_TRUE(spinUntil([] { return ourStreams().empty(); }, 5s));
}
