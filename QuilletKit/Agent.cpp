#include "QuilletKit/Agent.hpp"

#include <gio/gio.h>
#include <glib-unix.h>
#include <signal.h>

#include <cstdio>
#include <list>
#include <mutex>
#include <set>
#include <thread>

#include "QuilletKit/AutoRecording.hpp"
#include "QuilletKit/CalendarWatcher.hpp"
#include "QuilletKit/HotKeyCenter.hpp"
#include "QuilletKit/LiveTranscriber.hpp"
#include "QuilletKit/LiveTuning.hpp"
#include "QuilletKit/Localization.hpp"
#include "QuilletKit/MainContext.hpp"
#include "QuilletKit/MeetingDetector.hpp"
#include "QuilletKit/MicHub.hpp"
#include "QuilletKit/Notifications.hpp"
#include "QuilletKit/Recorder.hpp"
#include "QuilletKit/TextInserter.hpp"

namespace quillet {

namespace {

void logLine(const std::string& line) {
  std::fprintf(stderr, "%s\n", line.c_str());
  std::fflush(stderr);
}

// Runs `call` on the main thread, from any thread, once the loop gets to it.
void onMainThread(std::function<void()> call) {
  g_idle_add_full(
      G_PRIORITY_DEFAULT,
      [](gpointer data) -> gboolean {
        (*static_cast<std::function<void()>*>(data))();
        return G_SOURCE_REMOVE;
      },
      new std::function<void()>(std::move(call)), [](gpointer data) { delete static_cast<std::function<void()>*>(data); });
}

std::string missingNote(const MissingSource& source) {
  if (source.speaker == Speaker::me) return trFormat("sem o microfone: %s", source.reason);
  return trFormat("sem o áudio do sistema: %s", source.reason);
}

// One push-to-talk: the microphone is heard from the moment the key goes
// down, while the recogniser's model loads; what came before it was ready is
// fed to it once it is.
struct Dictation {
  void hear(const AudioBuffer& buffer) {
    std::lock_guard guard(lock);
    if (transcriber) {
      transcriber->feed(buffer);
    } else if (earlySeconds < live::kMaxBacklogSeconds && buffer.sampleRate() > 0) {
      earlySeconds += buffer.frameLength() / buffer.sampleRate();
      early.push_back(buffer.copy());
    }
  }

  void load(const MeetingLanguage& language) {
    try {
      auto started = LiveTranscriber::start(language, Speaker::me, {}, {});
      std::lock_guard guard(lock);
      for (const AudioBuffer& buffer : early) started->feed(buffer);
      early.clear();
      transcriber = started;
    } catch (const std::exception& error) {
      std::lock_guard guard(lock);
      failure = error.what();
    }
  }

  std::mutex lock;
  std::shared_ptr<LiveTranscriber> transcriber;
  std::vector<AudioBuffer> early;
  double earlySeconds = 0;
  std::string failure;
  std::optional<Uuid> mic;
  std::thread loading;
};

class AgentRun {
 public:
  explicit AgentRun(GMainLoop* loop)
      : loop_(loop),
        context_(MainContext::main()),
        automatic_(context_, {[this](const MeetingApp& app) { return startRecording(app); },
                              [this] { stopRecording(); }}) {
    signals_[0] = g_unix_signal_add(SIGINT, stopSignal, this);
    signals_[1] = g_unix_signal_add(SIGTERM, stopSignal, this);
    watchPreferences();
  }

  void apply(const Preferences& next) {
    prefs_ = next;
    applyDetection();
    applyCalendar();
    applyDictation();
  }

  // After the loop: what is running ends as `record` ends it.
  void shutdown() {
    ending_ = true;
    if (monitor_) {
      g_file_monitor_cancel(monitor_);
      g_object_unref(monitor_);
      monitor_ = nullptr;
    }
    detector_.reset();
    automatic_.stopNow();
    if (calendar_) calendar_->stop();
    calendar_.reset();
    HotKeyCenter::shared().unregister(hotKey_);
    hotKey_.reset();
    if (auto dictation = std::move(dictation_)) {
      if (dictation->mic) MicHub::shared().unsubscribe(*dictation->mic);
      dictation->loading.join();
      if (dictation->transcriber) dictation->transcriber->cancel();
    }
    for (std::thread& worker : workers_) worker.join();
    workers_.clear();
  }

