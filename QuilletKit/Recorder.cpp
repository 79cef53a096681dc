#include "QuilletKit/Recorder.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "QuilletKit/LiveTranscriber.hpp"
#include "QuilletKit/LiveTuning.hpp"
#include "QuilletKit/Localization.hpp"
#include "QuilletKit/MicHub.hpp"
#include "QuilletKit/NoteWriter.hpp"
#include "QuilletKit/SpeechAssets.hpp"
#include "QuilletKit/SystemAudioTap.hpp"
#include "QuilletKit/Text.hpp"

namespace quillet {

namespace {

using SteadyClock = std::chrono::steady_clock;

// Where a source's timeline begins on the meeting's: the recogniser counts
// seconds from the first sample it was fed, which reaches it a little after
// the recording began (and the two sources never quite together). Echo
// removal compares the two sides by time, so both are put on one timeline.
struct SideClock {
  explicit SideClock(SteadyClock::time_point began) : began(began) {}

  void heard(const AudioBuffer& buffer) {
    if (offset.load(std::memory_order_relaxed) >= 0 || buffer.frameLength() == 0 || !buffer.hasFloatData()) return;
    std::chrono::duration<double> since = SteadyClock::now() - began;
    double duration = buffer.frameLength() / buffer.sampleRate();
    double expected = -1;
    offset.compare_exchange_strong(expected, std::max(0.0, since.count() - duration));
  }

  Segment placed(Segment segment) const {
    double shift = std::max(0.0, offset.load());
    segment.start += shift;
    segment.end += shift;
    return segment;
  }

  const SteadyClock::time_point began;
  std::atomic<double> offset{-1};
};

int sideIndex(Speaker speaker) { return speaker == Speaker::me ? 0 : 1; }

}  // namespace

struct Recorder::State {
  State(Store store, RecordingEvents events) : store(std::move(store)), events(std::move(events)) {}

  // ---- Starting ----

  // Loading a recogniser's model is most of the start-up; both load at once.
  void startRecognition(const MeetingLanguage& language, SpeechAssets& speech) {
    std::exception_ptr themFailed;
    std::thread loading([&] {
      try {
        transcribers[1] = transcriber(Speaker::them, language, speech);
      } catch (...) {
        themFailed = std::current_exception();
      }
    });
    try {
      transcribers[0] = transcriber(Speaker::me, language, speech);
    } catch (const std::exception& error) {
      leaveOut(Speaker::me, error);
    }
    loading.join();
    if (!themFailed) return;
    try {
      std::rethrow_exception(themFailed);
    } catch (const std::exception& error) {
      leaveOut(Speaker::them, error);
    }
  }

  std::shared_ptr<LiveTranscriber> transcriber(Speaker speaker, const MeetingLanguage& language,
                                               SpeechAssets& speech) {
    auto onVolatile = [this, speaker](const std::string& text) {
      if (live && events.onVolatile) events.onVolatile(speaker, text);
    };
    auto onFinal = [this, clock = clocks[sideIndex(speaker)]](const Segment& segment) {
      settle(clock->placed(segment));
    };
    return LiveTranscriber::start(language, speaker, onVolatile, onFinal, speech);
  }

  void startMicrophone(MicHub& hub) {
    auto me = transcribers[0];
    if (!me) return;
    try {
      mic = &hub;
      micSubscription = hub.subscribe(
          [me, clock = clocks[0]](const AudioBuffer& buffer) {
            clock->heard(buffer);
            me->feed(buffer);
          },
          level(Speaker::me));
    } catch (const std::exception& error) {
      leaveOut(Speaker::me, error);
    }
  }

  void startSystemAudio(const std::shared_ptr<SoundServer>& server) {
    auto them = transcribers[1];
    if (!them) return;
    auto onBuffer = [them, clock = clocks[1]](const AudioBuffer& buffer) {
      clock->heard(buffer);
      them->feed(buffer);
    };
    tap = server ? std::make_unique<SystemAudioTap>(server, onBuffer, level(Speaker::them))
                 : std::make_unique<SystemAudioTap>(onBuffer, level(Speaker::them));
    try {
      tap->start();
    } catch (const std::exception& error) {
      tap.reset();
      leaveOut(Speaker::them, error);
    }
  }

