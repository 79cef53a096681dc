// The recorder on scripted capture and recognition: what reaches the
// transcript file and the client while both sides, one side or no side can
// be heard; then the meeting of now, the terminal's status line and the notes
// written after a recording (their failure: in the tool's own tests).
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

#include "ClientTestSupport.hpp"
#include "QuilletKit/Recorder.hpp"
#include "QuilletKit/SpeechAssets.hpp"
#include "QuilletKit/Transcript.hpp"
#include "ScriptedSoundServer.hpp"
#include "TestSupport.hpp"

using namespace quillet;
using namespace quillet::test;
namespace fs = std::filesystem;

namespace {

// The microphone's stream and the tap's each on a scripted server of their
// own, so that a test speaks on one side at a time.
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

// Settles one word per second of audio heard, "alto" for loud samples and
// "baixo" for quiet ones, and what is left of a second when finished.
struct WordPerSecond : SpeechBackend {
  bool supported = true;
  bool isAvailable() override { return true; }
  std::optional<std::string> supportedLocale(const std::string& id) override {
    return supported ? std::optional(id) : std::nullopt;
  }
  std::vector<std::string> installedLocales() override { return {"en-US", "pt-BR"}; }
  std::unique_ptr<AssetInstallation> installationRequest(const std::string&) override { return nullptr; }
  std::unique_ptr<SpeechRecognizer> recognizer(const std::string&, SpeechPreset, SpeechResultHandler on) override {
    return std::make_unique<Recognizer>(std::move(on));
  }

  struct Recognizer : SpeechRecognizer {
    explicit Recognizer(SpeechResultHandler h) : onResult(std::move(h)) {}
    int sampleRate() const override { return 16000; }
    void feed(std::span<const int16_t> samples) override {
      for (int16_t s : samples) {
        loud = std::abs(s) > 12000;
        if (++heard % 16000 == 0) settle();
      }
    }
    void finish() override {
      if (heard % 16000) settle();
    }
    void settle() {
      double end = heard / 16000.0;
      onResult({loud ? "alto" : "baixo", std::floor(end - 0.001), end, true});
    }
    SpeechResultHandler onResult;
    size_t heard = 0;
    bool loud = false;
  };
};

struct RecorderTest : ::testing::Test {
  RecordingEvents events() {
    RecordingEvents e;
    e.onStart = [this](const Meeting& m) { note("aberta"), started = m.folder; };
    e.onSegment = [this](const Segment& s) {
      std::lock_guard lock(mutex);
      segments.push_back(s);
      seen.push_back(std::string(rawValue(s.speaker)) + ":" + s.text);
      changed.notify_all();
    };
    return e;
  }
  void note(const std::string& what) {
    std::lock_guard lock(mutex);
    seen.push_back(what);
  }
  std::unique_ptr<Recorder> start(const MeetingMeta& m = meta("Conversa")) {
    return Recorder::start(store, m, events(), server, speech);
  }
  // Seconds of a constant level on one side, in chunks of a tenth of a second.
  static bool speak(ScriptedSoundServer& side, float level, int tenths) {
    std::vector<float> chunk(4800 * side.format.channelCount, level);
    return side.deliver(chunk, tenths);
  }
  void waitForSegments(size_t count) {
    std::unique_lock lock(mutex);
    changed.wait_for(lock, std::chrono::seconds(30), [&] { return segments.size() >= count; });
  }
  std::vector<fs::path> folders() const {
    std::vector<fs::path> found;
    if (fs::exists(store.root))
      for (const auto& entry : fs::directory_iterator(store.root)) found.push_back(entry.path());
    return found;
  }

  std::shared_ptr<TwoSides> server = std::make_shared<TwoSides>();
  std::shared_ptr<WordPerSecond> decoder = std::make_shared<WordPerSecond>();
  SpeechAssets speech{decoder};
  TempDir dir;
  Store store{dir.path() / "store"};
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::string> seen;
  std::vector<Segment> segments;
  fs::path started;
};

}  // namespace

