// The speech assets against a scripted engine: what the engine is asked, the progress told, a file's text.
#include <gtest/gtest.h>

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

TEST_F(SpeechAssetsTest, TranscriptionJoinsSettledPiecesAndPrepareInstallsAMissingModelOnceAndRetriesAFailure) {
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

  // The status asks the platform each time: a model removed behind the process's back shows at once.
  EXPECT_EQ(assets.status(MeetingLanguage::en()), "instalado");
  EXPECT_EQ(assets.status(MeetingLanguage::pt()), "baixa no primeiro uso");
  EXPECT_EQ(assets.status(MeetingLanguage{"xx-YY"}), "idioma não suportado");
  engine->installed.clear();
  EXPECT_EQ(assets.status(MeetingLanguage::en()), "baixa no primeiro uso");
  engine->available = false;
  EXPECT_EQ(assets.status(MeetingLanguage::en()), "indisponível");
  EXPECT_EQ(failure([&] { assets.prepare(MeetingLanguage::pt()); }), SpeechError::unavailable().what());
  engine->available = true;
  engine->installed = {"en-US"};

  std::vector<std::string> progress;
  auto record = [&](const std::string& t) { progress.push_back(t); };
  assets.prepare(MeetingLanguage::en(), record);  // installed: silent
  engine->duringInstall = [] { throw std::runtime_error("sem rede"); };
  EXPECT_THROW(assets.prepare(MeetingLanguage::pt(), record), std::runtime_error);
  EXPECT_EQ(assets.prepared(), std::set<std::string>{"en-US"});
  engine->duringInstall = nullptr;
  assets.prepare(MeetingLanguage::pt(), record);
  EXPECT_EQ(engine->installs, 2) << "none while the engine is unavailable";
  EXPECT_EQ(progress, std::vector<std::string>(2, "Baixando o modelo de fala " + MeetingLanguage::pt().name() + "…"));
  EXPECT_EQ(assets.prepared(), (std::set<std::string>{"en-US", "pt-BR"}));
  engine->available = false;
  assets.prepare(MeetingLanguage::pt(), record);  // prepared: the engine is not asked again
  EXPECT_EQ(progress.size(), 2u);
}
