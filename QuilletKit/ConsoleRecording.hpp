#pragma once
// A recording run from a terminal until Ctrl-C or SIGTERM: the meeting of
// now (the title given, the calendar's current event, or "Reunião"), one
// Recorder, and what the person at the terminal sees of it.
//
// Standard output: the meeting folder's path, then one plain transcript line
// per settled segment, each flushed. Standard error: a source that is
// missing and why, errors as "erro: " and the reason, the label of the model
// that wrote the notes, and, only when it is a terminal, one status line
// updated in place.
//
// The first SIGINT or SIGTERM stops the recording (the transcribers settle,
// then the `end` and "transcricao.md" are written, then the notes when the
// preferences say `autoEnhance`); from then on both signals have their
// default action, so a second one ends the process at once by that signal,
// leaving the folder as it is on disk. SIGPIPE is ignored: output that no
// one reads any more does not end the recording.
//
// Runs the GLib default main context on the calling thread, which must be
// the main thread with nothing else running that context.
#include <optional>
#include <string>

#include "QuilletKit/Preferences.hpp"

namespace quillet {

struct ConsoleRecording {
  ConsoleRecording() = delete;

  struct Options {
    std::optional<std::string> title;
    std::optional<std::string> language;  // a MeetingLanguage raw value
  };

  // The exit status: 0 once the recording is stopped and written (a failure
  // of the notes is reported but leaves it 0), 1 when nothing could be
  // recorded or the recording could not be written.
  static int run(const Preferences& prefs, const Options& options);
};

}  // namespace quillet
