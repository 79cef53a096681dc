#pragma once
// `quillet agent`: what the desktop application would do on its own, for a
// person at a Linux desktop, as one foreground process on the GLib main loop.
// It follows the preferences and applies them again whenever their file
// changes:
// - detectionEnabled: a meeting application that starts using the
//   microphone starts a recording (as `quillet record` makes one, with `app`
//   set to the application's name); autoStopMinutes after it stops, the
//   recording stops, unless an application comes back before then, which
//   continues the same recording.
// - calendarEnabled and notifyBeforeMeeting: a desktop notification a minute
//   before each meeting of the calendars in calendarIDs.
// - dictationEnabled: dictationShortcut held down records the microphone in
//   dictationLanguage; released, the text is typed into the window in front.
// SIGINT or SIGTERM stops a recording in progress as `record` stops one and
// ends the agent. Standard error gets one line per recording started or
// stopped, and errors.
#include "QuilletKit/Preferences.hpp"

namespace quillet {

struct Agent {
  Agent() = delete;

  // Runs the GLib default main context on the calling thread (the main
  // thread) until a signal; the exit status.
  static int run(const Preferences& prefs);
};

}  // namespace quillet