 private:
  static gboolean stopSignal(gpointer data) {
    auto* self = static_cast<AgentRun*>(data);
    // From here on a second signal ends the process by its default action.
    for (guint& source : self->signals_) {
      if (source) g_source_remove(source);
      source = 0;
    }
    ::signal(SIGINT, SIG_DFL);
    ::signal(SIGTERM, SIG_DFL);
    g_main_loop_quit(self->loop_);
    return G_SOURCE_REMOVE;
  }

  // ---- Preferences ----

  // The document is replaced whole (written beside it, then renamed), so any
  // event on its name means a new version; a burst of them reloads once.
  void watchPreferences() {
    GFile* file = g_file_new_for_path(Preferences::file().c_str());
    monitor_ = g_file_monitor_file(file, G_FILE_MONITOR_WATCH_MOVES, nullptr, nullptr);
    g_object_unref(file);
    if (!monitor_) return;
    g_signal_connect(monitor_, "changed",
                     G_CALLBACK(+[](GFileMonitor*, GFile*, GFile*, GFileMonitorEvent, gpointer self) {
                       static_cast<AgentRun*>(self)->preferencesTouched();
                     }),
                     this);
  }

  void preferencesTouched() {
    reload_ = context_->after(live::kPreferencesSettle, [this] {
      Preferences next = Preferences::load();
      if (!(next == prefs_)) apply(next);
    });
  }

  // ---- Meetings detected ----

  void applyDetection() {
    if (!prefs_.detectionEnabled) {
      detector_.reset();
      automatic_.stopNow();
      return;
    }
    if (!detector_) {
      detector_ = MeetingDetector::make();
      detector_->onChange = [this](const std::optional<MeetingApp>& app) {
        automatic_.appChanged(app, std::chrono::minutes(prefs_.autoStopMinutes));
      };
    }
    detector_->ignored = std::set<std::string>(prefs_.ignoredApps.begin(), prefs_.ignoredApps.end());
    detector_->start();
  }

  bool startRecording(const MeetingApp& app) {
    Date now = context_->now();
    std::optional<CalendarEvent> current;
    if (calendar_) current = calendar_->current(now);
    MeetingMeta meta = Recorder::meetingMeta(std::nullopt, prefs_.language, current, now);
    meta.app = app.name;
    RecordingEvents events;
    events.onProblem = logLine;
    try {
      recorder_ = Recorder::start(Store{prefs_.storageRoot()}, meta, events);
    } catch (const std::exception& error) {
      logLine(tr("erro: ") + error.what());
      return false;
    }
    std::string line = tr("gravação iniciada: ") + recorder_->meeting().folder.string() + " (" + app.name + ")";
    for (const MissingSource& source : recorder_->missing()) line += "; " + missingNote(source);
    logLine(line);
    return true;
  }

  // Settling and the notes take a while; the loop goes on meanwhile.
  void stopRecording() {
    std::shared_ptr<Recorder> recorder = std::move(recorder_);
    if (!recorder) return;
    Preferences prefs = prefs_;
    inBackground([recorder, prefs] {
      Meeting meeting;
      try {
        meeting = recorder->stop();
      } catch (const std::exception& error) {
        logLine(tr("erro: ") + error.what());
        return;
      }
      logLine(tr("gravação encerrada: ") + meeting.folder.string());
      if (!prefs.autoEnhance) return;
      try {
        Recorder::writeNotes(Store{meeting.folder.parent_path()}, meeting.folder, prefs);
      } catch (const std::exception& error) {
        logLine(tr("erro: ") + error.what());
      }
    });
  }

