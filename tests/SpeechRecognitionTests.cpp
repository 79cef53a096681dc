// The PocketSphinx backend on real recorded speech: Debian's LibriVox clips
// with their reference transcripts, in several file formats, compared with
// the engine's own command-line program on the same clips.
#include <gtest/gtest.h>

#include <system_error>

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

const fs::path kDebianModel = "/usr/share/pocketsphinx/model/en-us";

// What the engine's own program makes of a clip, its utterances joined.
std::string programTranscript(const fs::path& wav) {
  std::string out = run("/usr/bin/pocketsphinx_continuous", {"-logfn", "/dev/null", "-infile", wav}, {}).out;
  std::replace(out.begin(), out.end(), '\n', ' ');
  return text::trimSpacesAndNewlines(out);
}

// The error of type E that `call` throws, if it throws one.
template <class E>
std::optional<E> thrown(const std::function<void()>& call) {
  try {
    call();
  } catch (const E& e) {
    return e;
  }
  return std::nullopt;
}

class SpeechRecognitionTest : public ::testing::Test {
 protected:
  static std::string transcribe(const fs::path& file, const MeetingLanguage& language = MeetingLanguage::en()) {
    return SpeechAssets::shared().transcribe(file, language);
  }
  TempDir data, work;
  ScopedEnv onlyDebians{"XDG_DATA_HOME", data.path().string()};  // the user's models folder is empty
};

// The settled results, or with `all` every result, of the sound fed in chunks.
std::vector<SpeechResult> recognize(const Sound& sound, size_t chunk, SpeechPreset preset,
                                    double maxStretchSeconds = 30, bool all = false) {
  std::vector<SpeechResult> results;
  PocketSphinxBackend backend(maxStretchSeconds);
  auto recognizer = backend.recognizer("en-US", preset, [&](const SpeechResult& r) {
    if (all || r.isFinal) results.push_back(r);
  });
  std::vector<int16_t> pcm(sound.samples.size());
  src_float_to_short_array(sound.samples.data(), pcm.data(), static_cast<int>(pcm.size()));
  for (size_t at = 0; at < pcm.size(); at += chunk)
    recognizer->feed(std::span<const int16_t>(pcm).subspan(at, std::min(chunk, pcm.size() - at)));
  recognizer->finish();
  return results;
}

}  // namespace

// One clip a test, so that each stays well inside the suite's time limit
// on a busy machine.
class SpeechRecognitionClip : public SpeechRecognitionTest, public ::testing::WithParamInterface<size_t> {};

