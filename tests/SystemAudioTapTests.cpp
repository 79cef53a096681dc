// The system-audio tap against a scripted sound server, then on the private
// PulseAudio server (without one: in the record command's tests).
#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <thread>

#include "AudioSupport.hpp"
#include "PulseSupport.hpp"
#include "QuilletKit/SystemAudioTap.hpp"
#include "ScriptedSoundServer.hpp"

using namespace quillet;
using namespace quillet::test;

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

TEST_F(SystemAudioTapTest, HandsNonEmptyCyclesOfTheMonitorUnderAFreshNameEachStart) {
  tap.stop();  // never started: nothing to do
  tap.start();
  server->deliver(std::vector<float>(441, 0.1f));
  server->deliver({});  // a cycle without frames calls no handler
  tap.stop();
  EXPECT_FALSE(server->streamOpen() || server->watchOpen() || tap.isRunning());
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_FALSE(kept[0].isView()) << "a kept copy owns its samples";
  EXPECT_EQ(kept[0].channel(0)[440], 0.1f);
  EXPECT_EQ(levels, std::vector<float>{0.7f});

  tap.start();
  auto requests = server->requests();
  const std::regex name("app\\.quillet\\.tap\\.[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}");  // upper case
  for (const auto& r : requests) {
    EXPECT_EQ(r.device, CaptureDevice::defaultSinkMonitor);
    EXPECT_TRUE(r.mono);
    EXPECT_TRUE(std::regex_match(r.streamName, name)) << r.streamName;
  }
  EXPECT_NE(requests[0].streamName, requests[1].streamName);
}

TEST_F(SystemAudioTapTest, EachDefaultSinkChangeRestartsOnceWhileRunningAndNeverAfterStop) {
  tap.start();
  server->changeDefaultSink();
  server->changeDefaultSink();
  EXPECT_EQ(server->requests().size(), 3u);  // each change restarted once, on the tap's queue
  EXPECT_TRUE(server->deliver(std::vector<float>(10, 0.5f)));
  tap.stop();
  server->changeDefaultSink();
  EXPECT_EQ(server->requests().size(), 3u);
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
  std::tuple<Kind, TapError::Kind, const char*> cases[] = {
      {Kind::unreachable, TapError::Kind::status, "Erro do Core Audio (-6)."},
      {Kind::refused, TapError::Kind::status, "Erro do Core Audio (-6)."},
      {Kind::noDevice, TapError::Kind::noOutput, "Nenhuma saída de áudio encontrada."},
      {Kind::badFormat, TapError::Kind::format, "Formato de áudio do sistema não suportado."},
      {Kind::noStream, TapError::Kind::create,
       "Não consegui capturar o áudio do Mac. Libere em Ajustes do Sistema › Privacidade › Gravação de Áudio."}};
  for (const auto& [kind, expected, message] : cases) {
    server->refusal = SoundServerError(kind, 6, "refused");
    try {
      tap.start();
      ADD_FAILURE();
    } catch (const TapError& e) {
      EXPECT_EQ(e.kind(), expected);
      EXPECT_STREQ(e.what(), message);
    }
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

// Our source outputs as pactl lists them, properties included.
std::string ourSourceOutputs() {
  std::string all = pactl({"list", "source-outputs"}), ours;
  for (size_t at = all.find("Source Output #"); at != std::string::npos;) {
    size_t end = all.find("Source Output #", at + 1);
    std::string entry = all.substr(at, end - at);
    if (entry.find("application.id = \"app.quillet.mac\"") != std::string::npos) ours += entry;
    at = end;
  }
  return ours;
}

// "Source: 3", as pactl names a source output's source.
std::string sourceLine(const std::string& name) {
  std::istringstream lines(pactl({"list", "short", "sources"}));
  std::string index, source, rest;
  while (lines >> index >> source && std::getline(lines, rest))
    if (source == name) return "Source: " + index + "\n";
  return "(no " + name + ")";
}

// Polls `done` for up to five seconds: the server's own pace.
template <class F>
void waitUntil(F done) {
  for (int i = 0; i < 100 && !done(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

}  // namespace

TEST(SystemAudioTapOnPulse, HearsTheDefaultSinkAndFollowsItWhenItChanges) {
  REQUIRE_SOUND_SERVER();
  DefaultSinkGuard guard;
  Heard heard;
  SystemAudioTap tap([&](const AudioBuffer& b) { heard.buffer(b); }, [&](float l) { heard.level(l); });
  tap.start();
  std::string listed = ourSourceOutputs();
  EXPECT_NE(listed.find("media.name = \"app.quillet.tap."), std::string::npos) << listed;
  const auto clip = libriVoxClips()[1].wav;
  heard.expectToHear(clip, "quillet_a");

  pactl({"set-default-sink", "quillet_b"});
  const std::string onB = sourceLine("quillet_b.monitor");
  waitUntil([&] { return ourSourceOutputs().find(onB) != std::string::npos; });
  std::string moved = ourSourceOutputs();
  EXPECT_NE(moved.find(onB), std::string::npos) << moved;
  EXPECT_EQ(moved.find("Source Output #", 1), std::string::npos) << "one stream, not two:\n" << moved;
  heard.expectToHear(clip, "quillet_b");

  tap.stop();
  // The server forgets a stream when it has read the client's goodbye.
  waitUntil([] { return ourSourceOutputs().empty(); });
  EXPECT_EQ(ourSourceOutputs(), "");
}
