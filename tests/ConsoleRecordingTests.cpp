// `quillet record` on the test bed's sound server, whose default source, the "microphone", is the sink's monitor.
#include <gtest/gtest.h>
#include <signal.h>

#include "PulseSupport.hpp"
#include "QuilletKit/Store.hpp"
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

  // Started, and its folder made (the first line of its output).
  Running recording() {
    Running tool = start({"record", "--title", "Leitura"}, inherited({"PULSE_SERVER"}));
    EXPECT_TRUE(tool.waitForOutput("\n", seconds(240))) << tool.seen.err;
    return tool;
  }
  // Records the clips until the other side's words are out and nothing more came for two seconds, then `signal`.
  Outcome record(const std::vector<Clip>& clips, int signal) {
    Running tool = recording();
    for (const Clip& clip : clips) EXPECT_TRUE(play(clip.wav, "quillet_a"));
    EXPECT_TRUE(tool.waitForOutput("] Others: ", seconds(240))) << tool.seen.out << tool.seen.err;
    for (size_t before = 0; before != tool.seen.out.size();) {
      before = tool.seen.out.size();
      tool.waitFor([&](const Outcome& o) { return o.out.size() != before; }, seconds(2));
    }
    tool.signal(signal);
    return tool.end();
  }
  std::optional<Meeting> recorded(const Outcome& o) { return Store{store()}.load(o.out.substr(0, o.out.find('\n'))); }
  static std::string printed(const Meeting& meeting) {
    std::string lines = meeting.folder.string() + "\n";
    for (const Segment& s : meeting.segments) lines += Transcript::plain({s}) + "\n";
    return lines;
  }
};

}  // namespace

TEST_F(RecordCommand, TranscribesTheCallIntoAMeetingThatEnhanceReads) {
  REQUIRE_SOUND_SERVER();
  // The whole reading, 71 words, so that no single word decides the bound.
  const std::vector<Clip> clips = libriVoxClips();
  Outcome o = record(clips, SIGINT);
  ASSERT_EQ(o.status, 0) << o.err;
  auto meeting = recorded(o);
  ASSERT_TRUE(meeting.has_value());
  EXPECT_TRUE(meeting->meta.end.has_value());
  EXPECT_EQ(meeting->meta.title, "Leitura");
  EXPECT_EQ(o.out, printed(*meeting)) << "every settled line printed as it went to disk";

  // The engine's words move with where its 10 ms frames fall, anywhere live: a file's worse alignment is the bound.
  std::string them, reference, fromFile, fromLaterFile;
  const fs::path later = dir.path() / "later.wav";
  for (const Clip& clip : clips) {
    reference += clip.reference + " ";
    fromFile += quillet({"transcribe", clip.wav.string(), "--lang", "en-US"}).out + " ";
    Sound delayed = silence(0.005);
    append(delayed, readSound(clip.wav));
    writeSound(later, delayed, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    fromLaterFile += quillet({"transcribe", later.string(), "--lang", "en-US"}).out + " ";
  }
  for (const Segment& s : meeting->segments)
    if (s.speaker == Speaker::them) them += s.text + " ";
  EXPECT_LE(wordErrorRate(reference, them),
            std::max(wordErrorRate(reference, fromFile), wordErrorRate(reference, fromLaterFile)) + 5)
      << o.out;

  // The preferences leave autoEnhance on: without a key the notes fail, which is said and changes nothing.
  EXPECT_NE(o.err.find("erro: "), std::string::npos) << o.err;
  EXPECT_FALSE(fs::exists(meeting->folder / "notas-ia.md"));

  ASSERT_TRUE(std::ranges::any_of(meeting->segments, [](const Segment& s) { return s.speaker == Speaker::me; }))
      << "the monitor is the microphone too";
  Outcome prompt = quillet({"enhance", meeting->folder.string(), "--prompt"});
  EXPECT_NE(prompt.out.find("] Others: "), std::string::npos) << prompt.out;
  EXPECT_EQ(prompt.out.find("] Me: "), std::string::npos) << "the microphone's copy is an echo: " << prompt.out;
}

// The one check that settled lines reach the disk before the screen; a second interrupt ends it at once.
TEST_F(RecordCommand, KilledOrInterruptedTwiceItKeepsWhatItHad) {
  REQUIRE_SOUND_SERVER();
  Outcome o = record({libriVoxClips()[1]}, SIGKILL);
  EXPECT_EQ(o.status, 128 + SIGKILL);
  auto meeting = recorded(o);
  ASSERT_TRUE(meeting.has_value());
  EXPECT_EQ(printed(*meeting), o.out);
  Running tool = recording();
  ASSERT_TRUE(play(libriVoxClips()[2].wav, "quillet_a"));
  tool.signal(SIGINT);
  tool.waitFor([](const Outcome&) { return false; }, std::chrono::milliseconds(200));
  tool.signal(SIGINT);
  o = tool.end();
  EXPECT_EQ(o.status, 128 + SIGINT) << o.err;
  EXPECT_TRUE(recorded(o).has_value());
}

TEST_F(RecordCommand, WithNothingToRecordItFailsAndLeavesNoFolder) {
  Outcome o = quillet({"record"}, {{"PULSE_SERVER", "unix:" + (dir.path() / "no-server").string()}});
  EXPECT_EQ(o.status, 1);
  EXPECT_TRUE(o.err.starts_with("erro: Nenhum microfone disponível. Erro do Core Audio")) << o.err;
  EXPECT_FALSE(fs::exists(store()) && !fs::is_empty(store()));
}
