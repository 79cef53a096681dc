// The PocketSphinx backend and the file reader on Debian's LibriVox clips, against the engine's own program.
#include <gtest/gtest.h>

#include <cstring>

#include "AudioSupport.hpp"
#include "QuilletKit/AudioFile.hpp"
#include "QuilletKit/PocketSphinx.hpp"
#include "QuilletKit/SpeechAssets.hpp"
#include "QuilletKit/Text.hpp"
#include "TestSupport.hpp"

using namespace quillet;
using namespace quillet::test;
namespace fs = std::filesystem;

namespace {

// What the engine's own program makes of a clip, its utterances joined.
std::string programTranscript(const fs::path& wav) {
  std::string out = run("/usr/bin/pocketsphinx_continuous", {"-logfn", "/dev/null", "-infile", wav}, {}).out;
  std::replace(out.begin(), out.end(), '\n', ' ');
  return text::trimSpacesAndNewlines(out);
}

class SpeechRecognitionTest : public ::testing::Test {
 protected:
  static std::string transcribe(const fs::path& file, const MeetingLanguage& language = MeetingLanguage::en()) {
    return SpeechAssets::shared().transcribe(file, language);
  }
  TempDir data, work;
  ScopedEnv onlyDebians{"XDG_DATA_HOME", data.path().string()};  // the user's models folder is empty
};

}  // namespace

// One clip a test, to stay well inside the time limit on a busy machine.
class SpeechRecognitionClip : public SpeechRecognitionTest, public ::testing::WithParamInterface<size_t> {};

// At 44.1 kHz in stereo, through resampling and down-mixing; the file as it is gives the program's text (below).
TEST_P(SpeechRecognitionClip, ScoresAsWellAsTheEnginesOwnProgram) {
  const Clip clip = libriVoxClips().at(GetParam());
  fs::path flac = work.path() / (clip.id + ".flac");
  writeSound(flac, converted(readSound(clip.wav), 44100, 2), SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
  const std::string text = transcribe(flac);
  const double ours = wordErrorRate(clip.reference, text);
  const double program = wordErrorRate(clip.reference, programTranscript(clip.wav));
  std::printf("WER %-45s %5.1f %% (engine's program %5.1f %%)\n", flac.filename().c_str(), ours, program);
  EXPECT_LE(ours, program + 2.0) << text;
}

INSTANTIATE_TEST_SUITE_P(LibriVox, SpeechRecognitionClip, ::testing::Range<size_t>(0, 5));

// Empty, missing and broken files (longer silence and a file that is no audio: in the transcribe command's tests).
TEST_F(SpeechRecognitionTest, AFileThatBreaksOffFailsWithTheWordsBeforeTheBreak) {
  writeSound(work.path() / "quiet.wav", silence(0), SF_FORMAT_WAV | SF_FORMAT_PCM_16);
  EXPECT_EQ(transcribe(work.path() / "quiet.wav"), "");
  const fs::path absent = work.path() / "absent.wav";
  EXPECT_EQ(failure([&] { transcribe(absent); }), absent.string() + ": " + std::strerror(ENOENT));
  EXPECT_EQ(failure([&] { transcribe(work.path()); }), work.path().string() + ": " + std::strerror(EISDIR));
  auto clips = libriVoxClips();
  Sound sound = readSound(clips[1].wav);
  append(sound, silence(1));
  append(sound, readSound(clips[2].wav));
  for (bool overwrite : {false, true}) {
    fs::path flac = work.path() / (overwrite ? "garbled.flac" : "cut.flac");
    brokenFlac(flac, sound, 0.7, overwrite);
    try {
      transcribe(flac);
      ADD_FAILURE() << flac;
    } catch (const PartialTranscription& e) {
      EXPECT_EQ(e.what(), flac.string() + ": Error : flac decoder lost sync.");
      // The first clip whole, then some of the second one up to the break.
      EXPECT_LT(wordErrorRate(clips[1].reference, e.text.substr(0, clips[1].reference.size())), 50.0) << e.text;
    }
  }
}

TEST_F(SpeechRecognitionTest, OnlyAWholeModelInTheUsersFolderIsUsedAndADamagedOneIsAnErrorNamingIt) {
  SpeechAssets assets(std::make_shared<PocketSphinxBackend>());
  EXPECT_EQ(assets.status(MeetingLanguage::en()), "instalado");
  EXPECT_EQ(assets.status(MeetingLanguage::pt()), "idioma não suportado");
  EXPECT_EQ(assets.status(MeetingLanguage{"not a language"}), "idioma não suportado");
  auto clip = libriVoxClips()[1];
  // Portuguese in name only, Debian's English files, under a POSIX locale's folder name.
  fs::path model = sphinx::userModelsFolder() / "pt_BR";
  englishModel(model);
  fs::remove(model / "words.dict");
  EXPECT_EQ(assets.status(MeetingLanguage::pt()), "idioma não suportado");  // no dictionary yet
  fs::create_symlink(kDebianModel / "cmudict-en-us.dict", model / "words.dict");
  EXPECT_EQ(assets.status(MeetingLanguage::pt()), "instalado");
  EXPECT_EQ(assets.locale(MeetingLanguage::pt()), "pt-BR");
  EXPECT_EQ(assets.transcribe(clip.wav, MeetingLanguage::pt()), programTranscript(clip.wav));

  // The engine crashes on a damaged acoustic file (one that ends the process: in the doctor and transcribe commands'
  // tests); a damaged language model is found only when loaded for use.
  const std::tuple<std::string, std::string, std::string> cases[] = {
      {"means", readFile(kDebianModel / "en-us" / "means").substr(0, 4096), "danificado (" + model.string() + ")"},
      {"language.lm.bin", "\\data\\\n", "instalado"}};
  for (const auto& [file, content, status] : cases) {
    fs::remove_all(model);
    englishModel(model, file, content);
    SpeechAssets fresh(std::make_shared<PocketSphinxBackend>());
    EXPECT_EQ(fresh.status(MeetingLanguage::pt()), status) << file;
    EXPECT_EQ(failure([&] { fresh.transcribe(clip.wav, MeetingLanguage::pt()); }),
              "O modelo de fala em " + model.string() + " está danificado") << file;
  }
}