  void inBackground(std::function<void()> work) {
    workers_.emplace_back();
    auto at = std::prev(workers_.end());
    *at = std::thread([this, at, work = std::move(work)] {
      work();
      // The finished thread is joined on the main thread, unless the agent
      // is ending and joins them all itself.
      onMainThread([this, at] {
        if (ending_) return;
        if (at->joinable()) at->join();
        workers_.erase(at);
      });
    });
  }

  // ---- Calendar ----

  void applyCalendar() {
    if (!prefs_.calendarEnabled) {
      if (calendar_) calendar_->stop();
      calendar_.reset();
      return;
    }
    if (calendar_ && calendar_->calendarIDs == prefs_.calendarIDs) return;
    if (calendar_) {
      calendar_->calendarIDs = prefs_.calendarIDs;
      calendar_->refresh();
      return;
    }
    calendar_ = CalendarWatcher::make();
    calendar_->onStartingSoon = [this](const CalendarEvent& event) { announce(event); };
    calendar_->calendarIDs = prefs_.calendarIDs;
    calendar_->start();
  }

  void announce(const CalendarEvent& event) {
    if (!prefs_.notifyBeforeMeeting) return;
    std::string body = trFormat("Começa às %s", formatLocal(event.start, "%H:%M"));
    if (event.videoURL) body += "\n" + *event.videoURL;
    Notifications::send(event.title, body);
  }

  // ---- Dictation ----

  void applyDictation() {
    bool same = hotKey_ && shortcut_ == prefs_.dictationShortcut;
    if (prefs_.dictationEnabled && same) return;
    HotKeyCenter::shared().unregister(hotKey_);
    hotKey_.reset();
    if (!prefs_.dictationEnabled) return;
    shortcut_ = prefs_.dictationShortcut;
    hotKey_ = HotKeyCenter::shared().registerHotKey(
        shortcut_, [this] { dictationPressed(); }, [this] { dictationReleased(); });
    if (!hotKey_) logLine(trFormat("erro: o atalho de ditado %s não está disponível", shortcut_.display()));
  }

  void dictationPressed() {
    if (dictation_) return;
    auto dictation = std::make_shared<Dictation>();
    try {
      dictation->mic = MicHub::shared().subscribe([dictation](const AudioBuffer& buffer) { dictation->hear(buffer); });
    } catch (const std::exception& error) {
      logLine(tr("erro: ") + error.what());
      return;
    }
    dictation->loading = std::thread([dictation, language = prefs_.dictationLanguage] { dictation->load(language); });
    dictation_ = dictation;
  }

  void dictationReleased() {
    std::shared_ptr<Dictation> dictation = std::move(dictation_);
    if (!dictation) return;
    MicHub::shared().unsubscribe(*dictation->mic);
    inBackground([dictation] {
      dictation->loading.join();
      std::string text;
      if (dictation->transcriber) text = dictation->transcriber->finish();
      std::string failure = dictation->failure;
      onMainThread([text, failure] {
        if (!failure.empty()) logLine(tr("erro: ") + failure);
        else TextInserter::insert(text);
      });
    });
  }

  GMainLoop* loop_;
  guint signals_[2] = {0, 0};
  std::shared_ptr<MainContext> context_;
  Preferences prefs_;
  GFileMonitor* monitor_ = nullptr;
  std::unique_ptr<Registration> reload_;

  std::shared_ptr<MeetingDetector> detector_;
  AutoRecording automatic_;
  std::unique_ptr<Recorder> recorder_;
  std::shared_ptr<CalendarWatcher> calendar_;
  std::optional<uint32_t> hotKey_;
  Shortcut shortcut_;
  std::shared_ptr<Dictation> dictation_;
  std::list<std::thread> workers_;
  bool ending_ = false;  // shutdown() joins the workers itself
};

}  // namespace

int Agent::run(const Preferences& prefs) {
  GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
  {
    AgentRun agent(loop);
    agent.apply(prefs);
    g_main_loop_run(loop);
    agent.shutdown();
  }
  g_main_loop_unref(loop);
  return 0;
}

}  // namespace quillet
