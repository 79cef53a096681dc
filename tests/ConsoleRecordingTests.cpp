// `quillet record` end to end on the private PulseAudio server: recorded
// speech played into the default sink, which the tool hears twice, through
// the system audio and, since the default source is that sink's monitor,
// through the "microphone".
#include <gtest/gtest.h>
#include <signal.h>

#include "AudioSupport.hpp"
#include "PulseSupport.hpp"
#include "QuilletKit/Store.hpp"
#include "QuilletKit/Text.hpp"
#include "QuilletKit/Transcript.hpp"
#include "TestSupport.hpp"

using namespace quillet;
using namespace quillet::test;
namespace fs = std::filesystem;
using std::chrono::seconds;

namespace {

class RecordCommand : public ToolTest {
 protected:
  void SetUp() override {
    preferences(R"({"storagePath": ")" + store().string() + R"(", "language": "en-US", "calendarEnabled": false})");
  }
  fs::path store() const { return dir.path() / "store"; }
  std::map<std::string, std::string> services() { return inherited({"PULSE_SERVER"}); }

  // Started, and its folder made: the first line of its output.
  Running recording(const std::vector<std::string>& options = {"--title", "Leitura"}) {
    std::vector<std::string> args = {"record"};
    args.insert(args.end(), options.begin(), options.end());
    Running tool = start(args, services());
    EXPECT_TRUE(tool.waitForOutput("\n", seconds(240))) << tool.seen.err;
    return tool;
  }
  static fs::path folderOf(const Outcome& o) { return o.out.substr(0, o.out.find('\n')); }
  // Plays the clip, then waits until the other side's words are out and
  // nothing more has come for two seconds.
  static void speak(Running& tool, const Clip& clip) {
    ASSERT_TRUE(play(clip.wav, "quillet_a"));
    ASSERT_TRUE(tool.waitForOutput("] Others: ", seconds(240))) << tool.seen.out << tool.seen.err;
    for (size_t before = 0; before != tool.seen.out.size();) {
      before = tool.seen.out.size();
      tool.waitFor([&](const Outcome& o) { return o.out.size() != before; }, seconds(2));
    }
  }
  static std::string spokenBy(const std::vector<Segment>& segments, Speaker speaker) {
    std::string text;
    for (const Segment& s : segments)
      if (s.speaker == speaker) text += (text.empty() ? "" : " ") + s.text;
    return text;
  }
};

}  // namespace

TEST_F(RecordCommand, TranscribesTheCallIntoAMeetingThatListAndEnhanceRead) {
  REQUIRE_SOUND_SERVER();
  const Clip clip = libriVoxClips()[0];
  Running tool = recording();
  speak(tool, clip);
  tool.signal(SIGINT);
  Outcome o = tool.end();
  ASSERT_EQ(o.status, 0) << o.err;

  fs::path folder = folderOf(o);
  EXPECT_EQ(folder.parent_path(), store());
  auto meeting = Store{store()}.load(folder);
  ASSERT_TRUE(meeting.has_value());
  EXPECT_TRUE(meeting->meta.end.has_value());
  EXPECT_EQ(meeting->meta.title, "Leitura");
  std::string printed;
  for (const Segment& s : meeting->segments) printed += Transcript::plain({s}) + "\n";
  EXPECT_EQ(o.out, folder.string() + "\n" + printed) << "every settled line printed as it went to disk";
  EXPECT_EQ(readFile(folder / "transcricao.md"), Transcript::markdown(meeting->segments, "Leitura"));

  Outcome file = quillet({"transcribe", clip.wav.string(), "--lang", "en-US"});
  double recorded = wordErrorRate(clip.reference, spokenBy(meeting->segments, Speaker::them));
  EXPECT_LE(recorded, wordErrorRate(clip.reference, text::trimSpacesAndNewlines(file.out)) + 5) << o.out;

  // The preferences leave autoEnhance on: without a key the notes fail,
  // which is said and changes nothing of the recording.
  EXPECT_NE(o.err.find("erro: "), std::string::npos) << o.err;
  EXPECT_FALSE(fs::exists(folder / "notas-ia.md"));

  Outcome list = quillet({"list"});
  EXPECT_NE(list.out.find("  Leitura  [" + std::to_string(meeting->segments.size()) + " trechos]"), std::string::npos)
      << list.out;
  ASSERT_FALSE(spokenBy(meeting->segments, Speaker::me).empty()) << "the monitor is the microphone too";
  Outcome prompt = quillet({"enhance", folder.string(), "--prompt"});
  EXPECT_NE(prompt.out.find("] Others: "), std::string::npos) << prompt.out;
  EXPECT_EQ(prompt.out.find("] Me: "), std::string::npos) << "the microphone's copy is an echo: " << prompt.out;
}

TEST_F(RecordCommand, KilledItLosesNoSettledSegment) {
  REQUIRE_SOUND_SERVER();
  Running tool = recording();
  speak(tool, libriVoxClips()[1]);
  tool.signal(SIGKILL);
  Outcome o = tool.end();
  EXPECT_EQ(o.status, 128 + SIGKILL);

  fs::path folder = folderOf(o);
  auto meeting = Store{store()}.load(folder);
  ASSERT_TRUE(meeting.has_value());
  EXPECT_FALSE(meeting->meta.end.has_value());
  std::string onDisk;
  for (const Segment& s : meeting->segments) onDisk += Transcript::plain({s}) + "\n";
  EXPECT_EQ(onDisk, o.out.substr(o.out.find('\n') + 1));
  EXPECT_NE(quillet({"list"}).out.find("  Leitura  ["), std::string::npos);
}

TEST_F(RecordCommand, ASecondInterruptEndsAtOnceKeepingTheFolder) {
  REQUIRE_SOUND_SERVER();
  Running tool = recording();
  ASSERT_TRUE(play(libriVoxClips()[2].wav, "quillet_a"));
  tool.signal(SIGINT);
  tool.waitFor([](const Outcome&) { return false; }, std::chrono::milliseconds(200));
  tool.signal(SIGINT);
  Outcome o = tool.end();
  EXPECT_EQ(o.status, 128 + SIGINT) << o.err;
  EXPECT_TRUE(Store{store()}.load(folderOf(o)).has_value());
}

TEST_F(RecordCommand, WithNothingToRecordItFailsAndLeavesNoFolder) {
  struct Case {
    std::map<std::string, std::string> env;
    std::string language, error;
  };
  const Case cases[] = {
      {{{"PULSE_SERVER", "unix:" + (dir.path() / "no-server").string()}},
       "en-US",
       "erro: Nenhum microfone disponível. Erro do Core Audio"},
      {services(), "pt-BR", "erro: "},
  };
  for (const Case& c : cases) {
    Outcome o = quillet({"record", "--lang", c.language}, c.env);
    EXPECT_EQ(o.status, 1);
    EXPECT_TRUE(o.err.starts_with(c.error)) << o.err;
    EXPECT_EQ(o.out, "");
    EXPECT_FALSE(fs::exists(store()) && !fs::is_empty(store()));
  }
}
