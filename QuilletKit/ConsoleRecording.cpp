#include "QuilletKit/ConsoleRecording.hpp"

#include <glib-unix.h>
#include <glib.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>

#include "QuilletKit/LiveTuning.hpp"
#include "QuilletKit/Localization.hpp"
#include "QuilletKit/Recorder.hpp"
#include "QuilletKit/Transcript.hpp"

namespace quillet {

namespace {

// The terminal's two streams, written from the transcribers' threads and the
// main thread alike; the status line is cleared before anything else shows.
class Console {
 public:
  explicit Console(bool showStatus) : showStatus_(showStatus) {}

  void line(const std::string& text) {
    std::lock_guard guard(lock_);
    clearLocked();
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
  }

  void note(const std::string& text) {
    std::lock_guard guard(lock_);
    clearLocked();
    std::fprintf(stderr, "%s\n", text.c_str());
  }

  void level(Speaker speaker, float value) { levels_[speaker == Speaker::me ? 0 : 1] = value; }

  void guess(Speaker speaker, const std::string& text) {
    std::lock_guard guard(lock_);
    int side = speaker == Speaker::me ? 0 : 1;
    guesses_[side] = text;
    if (!text.empty()) newest_ = side;
    else if (newest_ == side) newest_ = 1 - side;
  }

  void redraw(double elapsed) {
    std::lock_guard guard(lock_);
    if (!showStatus_) return;
    winsize size{};
    size_t width = ::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 ? size.ws_col : 80;
    // One column short of the edge, so the cursor never wraps to a new line.
    std::string status = Recorder::statusLine(elapsed, levels_[0], levels_[1], guesses_[newest_], width - 1);
    std::fprintf(stderr, "\r\033[K%s", status.c_str());
    std::fflush(stderr);
    shown_ = true;
  }

  void clear() {
    std::lock_guard guard(lock_);
    clearLocked();
  }

 private:
  void clearLocked() {
    if (!shown_) return;
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
    shown_ = false;
  }

  const bool showStatus_;
  std::atomic<float> levels_[2] = {0, 0};
  std::mutex lock_;
  std::string guesses_[2];
  int newest_ = 0;
  bool shown_ = false;
};

struct Waiting {
  GMainLoop* loop;
  Console* console;
  std::chrono::steady_clock::time_point began;
  guint sources[3] = {0, 0, 0};
};

gboolean stopSignal(gpointer data) {
  auto* waiting = static_cast<Waiting*>(data);
  // From here on a second signal ends the process by its default action.
  for (guint& source : waiting->sources) {
    if (source) g_source_remove(source);
    source = 0;
  }
  ::signal(SIGINT, SIG_DFL);
  ::signal(SIGTERM, SIG_DFL);
  g_main_loop_quit(waiting->loop);
  return G_SOURCE_REMOVE;
}

gboolean redraw(gpointer data) {
  auto* waiting = static_cast<Waiting*>(data);
  std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - waiting->began;
  waiting->console->redraw(elapsed.count());
  return G_SOURCE_CONTINUE;
}

}  // namespace

int ConsoleRecording::run(const Preferences& prefs, const Options& options) {
  // Signals are caught before anything starts: Ctrl-C during the start-up
  // stops the recording as soon as it runs.
  GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
  // A reader of the output that goes away must not end the recording: the
  // lines are on disk anyway.
  ::signal(SIGPIPE, SIG_IGN);
  Console console(::isatty(STDERR_FILENO));
  Waiting waiting{loop, &console, std::chrono::steady_clock::now()};
  waiting.sources[0] = g_unix_signal_add(SIGINT, stopSignal, &waiting);
  waiting.sources[1] = g_unix_signal_add(SIGTERM, stopSignal, &waiting);

  MeetingLanguage language = options.language ? MeetingLanguage{*options.language} : prefs.language;
  Date now = std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now());
  std::optional<CalendarEvent> current;
  if (!options.title) current = Recorder::currentEvent(prefs, now);
  MeetingMeta meta = Recorder::meetingMeta(options.title, language, current, now);

  RecordingEvents events;
  events.onStart = [&](const Meeting& meeting) { console.line(meeting.folder.string()); };
  events.onSegment = [&](const Segment& segment) { console.line(Transcript::plain({segment})); };
  events.onVolatile = [&](Speaker speaker, const std::string& text) { console.guess(speaker, text); };
  events.onLevel = [&](Speaker speaker, float value) { console.level(speaker, value); };
  events.onProblem = [&](const std::string& message) { console.note(message); };

  const Store store{prefs.storageRoot()};
  std::unique_ptr<Recorder> recorder;
  try {
    recorder = Recorder::start(store, meta, events);
  } catch (const std::exception& error) {
    console.note(tr("erro: ") + error.what());
    g_main_loop_unref(loop);
    return 1;
  }
  for (const MissingSource& source : recorder->missing())
    console.note(source.speaker == Speaker::me ? trFormat("gravando sem o microfone: %s", source.reason)
                                               : trFormat("gravando sem o áudio do sistema: %s", source.reason));

  waiting.began = std::chrono::steady_clock::now();
  waiting.sources[2] = g_timeout_add(static_cast<guint>(live::kStatusRefresh.count()), redraw, &waiting);
  g_main_loop_run(loop);
  g_main_loop_unref(loop);

  Meeting meeting;
  try {
    meeting = recorder->stop();
  } catch (const std::exception& error) {
    console.note(tr("erro: ") + error.what());
    return 1;
  }
  console.clear();
  if (prefs.autoEnhance) {
    try {
      if (auto label = Recorder::writeNotes(store, meeting.folder, prefs)) console.note("(" + *label + ")");
    } catch (const std::exception& error) {
      console.note(tr("erro: ") + error.what());
    }
  }
  return 0;
}

}  // namespace quillet
