// `quillet agent` with the test bed's servers and a notification service of its own (services/fake-notifications.py).
#include <gtest/gtest.h>
#include <signal.h>

#include "AudioSupport.hpp"
#include "DisplaySupport.hpp"
#include "PulseSupport.hpp"
#include "QuilletKit/Store.hpp"
#include "TestSupport.hpp"

using namespace quillet;
using namespace quillet::test;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

class AgentCommand : public ToolTest {
 protected:
  // Everything off but what a test turns on.
  void settings(const std::string& extra) {
    preferences(R"({"storagePath": ")" + store().string() +
                R"(", "language": "en-US", "dictationLanguage": "en-US", "autoEnhance": false,
                    "detectionEnabled": false, "calendarEnabled": false, "dictationEnabled": false)" +
                extra + "}");
  }
  fs::path store() const { return dir.path() / "store"; }
  Running agent() {
    auto env = inherited({"PULSE_SERVER", "DISPLAY", "DBUS_SESSION_BUS_ADDRESS"});
    env["TZ"] = "UTC";  // the reminder's time
    return start({"agent"}, env);
  }
  static void stop(Running& tool) {
    tool.signal(SIGTERM);
    EXPECT_EQ(tool.end().status, 0) << tool.seen.err;
  }
};

}  // namespace

TEST_F(AgentCommand, RecordsACallWhileItsClientUsesTheMicrophone) {
  REQUIRE_SOUND_SERVER();
  settings(R"(, "autoStopMinutes": 0)");
  Running tool = agent();
  Child call = spawnChild("/usr/bin/parecord",
                          {"--property=application.id=us.zoom.xos", (dir.path() / "call.wav").string()},
                          inherited({"PULSE_SERVER"}));
  // Detection is turned on while the agent runs: it follows the file.
  settings(R"(, "autoStopMinutes": 0, "detectionEnabled": true)");
  ASSERT_TRUE(tool.waitFor([](const Outcome& o) { return o.err.find(" (Zoom)\n") != std::string::npos; }, 240s))
      << tool.seen.err;
  const std::string& err = tool.seen.err;  // "gravação iniciada: <folder> (Zoom)"
  const fs::path folder = err.substr(err.find(": ") + 2, err.find(" (Zoom)") - err.find(": ") - 2);

  ASSERT_TRUE(play(libriVoxClips()[1].wav, "quillet_a"));
  auto heard = [&](const Outcome&) {
    auto segments = Store{store()}.segments(folder);
    return std::ranges::any_of(segments, [](const Segment& s) { return s.speaker == Speaker::them; });
  };
  ASSERT_TRUE(tool.waitFor(heard, 240s));
  kill(call.pid, SIGTERM);
  finish(call);
  const std::string ended = "gravação encerrada: " + folder.string() + "\n";
  ASSERT_TRUE(tool.waitFor([&](const Outcome& o) { return o.err.ends_with(ended); }, 240s)) << tool.seen.err;
  stop(tool);

  EXPECT_EQ(tool.seen.err, "gravação iniciada: " + folder.string() + " (Zoom)\n" + ended);
  auto meeting = Store{store()}.load(folder);
  ASSERT_TRUE(meeting.has_value());
  EXPECT_EQ(meeting->meta.app, "Zoom");
  EXPECT_EQ(meeting->meta.title, "Reunião");
  EXPECT_TRUE(meeting->meta.end.has_value());
}

TEST_F(AgentCommand, TypesWhatIsSaidWhileTheDictationShortcutIsHeld) {
  REQUIRE_SOUND_SERVER();
  if (!haveDisplay()) GTEST_SKIP() << "no X display of the tests";
  settings(R"(, "dictationEnabled": true)");
  Running tool = agent();
  PasteTarget target;
  target.show();
  // Pressed until the agent holds the shortcut.
  ASSERT_TRUE(tool.waitFor([&](const Outcome&) { return target.holdIfGrabbedElsewhere(XK_Control_L, XK_r); }, 60s))
      << tool.seen.err;
  const Clip clip = libriVoxClips()[1];
  // Words said before the agent's microphone is open are nobody's to hear.
  ASSERT_TRUE(tool.waitFor([](const Outcome&) { return !pactl({"list", "short", "source-outputs"}).empty(); }, 60s))
      << tool.seen.err;
  ASSERT_TRUE(play(clip.wav, "quillet_a"));
  target.key(XK_r, false);
  target.key(XK_Control_L, false);
  auto pasted = [&](const Outcome&) {
    target.pump();
    return target.pasted.has_value();
  };
  ASSERT_TRUE(tool.waitFor(pasted, 240s)) << tool.seen.err;
  stop(tool);

  Outcome file = quillet({"transcribe", clip.wav.string(), "--lang", "en-US"});
  EXPECT_LE(wordErrorRate(clip.reference, *target.pasted), wordErrorRate(clip.reference, file.out) + 5)
      << *target.pasted;
  EXPECT_EQ(tool.seen.err, "");
}

TEST_F(AgentCommand, RemindsOfAMeetingAMinuteAheadThroughTheNotificationService) {
  if (!std::getenv("DBUS_SESSION_BUS_ADDRESS")) GTEST_SKIP() << "no session bus of the tests";
  Running notifications(spawnChild(QUILLET_SOURCE_DIR "/tests/services/fake-notifications.py", {},
                                   inherited({"DBUS_SESSION_BUS_ADDRESS", "PATH"})));
  ASSERT_TRUE(notifications.waitForOutput("ready\n", 10s)) << notifications.seen.err;
  // Seventy-five seconds ahead: the reminder is due a quarter of a minute after the agent has read the calendar.
  Date start = std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now()) + 75s;
  writeFile(dir.path() / "data" / "calendars" / "work" / "planejamento.ics",
            calendar(event("UID:plan-1\r\nSUMMARY:Planejamento\r\nDTSTART:" + icsTime(start) + "\r\nDTEND:" +
                           icsTime(start + 1h) + "\r\nLOCATION:https://meet.google.com/abc-defg-hij\r\n")));
  settings(R"(, "calendarEnabled": true, "notifyBeforeMeeting": true)");
  Running tool = agent();
  bool shown = notifications.waitForOutput("hij\n", 240s);
  // The service's answer reaches the agent too: its handling is part of the path.
  std::this_thread::sleep_for(1s);
  stop(tool);
  notifications.signal(SIGTERM);
  Outcome heard = notifications.end();
  ASSERT_TRUE(shown) << tool.seen.err << heard.err;
  EXPECT_EQ(heard.out, "ready\nPlanejamento\tComeça às " + formatISO8601(start).substr(11, 5) +
                           "\\nhttps://meet.google.com/abc-defg-hij\n");
}