  // Levels may come from a capture thread after the recorder is gone.
  std::function<void(float)> level(Speaker speaker) {
    return [weak = self, speaker](float value) {
      auto state = weak.lock();
      if (state && state->live && state->events.onLevel) state->events.onLevel(speaker, value);
    };
  }

  void leaveOut(Speaker speaker, const std::exception& error) {
    transcribers[sideIndex(speaker)].reset();
    missing.push_back({speaker, error.what()});
  }

  bool running() const { return transcribers[0] || transcribers[1]; }

  // Each reason once: both sides often fail for the same one (no model).
  std::string reasons() const {
    std::string all;
    for (const MissingSource& source : missing)
      if (all.find(source.reason) == std::string::npos) all += (all.empty() ? "" : " ") + source.reason;
    return all;
  }

  // ---- Ending ----

  // Both settle at once; one that has not settled in time is cut off, keeping
  // what it had delivered.
  void finishRecognition() {
    struct Finishing {
      std::mutex lock;
      std::condition_variable done;
      int left = 0;
    };
    auto finishing = std::make_shared<Finishing>();
    // Counted before any thread starts: a quick first side would otherwise
    // count down while the count still goes up.
    for (auto& transcriber : transcribers) finishing->left += transcriber ? 1 : 0;
    std::vector<std::thread> threads;
    for (auto& transcriber : transcribers) {
      if (!transcriber) continue;
      threads.emplace_back([transcriber, finishing] {
        transcriber->finish();
        std::lock_guard guard(finishing->lock);
        --finishing->left;
        finishing->done.notify_all();
      });
    }
    {
      std::unique_lock guard(finishing->lock);
      if (!finishing->done.wait_for(guard, live::kFinishLimit, [&] { return finishing->left == 0; })) {
        guard.unlock();
        for (auto& transcriber : transcribers)
          if (transcriber) transcriber->cancel();
      }
    }
    for (auto& thread : threads) thread.join();
  }

  // ---- Segments ----

  // A final segment of either side: on disk first, then to the client, in
  // one order for both.
  void settle(const Segment& segment) {
    std::lock_guard guard(lock);
    if (!folder) {
      early.push_back(segment);
      return;
    }
    write(segment);
  }

  void write(const Segment& segment) {
    try {
      store.append(segment, *folder);
    } catch (const std::exception& error) {
      if (events.onProblem) events.onProblem(tr("erro: ") + error.what());
    }
    if (events.onSegment) events.onSegment(segment);
  }

  void opened(const Meeting& created) {
    std::lock_guard guard(lock);
    if (events.onStart) events.onStart(created);
    folder = created.folder;
    for (const Segment& segment : early) write(segment);
    early.clear();
  }

  const Store store;
  const RecordingEvents events;
  std::weak_ptr<State> self;
  std::atomic<bool> live{true};  // handlers pass events on

  std::mutex lock;  // the folder, early segments and the appends
  std::optional<std::filesystem::path> folder;
  std::vector<Segment> early;  // settled before the folder existed

  std::shared_ptr<SideClock> clocks[2];
  std::shared_ptr<LiveTranscriber> transcribers[2];
  MicHub* mic = nullptr;
  std::optional<Uuid> micSubscription;
  std::unique_ptr<SystemAudioTap> tap;
  std::vector<MissingSource> missing;
  Meeting meeting;
};

std::unique_ptr<Recorder> Recorder::start(const Store& store, const MeetingMeta& meta, RecordingEvents events) {
  return begin(store, meta, std::move(events), MicHub::shared(), nullptr, SpeechAssets::shared(), nullptr);
}

std::unique_ptr<Recorder> Recorder::start(const Store& store, const MeetingMeta& meta, RecordingEvents events,
                                          std::shared_ptr<SoundServer> server, SpeechAssets& speech) {
  auto hub = std::make_unique<MicHub>(server);
  MicHub& mic = *hub;
  return begin(store, meta, std::move(events), mic, std::move(server), speech, std::move(hub));
}

std::unique_ptr<Recorder> Recorder::begin(const Store& store, const MeetingMeta& meta, RecordingEvents events,
                                          MicHub& mic, std::shared_ptr<SoundServer> server, SpeechAssets& speech,
                                          std::unique_ptr<MicHub> ownHub) {
  std::unique_ptr<Recorder> recorder(new Recorder());
  recorder->ownHub_ = std::move(ownHub);
  auto state = std::make_shared<State>(store, std::move(events));
  recorder->state_ = state;
  state->self = state;
  const auto began = SteadyClock::now();
  for (auto& clock : state->clocks) clock = std::make_shared<SideClock>(began);

  state->startRecognition(meta.language, speech);
  state->startMicrophone(mic);
  state->startSystemAudio(server);
  if (!state->running()) {
    recorder->cancel();
    throw RecorderError(state->reasons());
  }
  try {
    state->meeting = store.create(meta);
  } catch (...) {
    recorder->cancel();
    throw;
  }
  state->opened(state->meeting);
  return recorder;
}

Recorder::~Recorder() {
  if (!stopped_) cancel();
}

const Meeting& Recorder::meeting() const { return state_->meeting; }

const std::vector<MissingSource>& Recorder::missing() const { return state_->missing; }

void Recorder::endCapture() {
  if (state_->micSubscription) state_->mic->unsubscribe(*state_->micSubscription);
  state_->micSubscription.reset();
  if (state_->tap) state_->tap->stop();
}

Meeting Recorder::stop() {
  if (stopped_) return *stopped_;
  endCapture();
  state_->finishRecognition();
  state_->live = false;

  const Store& store = state_->store;
  const auto& folder = state_->meeting.folder;
  Meeting meeting = store.load(folder).value_or(state_->meeting);
  meeting.meta.end = std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now());
  store.save(meeting);
  store.saveTranscript(meeting);
  stopped_ = meeting;
  return meeting;
}