TEST_F(RecorderTest, EachSideIsOnDiskAsItSettlesAndStopWritesTheEnd) {
  auto recorder = start();
  EXPECT_TRUE(recorder->missing().empty());
  ASSERT_EQ(folders(), std::vector<fs::path>{recorder->meeting().folder});
  // Whole seconds settle as they are heard; the rest of each side when stopped.
  ASSERT_TRUE(speak(server->mic, 0.5f, 25));
  waitForSegments(2);
  ASSERT_TRUE(speak(server->tap, 0.25f, 15));
  waitForSegments(3);
  EXPECT_EQ(store.segments(started), segments) << "on disk before the client hears of it";

  Meeting meeting = recorder->stop();
  ASSERT_EQ(seen.size(), 6u);
  EXPECT_EQ(seen[0], "aberta");
  EXPECT_EQ(std::count(seen.begin(), seen.end(), "eu:alto"), 3);
  EXPECT_EQ(std::count(seen.begin(), seen.end(), "outros:baixo"), 2);
  EXPECT_EQ(meeting.segments, segments);
  EXPECT_EQ(meeting.segments, store.segments(started));
  ASSERT_TRUE(meeting.meta.end.has_value());
  EXPECT_GE(*meeting.meta.end, meeting.meta.start);
  EXPECT_EQ(store.load(started)->meta, meeting.meta);
  EXPECT_EQ(readFile(started / "transcricao.md"), Transcript::markdown(segments, "Conversa"));
  EXPECT_FALSE(speak(server->mic, 0.5f, 10)) << "capture ended";
  EXPECT_EQ(recorder->stop(), meeting);
}

TEST_F(RecorderTest, CancelledItKeepsWhatIsOnDiskAsAMeeting) {
  auto recorder = start();
  ASSERT_TRUE(speak(server->tap, 0.25f, 15));
  waitForSegments(1);
  recorder->cancel();
  recorder.reset();
  auto meeting = store.load(started);
  ASSERT_TRUE(meeting.has_value());
  ASSERT_EQ(segments.size(), 1u) << "the half second not settled is dropped";
  EXPECT_EQ(meeting->segments, segments);
  EXPECT_FALSE(meeting->meta.end.has_value());
  EXPECT_FALSE(fs::exists(started / "transcricao.md"));
}

TEST_F(RecorderTest, GoesOnWithOneSideAndLeavesNoFolderWithoutEither) {
  const SoundServerError gone(SoundServerError::Kind::noDevice, 0, "no device");
  struct Case {
    bool micRefuses, tapRefuses, unsupported;
    std::vector<std::string> missing;  // "<speaker>: <reason>"
    std::string error;                 // when nothing can record
  };
  const Case cases[] = {
      {true, false, false, {"eu: Nenhum microfone disponível."}, ""},
      {false, true, false, {"outros: Nenhuma saída de áudio encontrada."}, ""},
      {true, true, false, {}, "Nenhum microfone disponível. Nenhuma saída de áudio encontrada."},
      {false, false, true, {}, SpeechError::unsupportedLocale("pt-BR").what()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.error.empty() ? c.missing[0] : c.error);
    server = std::make_shared<TwoSides>();
    if (c.micRefuses) server->mic.refusal = gone;
    if (c.tapRefuses) server->tap.refusal = gone;
    decoder->supported = !c.unsupported;
    fs::remove_all(store.root);
    if (!c.error.empty()) {
      try {
        start();
        ADD_FAILURE() << "started";
      } catch (const RecorderError& error) {
        EXPECT_EQ(error.what(), c.error);
      }
      EXPECT_TRUE(folders().empty());
      continue;
    }
    auto recorder = start();
    std::vector<std::string> missing;
    for (const MissingSource& m : recorder->missing()) missing.push_back(std::string(rawValue(m.speaker)) + ": " + m.reason);
    EXPECT_EQ(missing, c.missing);
    EXPECT_EQ(folders().size(), 1u);
    EXPECT_TRUE(recorder->stop().meta.end.has_value());
  }
}

