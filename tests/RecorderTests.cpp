// The recorder on scripted capture and recognition, with both sides, one or none heard; the status line; the notes.
#include <gtest/gtest.h>

#include "ClientTestSupport.hpp"
#include "QuilletKit/Recorder.hpp"
#include "QuilletKit/SpeechAssets.hpp"
#include "QuilletKit/Transcript.hpp"
#include "ScriptedSoundServer.hpp"
#include "ScriptedSpeech.hpp"
#include "TestSupport.hpp"

using namespace quillet;
using namespace quillet::test;
namespace fs = std::filesystem;

namespace {

// The microphone's and the tap's streams each on a scripted server, so that a test speaks on one side at a time.
struct TwoSides : SoundServer {
  ScriptedSoundServer mic, tap;
  TwoSides() { tap.format = {48000, 1}; }
  std::unique_ptr<RecordStream> record(const RecordRequest& request, SerialQueue& queue,
                                       ChunkHandler onChunk) override {
    return (request.device == CaptureDevice::defaultSource ? mic : tap).record(request, queue, std::move(onChunk));
  }
  std::unique_ptr<DeviceWatch> watchDefaultSink(SerialQueue& queue, std::function<void()> onChange) override {
    return tap.watchDefaultSink(queue, std::move(onChange));
  }
};

struct RecorderTest : ::testing::Test {
  // Settles a word per second heard, "alto" when loud and "baixo" when quiet, and what is left when finished.
  RecorderTest() {
    engine->onFeed = [](const std::vector<int16_t>& fed, size_t before) {
      std::vector<SpeechResult> words;
      for (size_t end = (before / 16000 + 1) * 16000; end <= fed.size(); end += 16000)
        words.push_back(word(fed, end));
      return words;
    };
    engine->onFinish = [](const std::vector<int16_t>& fed, size_t) {
      return fed.size() % 16000 ? std::vector{word(fed, fed.size())} : std::vector<SpeechResult>{};
    };
  }
  // One word for the second of audio that ends at sample `end`.
  static SpeechResult word(const std::vector<int16_t>& fed, size_t end) {
    double seconds = end / 16000.0;
    return {std::abs(fed[end - 1]) > 12000 ? "alto" : "baixo", std::floor(seconds - 0.001), seconds, true};
  }
  std::unique_ptr<Recorder> start() {
    RecordingEvents e;
    e.onStart = [this](const Meeting& meeting) { started = meeting.folder; };
    e.onSegment = [this](const Segment& s) {
      EXPECT_FALSE(started.empty()) << "the client hears of the meeting first";
      said.add(std::string(rawValue(s.speaker)) + ":" + s.text, s);
    };
    return Recorder::start(store, meta("Conversa"), e, server, speech);
  }
  // Tenths of a second of a constant level on one side.
  static bool speak(ScriptedSoundServer& side, float level, int tenths) {
    return side.deliver(std::vector<float>(4800 * side.format.channelCount, level), tenths);
  }

  std::shared_ptr<TwoSides> server = std::make_shared<TwoSides>();
  std::shared_ptr<ScriptedSpeech> engine = std::make_shared<ScriptedSpeech>();
  SpeechAssets speech{engine};
  TempDir dir;
  Store store{dir.path() / "store"};
  Said said;
  fs::path started;
};

}  // namespace

TEST_F(RecorderTest, EachSideIsOnDiskAsItSettlesAndStopWritesTheEnd) {
  auto recorder = start();
  // Whole seconds settle as they are heard; the rest of each side when stopped.
  ASSERT_TRUE(speak(server->mic, 0.5f, 25));
  ASSERT_TRUE(speak(server->tap, 0.25f, 15));
  said.waitFor(3);
  EXPECT_EQ(store.segments(started), said.segments) << "on disk before the client hears of it";
  Meeting meeting = recorder->stop();
  std::sort(said.lines.begin(), said.lines.end());
  EXPECT_EQ(said.lines, (std::vector<std::string>{"eu:alto", "eu:alto", "eu:alto", "outros:baixo", "outros:baixo"}));
  EXPECT_EQ(*store.load(started), meeting);
  EXPECT_EQ(readFile(started / "transcricao.md"), Transcript::markdown(said.segments, "Conversa"));
  EXPECT_FALSE(speak(server->mic, 0.5f, 10)) << "capture ended";
  EXPECT_EQ(recorder->stop(), meeting);
}

