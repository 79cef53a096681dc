// The speech assets against a scripted engine: which questions the engine is asked, what progress is
// told, and how results are joined into a file's text.
#include <gtest/gtest.h>

#include <future>
#include <latch>

#include "AudioSupport.hpp"
#include "QuilletKit/SpeechAssets.hpp"
#include "ScriptedSpeech.hpp"
#include "TestSupport.hpp"

using namespace quillet;
using namespace quillet::test;

namespace {

struct SpeechAssetsTest : ::testing::Test {
  SpeechAssetsTest() { engine->installed = {"en-US"}; }
  std::shared_ptr<ScriptedSpeech> engine = std::make_shared<ScriptedSpeech>();
  SpeechAssets assets{engine};
};

}  // namespace

TEST_F(SpeechAssetsTest, PrepareInstallsAMissingModelOnceWithProgressAndRetriesAFailure) {
  std::vector<std::string> progress;
  auto record = [&](const std::string& t) { progress.push_back(t); };
  assets.prepare(MeetingLanguage::en(), record);  // installed: silent
  EXPECT_TRUE(progress.empty());
  engine->duringInstall = [] { throw std::runtime_error("sem rede"); };
  EXPECT_THROW(assets.prepare(MeetingLanguage::pt(), record), std::runtime_error);
  EXPECT_EQ(assets.prepared(), std::set<std::string>{"en-US"});
  engine->duringInstall = nullptr;
  assets.prepare(MeetingLanguage::pt(), record);
  EXPECT_EQ(engine->installs, 2);
  EXPECT_EQ(progress, std::vector<std::string>(2, "Baixando o modelo de fala " + MeetingLanguage::pt().name() + "…"));
  EXPECT_EQ(assets.prepared(), (std::set<std::string>{"en-US", "pt-BR"}));
  engine->available = false;
  assets.prepare(MeetingLanguage::pt(), record);  // prepared: the engine is not asked again
  EXPECT_EQ(progress.size(), 2u);
}

TEST_F(SpeechAssetsTest, TranscriptionJoinsSettledPiecesAndStatusAsksThePlatformEachTime) {
  TempDir dir;
  writeSound(dir.path() / "a.wav", silence(0.5), SF_FORMAT_WAV | SF_FORMAT_PCM_16);
  engine->onFinish = [](const std::vector<int16_t>&, size_t) {
    return std::vector<SpeechResult>{
        {"  bom  ", 0, 1, true}, {"dia ignorado", 1, 2, false}, {" \t ", 1, 2, true}, {"\tpessoal\n", 2, 3, true}};
  };
  EXPECT_EQ(assets.transcribe(dir.path() / "a.wav", MeetingLanguage::en()), "bom pessoal");
  EXPECT_EQ(engine->fed.size(), 8000u);
  EXPECT_TRUE(engine->finished);
  EXPECT_EQ(engine->preset, SpeechPreset::transcription);

  assets.prepare(MeetingLanguage::en());
  EXPECT_EQ(assets.status(MeetingLanguage::en()), "instalado");
  EXPECT_EQ(assets.status(MeetingLanguage::pt()), "baixa no primeiro uso");
  EXPECT_EQ(assets.status(MeetingLanguage{"xx-YY"}), "idioma não suportado");
  // A model removed behind the process's back shows at once in the status.
  engine->installed.clear();
  EXPECT_EQ(assets.status(MeetingLanguage::en()), "baixa no primeiro uso");
  engine->available = false;
  EXPECT_EQ(assets.status(MeetingLanguage::en()), "indisponível");
  EXPECT_EQ(failure([&] { assets.prepare(MeetingLanguage::pt()); }), SpeechError::unavailable().what());
  EXPECT_EQ(engine->installs, 0);
  EXPECT_EQ(assets.prepared(), std::set<std::string>{"en-US"});
}

TEST_F(SpeechAssetsTest, AnInstallationInProgressDoesNotBlockOtherOperations) {
  std::latch installing(1), release(1);
  engine->duringInstall = [&] {
    installing.count_down();
    release.wait();
  };
  auto preparing = std::async(std::launch::async, [&] { assets.prepare(MeetingLanguage::pt()); });
  installing.wait();
  EXPECT_EQ(assets.status(MeetingLanguage::en()), "instalado");
  EXPECT_EQ(assets.locale(MeetingLanguage::en()), "en-US");
  release.count_down();
  preparing.get();
  EXPECT_EQ(assets.prepared(), std::set<std::string>{"pt-BR"});
}
