// The speech-asset logic against a substitute engine and inventory: which
// platform questions are asked, what progress is told, and how results are
// joined into a file's text.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <latch>

#include "AudioSupport.hpp"
#include "QuilletKit/SpeechAssets.hpp"
#include "TestSupport.hpp"

using namespace quillet;
using namespace quillet::test;

namespace {

class FakeBackend : public SpeechBackend {
 public:
  bool available = true;
  std::vector<std::string> supported{"pt-BR", "en-US"};
  std::vector<std::string> installed;
  bool failInstall = false;
  std::function<void()> duringInstall;
  std::vector<SpeechResult> script;
  std::atomic<int> calls = 0;
  std::atomic<int> installs = 0;
  size_t samplesFed = 0;
  bool finished = false;

  bool isAvailable() override {
    ++calls;
    return available;
  }
  std::optional<std::string> supportedLocale(const std::string& id) override {
    ++calls;
    return std::find(supported.begin(), supported.end(), id) != supported.end() ? std::optional(id) : std::nullopt;
  }
  std::vector<std::string> installedLocales() override {
    ++calls;
    return installed;
  }
  std::unique_ptr<AssetInstallation> installationRequest(const std::string& locale) override;
  std::unique_ptr<SpeechRecognizer> recognizer(const std::string&, SpeechPreset preset,
                                               SpeechResultHandler onResult) override;
};

struct FakeInstallation : AssetInstallation {
  FakeBackend* backend;
  std::string locale;
  FakeInstallation(FakeBackend* b, std::string l) : backend(b), locale(std::move(l)) {}
  void downloadAndInstall() override {
    ++backend->installs;
    if (backend->duringInstall) backend->duringInstall();
    if (backend->failInstall) throw std::runtime_error("sem rede");
    backend->installed.push_back(locale);
  }
};

struct FakeRecognizer : SpeechRecognizer {
  FakeBackend* backend;
  SpeechResultHandler onResult;
  FakeRecognizer(FakeBackend* b, SpeechResultHandler h) : backend(b), onResult(std::move(h)) {}
  int sampleRate() const override { return 16000; }
  void feed(std::span<const int16_t> samples) override { backend->samplesFed += samples.size(); }
  void finish() override {
    backend->finished = true;
    for (const auto& r : backend->script) onResult(r);
  }
};

std::unique_ptr<AssetInstallation> FakeBackend::installationRequest(const std::string& locale) {
  ++calls;
  bool present = std::find(installed.begin(), installed.end(), locale) != installed.end();
  return present ? nullptr : std::make_unique<FakeInstallation>(this, locale);
}

std::unique_ptr<SpeechRecognizer> FakeBackend::recognizer(const std::string&, SpeechPreset preset,
                                                          SpeechResultHandler onResult) {
  EXPECT_EQ(preset, SpeechPreset::transcription);
  return std::make_unique<FakeRecognizer>(this, std::move(onResult));
}

struct SpeechAssetsTest : ::testing::Test {
  std::shared_ptr<FakeBackend> backend = std::make_shared<FakeBackend>();
  SpeechAssets assets{backend};
  std::vector<std::string> progress;
  std::function<void(const std::string&)> record = [this](const std::string& t) { progress.push_back(t); };
};

}  // namespace

TEST_F(SpeechAssetsTest, PrepareInstallsAMissingModelOnceWithProgressAndRetriesAFailure) {
  backend->installed = {"en-US"};
  assets.prepare(MeetingLanguage::en(), record);  // installed: silent
  EXPECT_TRUE(progress.empty());
  backend->failInstall = true;
  EXPECT_THROW(assets.prepare(MeetingLanguage::pt(), record), std::runtime_error);
  EXPECT_EQ(assets.prepared(), std::set<std::string>{"en-US"});
  backend->failInstall = false;
  assets.prepare(MeetingLanguage::pt(), record);
  EXPECT_EQ(backend->installs, 2);
  EXPECT_EQ(progress, std::vector<std::string>(2, "Baixando o modelo de fala " + MeetingLanguage::pt().name() + "…"));
  EXPECT_EQ(assets.prepared(), (std::set<std::string>{"en-US", "pt-BR"}));

  int callsBefore = backend->calls;
  assets.prepare(MeetingLanguage::pt(), record);
  EXPECT_EQ(backend->calls, callsBefore);
  EXPECT_EQ(progress.size(), 2u);
}