TEST_F(RecorderTest, CancelledItKeepsWhatIsOnDiskAsAMeeting) {
  auto recorder = start();
  ASSERT_TRUE(speak(server->tap, 0.25f, 15));
  said.waitFor(1);
  recorder->cancel();
  recorder.reset();
  auto meeting = store.load(started);
  ASSERT_TRUE(meeting.has_value());
  EXPECT_EQ(said.lines, std::vector<std::string>{"outros:baixo"}) << "the half second not settled is dropped";
  EXPECT_EQ(meeting->segments, said.segments);
  EXPECT_FALSE(meeting->meta.end.has_value());
  EXPECT_FALSE(fs::exists(started / "transcricao.md"));
}

TEST_F(RecorderTest, GoesOnWithOneSideAndLeavesNoFolderWithoutEither) {
  const SoundServerError gone(SoundServerError::Kind::noDevice, 0, "no device");
  // Whether the mic, the tap and the language fail; "<speaker>: <reason>" of the missing side, or the error.
  const std::tuple<bool, bool, bool, std::string> cases[] = {
      {true, false, false, "eu: Nenhum microfone disponível."},
      {false, true, false, "outros: Nenhuma saída de áudio encontrada."},
      {true, true, false, "Nenhum microfone disponível. Nenhuma saída de áudio encontrada."},
      {false, false, true, SpeechError::unsupportedLocale("pt-BR").what()},
  };
  for (const auto& [micRefuses, tapRefuses, unsupported, outcome] : cases) {
    SCOPED_TRACE(outcome);
    server = std::make_shared<TwoSides>();
    if (micRefuses) server->mic.refusal = gone;
    if (tapRefuses) server->tap.refusal = gone;
    if (unsupported) engine->supported.clear();
    fs::remove_all(store.root);
    try {
      auto recorder = start();
      ASSERT_EQ(recorder->missing().size(), 1u);
      const MissingSource& m = recorder->missing()[0];
      EXPECT_EQ(std::string(rawValue(m.speaker)) + ": " + m.reason, outcome);
      EXPECT_TRUE(recorder->stop().meta.end.has_value());
      EXPECT_EQ(store.list().size(), 1u);
    } catch (const RecorderError& e) {
      EXPECT_EQ(e.what(), outcome);
      EXPECT_FALSE(fs::exists(store.root) && !fs::is_empty(store.root));
    }
  }
}

TEST(RecorderStatusLine, ElapsedMetersAndTheNewestWordsWithinTheWidth) {
  EXPECT_EQ(Recorder::statusLine(75.4, 0.5f, 1.2f, "bom dia", 80), "01:15  Eu ▰▰▰▰▱▱▱▱  Outros ▰▰▰▰▰▰▰▰  bom dia");
  EXPECT_EQ(Recorder::statusLine(3600, 0, 0, "", 80), "1:00:00  Eu ▱▱▱▱▱▱▱▱  Outros ▱▱▱▱▱▱▱▱");
  EXPECT_EQ(Recorder::statusLine(5, 0, 0.125f, "começamos pela revisão", 45),
            "00:05  Eu ▱▱▱▱▱▱▱▱  Outros ▰▱▱▱▱▱▱▱  …revisão");
  EXPECT_EQ(Recorder::statusLine(5, 0, 0, "palavras", 12), "00:05  Eu ▱▱");
}

TEST_F(RecorderTest, NotesAreWrittenWithTheLabelOfTheirModelUnlessThereIsNothingToWriteAbout) {
  Meeting empty = store.create(meta("Silêncio"));
  Meeting spoken = store.create(meta("Conversa"));
  spoken.segments = {segment(Speaker::them, 0, 2, "We ship on Friday.")};
  store.saveTranscript(spoken);
  LoopbackServer model([&](Connection& c) {
    writeFile(spoken.folder / "notas.md", "- digitado\n");  // the user types while the model writes
    c.sendHead(200);
    c.sendChunk(eventStream({{{"choices", {{{"delta", {{"content", "## Decisões"}}}, {"finish_reason", "stop"}}}}}}));
    c.endChunks();
  });
  Preferences prefs;
  prefs.providers = {ProviderConfig{"local", "Local", ProviderKind::openAI, model.url() + "/v1", "m1", false, {}}};
  prefs.providerID = "local";

  EXPECT_EQ(Recorder::writeNotes(store, empty.folder, prefs), std::nullopt);
  EXPECT_TRUE(model.requests().empty());
  auto label = Recorder::writeNotes(store, spoken.folder, prefs);
  auto written = store.load(spoken.folder);
  EXPECT_EQ(written->enhanced, "## Decisões");
  EXPECT_EQ(written->meta.enhancedWith, label);
  EXPECT_EQ(written->notes, "- digitado\n");
}
