#pragma once
// One recording of a meeting, from capture to the store: the microphone
// (speaker "eu", through MicHub) and the system audio (speaker "outros",
// through a SystemAudioTap) each feed a LiveTranscriber of their own, and
// every final segment is appended to the meeting's transcript the moment it
// settles.
//
// start() starts capture first and makes the meeting folder (Store::create)
// only once at least one source runs. A source that cannot start is left out
// and named in missing() with its reason; when neither starts, start()
// throws RecorderError with the reasons and leaves no folder behind.
// What is on disk is a valid meeting at every moment: "meta.json" from the
// start, one transcript line per settled segment; stop() adds the `end` and
// "transcricao.md".
//
// Threads: levels arrive on the capture threads, volatile text and segments
// on the transcribers' threads. Each handler is never called concurrently
// with itself, and onSegment calls of both sources are serialised in the
// order of the transcript file. stop() and cancel() may be called from any
// thread but not from a handler; after either returns, no handler runs.
// Handlers must not throw.
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "QuilletKit/CalendarWatcher.hpp"
#include "QuilletKit/Meeting.hpp"
#include "QuilletKit/Preferences.hpp"
#include "QuilletKit/Store.hpp"

namespace quillet {

class MicHub;
class SoundServer;
class SpeechAssets;

// Neither source could start; what() holds the reasons.
class RecorderError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct RecordingEvents {
  // The meeting once its folder exists, before any segment.
  std::function<void(const Meeting&)> onStart;
  // A segment that is on disk (or that could not be written; see onProblem).
  std::function<void(const Segment&)> onSegment;
  // The recogniser's current guess for one side; empty clears it.
  std::function<void(Speaker, const std::string&)> onVolatile;
  // Loudness of each captured block, 0 to 1.
  std::function<void(Speaker, float)> onLevel;
  // A segment that could not be appended, as "erro: " and the reason.
  std::function<void(const std::string&)> onProblem;
};

struct MissingSource {
  Speaker speaker;
  std::string reason;
};

class Recorder {
 public:
  // Captures with MicHub::shared(), a tap on the PulseAudio server and the
  // recognisers of SpeechAssets::shared().
  static std::unique_ptr<Recorder> start(const Store& store, const MeetingMeta& meta, RecordingEvents events);
  // The same with a hub and tap of its own on `server`, recognised with `speech`.
  static std::unique_ptr<Recorder> start(const Store& store, const MeetingMeta& meta, RecordingEvents events,
                                         std::shared_ptr<SoundServer> server, SpeechAssets& speech);

  // Cancels, keeping what is on disk.
  ~Recorder();
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;

  // The meeting as created: its folder and meta (no `end`).
  const Meeting& meeting() const;
  // The sources that did not start, with the reason of each.
  const std::vector<MissingSource>& missing() const;

  // Ends capture, lets both transcribers settle what they heard (for at most
  // kFinishLimit, then cancels them), writes the `end` and "transcricao.md"
  // from the segments on disk, and returns the meeting as on disk. Throws
  // the store's errors; a second call returns the same meeting.
  Meeting stop();
  // Ends capture and recognition at once; the folder stays as it is on disk.
  void cancel();

  // The meta of a meeting starting `now`: the title given, else the current
  // calendar event's (with its attendees and id), else "Reunião".
  static MeetingMeta meetingMeta(const std::optional<std::string>& title, const MeetingLanguage& language,
                                 const std::optional<CalendarEvent>& current, Date now);
  // The calendar's event at `now`, read once from the calendars that the
  // preferences select; absent when the calendar is off or unreadable.
  static std::optional<CalendarEvent> currentEvent(const Preferences& prefs, Date now);

  // Writes the notes of the meeting in `folder` with the note writer, as
  // `enhance` does, to "notas-ia.md" with `enhancedWith`. Returns the label of
  // the model, or absent for a meeting without transcript and notes (nothing
  // to write about); throws its errors, leaving the folder as it was. Notes
  // typed while the model ran stay.
  static std::optional<std::string> writeNotes(const Store& store, const std::filesystem::path& folder, const Preferences& prefs);

  // The line a terminal shows while recording: elapsed time, a meter per
  // side and the newest volatile text, cut to `width` characters.
  static std::string statusLine(double elapsedSeconds, float levelMe, float levelThem,
                                const std::string& volatileText, size_t width);

  struct State;

 private:
  Recorder() = default;
  static std::unique_ptr<Recorder> begin(const Store& store, const MeetingMeta& meta, RecordingEvents events,
                                         MicHub& mic, std::shared_ptr<SoundServer> server, SpeechAssets& speech,
                                         std::unique_ptr<MicHub> ownHub);
  void endCapture();

  std::unique_ptr<MicHub> ownHub_;  // only with a server of its own
  std::shared_ptr<State> state_;
  std::optional<Meeting> stopped_;
};

}  // namespace quillet