TEST_F(SpeechAssetsTest, UnavailableEngineAndUnsupportedLanguageAreTypedErrors) {
  auto failure = [](const std::function<void()>& call) -> std::pair<SpeechError::Kind, std::string> {
    try {
      call();
    } catch (const SpeechError& e) {
      return {e.kind(), e.what()};
    }
    return {};
  };
  EXPECT_EQ(failure([&] { assets.transcribe("/nonexistent.wav", MeetingLanguage{"tlh-XX"}); }),
            std::pair(SpeechError::Kind::unsupportedLocale, std::string("O reconhecimento de fala do Mac não suporta tlh-XX")));
  backend->available = false;
  EXPECT_EQ(failure([&] { assets.prepare(MeetingLanguage::en()); }),
            std::pair(SpeechError::Kind::unavailable, std::string("O reconhecimento de fala não está disponível neste Mac")));
  EXPECT_STREQ(SpeechError::noAudioFormat().what(), "Não achei um formato de áudio para o reconhecimento de fala");
  EXPECT_TRUE(assets.prepared().empty());
}

TEST_F(SpeechAssetsTest, StatusAsksThePlatformAndChangesNothing) {
  backend->installed = {"en-US"};
  assets.prepare(MeetingLanguage::en());
  EXPECT_EQ(assets.status(MeetingLanguage::en()), "instalado");
  EXPECT_EQ(assets.status(MeetingLanguage::pt()), "baixa no primeiro uso");
  EXPECT_EQ(assets.status(MeetingLanguage{"xx-YY"}), "idioma não suportado");
  // A model removed behind the process's back shows at once in the status.
  backend->installed.clear();
  EXPECT_EQ(assets.status(MeetingLanguage::en()), "baixa no primeiro uso");
  backend->available = false;
  EXPECT_EQ(assets.status(MeetingLanguage::en()), "indisponível");
  EXPECT_EQ(backend->installs, 0);
  EXPECT_EQ(assets.prepared(), std::set<std::string>{"en-US"});
}

TEST_F(SpeechAssetsTest, AnInstallationInProgressDoesNotBlockOtherOperations) {
  std::latch installing(1), release(1);
  backend->duringInstall = [&] {
    installing.count_down();
    release.wait();
  };
  auto preparing = std::async(std::launch::async, [&] { assets.prepare(MeetingLanguage::pt()); });
  installing.wait();
  backend->installed = {"en-US"};
  EXPECT_EQ(assets.status(MeetingLanguage::en()), "instalado");
  EXPECT_EQ(assets.locale(MeetingLanguage::en()), "en-US");
  release.count_down();
  preparing.get();
  EXPECT_EQ(assets.prepared(), std::set<std::string>{"pt-BR"});
}

TEST_F(SpeechAssetsTest, TranscriptionJoinsSettledPiecesWithSingleSpaces) {
  TempDir dir;
  writeSound(dir.path() / "a.wav", silence(0.5), SF_FORMAT_WAV | SF_FORMAT_PCM_16);
  backend->installed = {"en-US"};
  backend->script = {{"  bom  ", 0, 1, true},
                     {"dia ignorado", 1, 2, false},
                     {" \t ", 1, 2, true},
                     {"\tpessoal\n", 2, 3, true}};
  EXPECT_EQ(assets.transcribe(dir.path() / "a.wav", MeetingLanguage::en()), "bom pessoal");
  EXPECT_EQ(backend->samplesFed, 8000u);
  EXPECT_TRUE(backend->finished);
  EXPECT_EQ(assets.prepared(), std::set<std::string>{"en-US"});
}