TEST_P(SpeechRecognitionClip, ScoresInEveryFormatAsWellAsTheEnginesOwnProgram) {
  const Clip clip = libriVoxClips().at(GetParam());
  Sound sound = readSound(clip.wav);
  fs::path flac = work.path() / (clip.id + ".flac");
  fs::path mp3 = work.path() / (clip.id + ".mp3");
  // The FLAC copy goes through resampling and down-mixing on its way back.
  writeSound(flac, converted(sound, 44100, 2), SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
  writeSound(mp3, sound, SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III);
  double program = wordErrorRate(clip.reference, programTranscript(clip.wav));
  for (const fs::path& file : {clip.wav, flac, mp3}) {
    std::string text = transcribe(file);
    double ours = wordErrorRate(clip.reference, text);
    std::printf("WER %-45s %5.1f %% (engine's program %5.1f %%)\n", file.filename().c_str(), ours, program);
    EXPECT_LE(ours, program + 2.0) << file << ": " << text;
  }
}

INSTANTIATE_TEST_SUITE_P(LibriVox, SpeechRecognitionClip, ::testing::Range<size_t>(0, 5));

TEST_F(SpeechRecognitionTest, SilenceGivesNoTextAndFilesThatAreNoAudioOrMissingAreReported) {
  for (double seconds : {3.0, 0.0}) {
    writeSound(work.path() / "quiet.wav", silence(seconds), SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    EXPECT_EQ(transcribe(work.path() / "quiet.wav"), "") << seconds;
  }
  writeFile(work.path() / "notes.wav", "# Notas da reunião\n\nNada de áudio aqui.\n");
  writeFile(work.path() / "zero.mp3", "");
  writeFile(work.path() / "photo.png", std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16));
  for (const char* name : {"notes.wav", "zero.mp3", "photo.png"}) {
    fs::path file = work.path() / name;
    auto error = thrown<AudioFileError>([&] { transcribe(file); });
    ASSERT_TRUE(error) << name;
    EXPECT_EQ(error->what(), file.string() + ": " + openFailure(file)) << name;
  }
  auto absent = thrown<std::system_error>([&] { transcribe(work.path() / "absent.wav"); });
  ASSERT_TRUE(absent);
  EXPECT_EQ(absent->code(), std::errc::no_such_file_or_directory);
  EXPECT_NE(std::string(absent->what()).find("absent.wav"), std::string::npos);
  EXPECT_TRUE(thrown<std::system_error>([&] { transcribe(work.path()); }));
}

TEST_F(SpeechRecognitionTest, AFileThatBreaksOffFailsWithTheWordsBeforeTheBreak) {
  auto clips = libriVoxClips();
  Sound sound = readSound(clips[1].wav);
  append(sound, silence(1));
  append(sound, readSound(clips[2].wav));
  for (bool overwrite : {false, true}) {
    fs::path flac = work.path() / (overwrite ? "garbled.flac" : "cut.flac");
    brokenFlac(flac, sound, 0.7, overwrite);
    auto e = thrown<PartialTranscription>([&] { transcribe(flac); });
    ASSERT_TRUE(e) << flac;
    EXPECT_EQ(e->what(), flac.string() + ": Error : flac decoder lost sync.");
    // The first clip whole, then some of the second one up to the break.
    auto heard = words(e->text);
    heard.resize(std::min(heard.size(), words(clips[1].reference).size()));
    std::string start;
    for (const auto& w : heard) start += w + " ";
    EXPECT_LT(wordErrorRate(clips[1].reference, start), 50.0) << e->text;
  }
}

TEST_F(SpeechRecognitionTest, ADamagedModelIsAnErrorNamingItsFolderAndTheProcessLivesOn) {
  const fs::path acoustic = kDebianModel / "en-us";
  const fs::path folder = sphinx::userModelsFolder() / "pt-BR";
  struct Case {
    const char* file;
    std::string content;
  };
  for (const Case& c : {Case{"mdef", "garbage\n"}, Case{"mdef", ""},
                        Case{"means", readFile(acoustic / "means").substr(0, 4096)},
                        Case{"transition_matrices", readFile(acoustic / "transition_matrices").substr(0, 100)},
                        Case{"language.lm.bin", "\\data\\\n"}}) {
    fs::remove_all(folder);
    englishModel(folder, c.file, c.content);
    SpeechAssets assets(std::make_shared<PocketSphinxBackend>());
    // A damaged language model is found only when loaded for use.
    if (c.file != std::string("language.lm.bin")) {
      EXPECT_EQ(assets.status(MeetingLanguage::pt()), "danificado (" + folder.string() + ")") << c.file;
    }
    auto e = thrown<SpeechError>([&] { assets.transcribe(libriVoxClips()[0].wav, MeetingLanguage::pt()); });
    ASSERT_TRUE(e) << c.file;
    EXPECT_EQ(e->kind(), SpeechError::Kind::damagedModel);
    EXPECT_EQ(e->what(), "O modelo de fala em " + folder.string() + " está danificado");
  }
}

TEST_F(SpeechRecognitionTest, OnlyLanguagesWithAWholeModelInTheUsersFolderAreSupported) {
  SpeechAssets assets(std::make_shared<PocketSphinxBackend>());
  EXPECT_EQ(assets.status(MeetingLanguage::en()), "instalado");
  EXPECT_EQ(assets.status(MeetingLanguage::pt()), "idioma não suportado");
  auto clip = libriVoxClips()[1];
  for (const char* raw : {"pt-BR", "xx-YY", "not a language"}) {
    auto e = thrown<SpeechError>([&] { assets.transcribe(clip.wav, MeetingLanguage{raw}); });
    ASSERT_TRUE(e) << raw;
    EXPECT_EQ(e->kind(), SpeechError::Kind::unsupportedLocale);
    EXPECT_EQ(e->what(), std::string("O reconhecimento de fala do Mac não suporta ") + raw);
  }
  // A Portuguese model in name only, Debian's English files, under the
  // folder name of a POSIX locale.
  fs::path model = sphinx::userModelsFolder() / "pt_BR";
  englishModel(model);
  fs::remove(model / "words.dict");
  EXPECT_EQ(assets.status(MeetingLanguage::pt()), "idioma não suportado");  // no dictionary yet
  fs::create_symlink(kDebianModel / "cmudict-en-us.dict", model / "words.dict");
  EXPECT_EQ(assets.status(MeetingLanguage::pt()), "instalado");
  EXPECT_EQ(assets.locale(MeetingLanguage::pt()), "pt-BR");
  EXPECT_EQ(assets.transcribe(clip.wav, MeetingLanguage::pt()), programTranscript(clip.wav));
}

TEST_F(SpeechRecognitionTest, StretchTimesFollowTheAudioAcrossLongSilences) {
  auto clips = libriVoxClips();
  Sound sound{16000, 1, {}};
  std::vector<double> offsets, lengths;
  for (size_t i : {1u, 4u, 2u}) {
    Sound clip = readSound(clips[i].wav);
    offsets.push_back(static_cast<double>(sound.samples.size()) / 16000);
    lengths.push_back(static_cast<double>(clip.samples.size()) / 16000);
    append(sound, clip);
    append(sound, silence(6));
  }
  auto results = recognize(sound, 997, SpeechPreset::progressiveTranscription, 30, true);
  std::vector<SpeechResult> settled;
  std::copy_if(results.begin(), results.end(), std::back_inserter(settled), [](auto& r) { return r.isFinal; });
  ASSERT_EQ(settled.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    // Each clip has a few tenths of a second before its first word and
    // after its last one; the skipped silence must not shift later stretches.
    EXPECT_NEAR(settled[i].start, offsets[i] + 0.25, 0.3) << i;
    EXPECT_NEAR(settled[i].end, offsets[i] + lengths[i], 0.4) << i;
    EXPECT_FALSE(settled[i].text.empty());
  }
  EXPECT_FALSE(results.front().isFinal) << "volatile guesses come before each stretch settles";
  // Results do not depend on how the caller cuts the audio into chunks.
  EXPECT_EQ(recognize(sound, sound.samples.size(), SpeechPreset::transcription), settled);
}

TEST_F(SpeechRecognitionTest, SpeechWithoutPausesIsSettledInBoundedPieces) {
  const Clip clip = libriVoxClips()[0];  // seven seconds in one breath
  auto pieces = recognize(readSound(clip.wav), 4096, SpeechPreset::transcription, 2.0);
  ASSERT_GE(pieces.size(), 3u);
  std::string text;
  for (size_t i = 0; i < pieces.size(); ++i) {
    // The bound counts from when the detector heard speech, a few tenths
    // of a second after it began, and is checked once per block.
    EXPECT_LE(pieces[i].end - pieces[i].start, 2.6) << i;
    if (i > 0) {
      EXPECT_GE(pieces[i].start, pieces[i - 1].end - 0.15) << i;
    }
    text += pieces[i].text + " ";
  }
  EXPECT_NEAR(pieces.back().end, 7.1, 0.5);
  EXPECT_LE(wordErrorRate(clip.reference, text), 60);
}

TEST(AudioFileReader, ConvertsRateAndChannelsAndReadsFloatContentScaled) {
  TempDir dir;
  Sound tone{48000, 2, {}};
  for (int i = 0; i < 48000; ++i) {
    float v = 0.5f * static_cast<float>(std::sin(2 * M_PI * 440 * i / 48000.0));
    tone.samples.push_back(v);
    tone.samples.push_back(i % 2 ? 0.1f : -0.1f);  // cancels out with its neighbour over time
  }
  writeSound(dir.path() / "tone.wav", tone, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
  AudioFileReader reader(dir.path() / "tone.wav");
  EXPECT_EQ(reader.sourceRate(), 48000);
  EXPECT_EQ(reader.sourceChannels(), 2);
  std::vector<int16_t> out(1000), all;
  while (size_t n = reader.read(out)) all.insert(all.end(), out.begin(), out.begin() + static_cast<ptrdiff_t>(n));
  EXPECT_NEAR(static_cast<double>(all.size()), 16000, 50);
  double peak = 0;
  for (size_t i = 1000; i < 15000; ++i) peak = std::max(peak, std::abs(all[i] / 32768.0));
  EXPECT_NEAR(peak, 0.25, 0.03);  // the average of the two channels
}