void Recorder::cancel() {
  endCapture();
  for (auto& transcriber : state_->transcribers)
    if (transcriber) transcriber->cancel();
  state_->live = false;
}

MeetingMeta Recorder::meetingMeta(const std::optional<std::string>& title, const MeetingLanguage& language,
                                  const std::optional<CalendarEvent>& current, Date now) {
  MeetingMeta meta;
  meta.id = Uuid::random();
  meta.start = now;
  meta.language = language;
  if (title) {
    meta.title = *title;
  } else if (current) {
    meta.title = current->title;
    meta.attendees = current->attendees;
    meta.calendarEventID = current->id;
  } else {
    meta.title = tr("Reunião");
  }
  return meta;
}

std::optional<CalendarEvent> Recorder::currentEvent(const Preferences& prefs, Date now) {
  if (!prefs.calendarEnabled || !CalendarWatcher::isAuthorized()) return std::nullopt;
  auto watcher = CalendarWatcher::make();
  watcher->calendarIDs = prefs.calendarIDs;
  watcher->refresh();
  watcher->stop();
  return watcher->current(now);
}

std::optional<std::string> Recorder::writeNotes(const Store& store, const std::filesystem::path& folder,
                                                const Preferences& prefs) {
  auto meeting = store.load(folder);
  if (!meeting) throw std::runtime_error(tr("não achei meta.json em ") + folder.string());
  // Nothing was said and nothing written: a model would only make notes up.
  if (meeting->segments.empty() && text::trimSpacesAndNewlines(meeting->notes).empty()) return std::nullopt;
  NoteWriter::Result result = NoteWriter::write(*meeting, prefs.provider(), prefs.localFallback, nullptr);
  // The model may take minutes; what the user typed meanwhile must stay.
  store.saveEnhanced(folder, result.text, result.usedLabel);
  return result.usedLabel;
}

std::string Recorder::statusLine(double elapsedSeconds, float levelMe, float levelThem,
                                 const std::string& volatileText, size_t width) {
  auto meter = [](float level) {
    int filled = static_cast<int>(std::lround(std::clamp(level, 0.0f, 1.0f) * live::kMeterCells));
    std::string cells;
    for (int i = 0; i < live::kMeterCells; ++i) cells += i < filled ? "\u25B0" : "\u25B1";
    return cells;
  };
  std::string line = clock(elapsedSeconds) + "  " + label(Speaker::me) + " " + meter(levelMe) + "  " +
                     label(Speaker::them) + " " + meter(levelThem);
  size_t used = text::characterCount(line);
  if (used >= width) return text::prefixCharacters(line, width);
  std::string guess = text::trimSpacesAndNewlines(volatileText);
  if (guess.empty() || width - used < 4) return line;
  size_t room = width - used - 2;
  if (text::characterCount(guess) > room) guess = "\u2026" + text::suffixCharacters(guess, room - 1);
  return line + "  " + guess;
}

}  // namespace quillet