TEST(RecorderMeta, TitleFromTheOptionElseTheCalendarElseReuniao) {
  const Date now = *parseISO8601("2025-03-01T14:05:00Z");
  CalendarEvent event{"abc@1740837600", "Planejamento", now, now + std::chrono::hours(1), {"Ana", "bruno@x.com"}, std::nullopt, ""};
  struct Case {
    std::optional<std::string> title;
    std::optional<CalendarEvent> current;
    std::string expectTitle;
    std::vector<std::string> attendees;
    std::optional<std::string> eventID;
  };
  const Case cases[] = {
      {"Conversa", event, "Conversa", {}, std::nullopt},
      {std::nullopt, event, "Planejamento", {"Ana", "bruno@x.com"}, "abc@1740837600"},
      {std::nullopt, std::nullopt, "Reunião", {}, std::nullopt},
  };
  for (const Case& c : cases) {
    MeetingMeta m = Recorder::meetingMeta(c.title, MeetingLanguage::en(), c.current, now);
    EXPECT_EQ(m.title, c.expectTitle);
    EXPECT_EQ(m.attendees, c.attendees);
    EXPECT_EQ(m.calendarEventID, c.eventID);
    EXPECT_EQ(m.start, now);
    EXPECT_EQ(m.language, MeetingLanguage::en());
    EXPECT_FALSE(m.end || m.app || m.enhancedWith);
  }
}

TEST(RecorderStatusLine, ElapsedMetersAndTheNewestWordsWithinTheWidth) {
  struct Case {
    double elapsed;
    float me, them;
    std::string guess;
    size_t width;
    std::string expected;
  };
  const Case cases[] = {
      {75.4, 0.5f, 1.2f, "bom dia", 80, "01:15  Eu ▰▰▰▰▱▱▱▱  Outros ▰▰▰▰▰▰▰▰  bom dia"},
      {3600, 0, 0, "", 80, "1:00:00  Eu ▱▱▱▱▱▱▱▱  Outros ▱▱▱▱▱▱▱▱"},
      {5, 0, 0.125f, "começamos pela revisão", 45, "00:05  Eu ▱▱▱▱▱▱▱▱  Outros ▰▱▱▱▱▱▱▱  …revisão"},
      {5, 0, 0, "palavras", 12, "00:05  Eu ▱▱"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(Recorder::statusLine(c.elapsed, c.me, c.them, c.guess, c.width), c.expected);
}

TEST(RecorderNotes, WrittenWithTheLabelOfTheirModelUnlessThereIsNothingToWriteAbout) {
  TempDir dir;
  Store store{dir.path()};
  Meeting empty = store.create(meta("Silêncio"));
  Meeting spoken = store.create(meta("Conversa"));
  spoken.segments = {segment(Speaker::them, 0, 2, "We ship on Friday.")};
  store.saveTranscript(spoken);
  LoopbackServer server = answering(
      200, eventStream({{{"choices", {{{"delta", {{"content", "## Decisões\n- Sexta"}}}, {"finish_reason", "stop"}}}}}},
                       true));
  Preferences prefs;
  prefs.providers = {ProviderConfig{"local", "Local", ProviderKind::openAI, server.url() + "/v1", "m1", false, std::nullopt}};
  prefs.providerID = "local";

  EXPECT_EQ(Recorder::writeNotes(store, empty.folder, prefs), std::nullopt);
  EXPECT_TRUE(server.requests().empty());
  auto label = Recorder::writeNotes(store, spoken.folder, prefs);
  ASSERT_TRUE(label.has_value());
  auto written = store.load(spoken.folder);
  EXPECT_EQ(written->enhanced, "## Decisões\n- Sexta");
  EXPECT_EQ(written->meta.enhancedWith, *label);
  EXPECT_EQ(written->segments, spoken.segments);
}
