// quillet: the command-line front end over QuilletKit. Results go to standard
// output, failures and timings to standard error; every command ends the
// process itself, with status 0 on success and 1 through `fail`.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "QuilletKit/AppleClient.hpp"
#include "QuilletKit/Agent.hpp"
#include "QuilletKit/CalendarWatcher.hpp"
#include "QuilletKit/ConsoleRecording.hpp"
#include "QuilletKit/Dates.hpp"
#include "QuilletKit/Enhancer.hpp"
#include "QuilletKit/Export.hpp"
#include "QuilletKit/Keychain.hpp"
#include "QuilletKit/Listing.hpp"
#include "QuilletKit/Localization.hpp"
#include "QuilletKit/MeetingLookup.hpp"
#include "QuilletKit/NoteWriter.hpp"
#include "QuilletKit/Paths.hpp"
#include "QuilletKit/PocketSphinx.hpp"
#include "QuilletKit/Preferences.hpp"
#include "QuilletKit/Recorder.hpp"
#include "QuilletKit/Search.hpp"
#include "QuilletKit/SpeechAssets.hpp"
#include "QuilletKit/Store.hpp"
#include "QuilletKit/Text.hpp"
#include "QuilletKit/Transcript.hpp"
#include "QuilletKit/Trash.hpp"
#include "QuilletKit/VdirCalendar.hpp"

using namespace quillet;

namespace {

// The three process-wide values, set once at start.
std::string usage;
std::vector<std::string> args;
Preferences prefs;

// Text from outside (titles, model output, a server's words) reaches a
// terminal without control characters that could move the cursor or forge
// lines; a pipe or file gets the bytes as they are.
std::string displayed(std::string_view text, int fd, bool singleLine = false) {
  static const bool terminal[] = {false, ::isatty(STDOUT_FILENO) == 1, ::isatty(STDERR_FILENO) == 1};
  return terminal[fd] ? text::forTerminal(text, singleLine) : std::string(text);
}

// One line as it is: the caller has made it fit for a terminal.
void printShown(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fputc('\n', stdout);
}

void print(const std::string& line) { printShown(displayed(line, STDOUT_FILENO)); }

// A result that could not be written (a full disk, a closed pipe) is a
// failure, not a success.
[[noreturn]] void exitWith(int status) {
  if ((std::fflush(stdout) != 0 || std::ferror(stdout)) && status == 0) {
    std::string message = tr("erro: ") + std::strerror(errno) + "\n";
    (void)!::write(STDERR_FILENO, message.data(), message.size());
    std::_Exit(1);
  }
  std::exit(status);
}

[[noreturn]] void fail(const std::string& message) {
  std::fflush(stdout);
  std::string line = displayed(message, STDERR_FILENO) + "\n";
  for (const char* p = line.data(); p < line.data() + line.size();) {
    ssize_t n = ::write(STDERR_FILENO, p, static_cast<size_t>(line.data() + line.size() - p));
    if (n <= 0) break;
    p += n;
  }
  std::exit(1);
}

// Takes "name value", or "name=value", out of `args`; a name without a
// value stays put.
[[maybe_unused]] std::optional<std::string> option(const std::string& name) {
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i].size() > name.size() && args[i].starts_with(name) && args[i][name.size()] == '=') {
      std::string value = args[i].substr(name.size() + 1);
      args.erase(args.begin() + static_cast<long>(i));
      return value;
    }
    if (args[i] != name) continue;
    if (i + 1 >= args.size()) return std::nullopt;
    std::string value = args[i + 1];
    args.erase(args.begin() + static_cast<long>(i), args.begin() + static_cast<long>(i) + 2);
    return value;
  }
  return std::nullopt;
}

bool flag(const std::string& name) {
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] != name) continue;
    args.erase(args.begin() + static_cast<long>(i));
    return true;
  }
  return false;
}

// A JSON array written as it grows, one element a line: "[]" when empty.
class JSONLines {
 public:
  explicit JSONLines(bool on) : on_(on) {}
  void add(std::string element) {
    if (pending_) print(*pending_ + ",");
    else print("[");
    pending_ = std::move(element);
  }
  void end() {
    if (!on_) return;
    if (pending_) print(*pending_ + "\n]");
    else print("[]");
  }

 private:
  bool on_;
  std::optional<std::string> pending_;
};

#ifndef QUILLET_FRONT_ONLY
// The provider that `enhance` and `ai` use: the selected one, or the one named
// by "--provider", with "--model" and "--base-url" applied to a copy.
ProviderConfig provider(const Preferences& preferences) {
  ProviderConfig chosen = preferences.provider();
  if (auto id = option("--provider")) {
    auto match = std::find_if(preferences.providers.begin(), preferences.providers.end(),
                              [&](const ProviderConfig& p) { return p.id == *id; });
    if (match == preferences.providers.end()) {
      std::string ids;
      for (const auto& p : preferences.providers) ids += (ids.empty() ? "" : ", ") + p.id;
      fail(tr("provedor desconhecido: ") + *id + tr(". Opções: ") + ids);
    }
    chosen = *match;
  }
  if (auto model = option("--model")) chosen.model = *model;
  if (auto baseURL = option("--base-url")) chosen.baseURL = *baseURL;
  return chosen;
}

// Set while `transcribe` shows its share done on the terminal.
volatile sig_atomic_t progressShown = 0;

// Ctrl-C ends the process at once: the transfer dies with it, nothing more is
// printed, and no command ever writes a folder. It ends by the signal itself,
// so that a calling shell or script sees an interrupted command, not a
// normal exit.
void endByInterrupt() {
  struct sigaction action {};
  action.sa_handler = [](int signal) {
    if (progressShown) (void)!::write(STDERR_FILENO, "\r\033[K", 4);
    ::signal(signal, SIG_DFL);
    ::raise(signal);
  };
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
}

// A folder argument as the user typed it: "~" expanded, made absolute, and
// without trailing slashes, so "reuniao/" and "reuniao" are the same folder.
std::filesystem::path folderArgument(const std::string& argument) {
  std::string path = paths::expandingTilde(argument).string();
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  // A working folder that was removed has no absolute form; the path as
  // typed then gets the usual "no meeting here" answer instead of an abort.
  std::error_code noWorkingFolder;
  std::filesystem::path absolute = std::filesystem::absolute(path, noWorkingFolder);
  return noWorkingFolder ? std::filesystem::path(path) : absolute;
}

// The folder of the meeting that an argument names: an existing folder as
// it is, else a meeting of the store by its folder's name or its title. A
// name that fits several meetings ends the command with their folders.
std::filesystem::path meetingFolder(const std::string& argument) {
  std::filesystem::path folder = folderArgument(argument);
  std::error_code error;
  if (std::filesystem::is_directory(folder, error)) return folder;
  MeetingLookup::Result found = MeetingLookup::find(Store{prefs.storageRoot()}, argument);
  if (found.folder) return *found.folder;
  if (!found.candidates.empty()) {
    std::string message = tr("mais de uma reunião com esse nome: ") + argument;
    for (const auto& candidate : found.candidates) message += "\n  " + candidate.folder.filename().string();
    fail(message);
  }
  // What looks like a path keeps the answer about its missing "meta.json".
  bool path = argument.find('/') != std::string::npos || argument.starts_with("~") || argument.starts_with(".") ||
              std::filesystem::exists(folder, error);
  if (!path) fail(tr("nenhuma reunião com esse nome: ") + argument);
  return folder;
}

Meeting namedMeeting(const std::string& argument) {
  std::filesystem::path folder = meetingFolder(argument);
  auto meeting = Store{folder.parent_path()}.load(folder);
  if (!meeting) fail(tr("não achei meta.json em ") + folder.string());
  return std::move(*meeting);
}

// On a terminal, standard error shows that a model is writing: who, how
// many characters so far, and the fallback if one is taken, rewritten in
// place and cleared before the notes are printed.
class EnhanceProgress {
 public:
  explicit EnhanceProgress(const ProviderConfig& provider)
      : shown_(::isatty(STDERR_FILENO)), who_(provider.name + " \u00B7 " + provider.model) {
    show(0);
  }

  Enhancer::Partial partial() {
    if (!shown_) return nullptr;
    return [this](const std::string& textSoFar) {
      size_t characters = 0;
      for (unsigned char c : textSoFar) characters += (c & 0xC0) != 0x80;
      show(characters);
    };
  }

  NoteWriter::Fallback fallback() {
    return [this](const LLMError& error) {
      who_ = tr("IA da Apple (no Mac)") + " \u00B7 " + tr("fallback após: ") + error.what();
      show(0);
    };
  }

  void clear() {
    progressShown = 0;
    if (shown_) std::fputs("\r\033[K", stderr);
  }

 private:
  void show(size_t characters) {
    if (!shown_) return;
    std::string line = who_ + " \u00B7 " + std::to_string(characters) + tr(" caracteres");
    progressShown = 1;  // before the text, so that an interrupt never leaves it behind
    std::fprintf(stderr, "\r\033[K%s", displayed(line, STDERR_FILENO, /*singleLine=*/true).c_str());
    std::fflush(stderr);
  }

  bool shown_;
  std::string who_;
};

// With "--save": the notes go into the meeting too, so that `list` shows
// them. Empty notes are not kept, since a file of nothing would look done.
void saveEnhanced(const Meeting& meeting, const NoteWriter::Result& result) {
  if (text::trimSpacesAndNewlines(result.text).empty()) fail(tr("erro: o modelo não escreveu nada; nada foi salvo"));
  Store{meeting.folder.parent_path()}.saveEnhanced(meeting.folder, result.text, result.usedLabel);
}

// "erro: " and the description, with what the user can do about a key that
// is missing or out of reach, or the address of a server that did not answer.
std::string providerFailure(const std::exception& error, const ProviderConfig& chosen) {
  std::string message = tr("erro: ") + describe(error);
  const auto* failure = dynamic_cast<const LLMError*>(&error);
  if (!failure) return message;
  if (failure->kind() == LLMError::Kind::missingKey) {
    if (Keychain::isLocked(chosen.id))
      return tr("erro: o chaveiro está trancado; destranque-o para usar a chave de ") + chosen.name;
    return message + "\n" +
           trFormat("Guarde a chave com: secret-tool store --label=Quillet service app.quillet.mac.ai account %s",
                    chosen.id) +
           "\n" + tr("ou defina a variável de ambiente QUILLET_API_KEY.");
  }
  if (failure->kind() == LLMError::Kind::unavailable && chosen.kind != ProviderKind::apple &&
      !chosen.baseURL.empty() && message.find(chosen.baseURL) == std::string::npos)
    message += " (" + chosen.baseURL + ")";
  return message;
}

[[noreturn]] void enhance() {
  ProviderConfig chosen = provider(prefs);
  bool promptOnly = flag("--prompt");
  bool save = flag("--save");
  if (args.size() < 2) fail(usage);
  std::optional<Meeting> meeting = namedMeeting(args[1]);
  if (promptOnly) {
    print(Enhancer::system(meeting->meta.language));
    print("\n---\n");
    std::string transcript = Enhancer::transcript(meeting->segments);
    print(Enhancer::prompt(meeting->meta, meeting->notes, transcript, false));
    exitWith(0);
  }
  endByInterrupt();
  EnhanceProgress progress(chosen);
  try {
    NoteWriter::Result result =
        NoteWriter::write(*meeting, chosen, prefs.localFallback, progress.partial(), {}, progress.fallback());
    progress.clear();
    print(result.text);
    std::fflush(stdout);
    std::fprintf(stderr, "(%s)\n", displayed(result.usedLabel, STDERR_FILENO).c_str());
    if (save) saveEnhanced(*meeting, result);
  } catch (const std::exception& error) {
    progress.clear();
    fail(providerFailure(error, chosen));
  }
  exitWith(0);
}

[[noreturn]] void aiModels(const ProviderConfig& chosen) {
  try {
    for (const std::string& model : chosen.models()) print(model);
  } catch (const std::exception& error) {
    fail(providerFailure(error, chosen));
  }
  exitWith(0);
}

[[noreturn]] void aiTest(const ProviderConfig& chosen) {
  auto started = std::chrono::steady_clock::now();
  try {
    TextStream pieces = chosen.client()->stream("Reply with one short sentence.",
                                                "Say hello to Quillet in Brazilian Portuguese.");
    while (auto piece = pieces.next()) {
      std::string text = displayed(*piece, STDOUT_FILENO);
      std::fwrite(text.data(), 1, text.size(), stdout);
      std::fflush(stdout);
    }
  } catch (const std::exception& error) {
    fail(providerFailure(error, chosen));
  }
  std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - started;
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.1f", elapsed.count());
  print("\n(" + chosen.client()->label() + " \u00B7 " + seconds + " s)");
  exitWith(0);
}

[[noreturn]] void ai() {
  ProviderConfig chosen = provider(prefs);
  if (args.size() < 2) fail(usage);
  endByInterrupt();
  if (args[1] == "models") aiModels(chosen);
  if (args[1] == "test") aiTest(chosen);
  fail(usage);
}

// Where the model of a language goes when it has none.
std::string missingModelHint(const SpeechError& error) {
  if (error.kind() != SpeechError::Kind::unsupportedLocale) return "";
  return "\n" + trFormat("O modelo de fala desse idioma vai em %s (pasta acoustic/, language.lm.bin e words.dict).",
                         sphinx::modelFolder(error.identifier()).string());
}

std::string modelFolderNote(const MeetingLanguage& language) {
  if (sphinx::model(language.rawValue)) return "";
  return " (" + trFormat("modelo em %s", sphinx::modelFolder(language.rawValue).string()) + ")";
}

// Defaults are used, as ever, but the user learns why.
void warnAboutPreferences() {
  if (auto problem = Preferences::problem()) {
    std::string line = trFormat("aviso: preferências ignoradas em %s: ", Preferences::file().string()) + *problem;
    std::fprintf(stderr, "%s\n", line.c_str());
  }
}

std::string calendarNoAccess() {
  return tr("sem acesso") + " (" + VdirCalendarStore::defaultRoot().string() + ")";
}

[[noreturn]] void transcribe() {
  auto lang = option("--lang");
  MeetingLanguage language = lang ? MeetingLanguage{*lang} : prefs.language;
  if (args.size() < 2) fail(usage);
  std::filesystem::path file = paths::expandingTilde(args[1]);
  auto started = std::chrono::steady_clock::now();
  // On a terminal, the share done is shown in place and cleared at the end;
  // a redirected standard error gets nothing extra.
  bool showProgress = ::isatty(STDERR_FILENO);
  int shown = -1;
  endByInterrupt();
  std::function<void(double)> progress = [&](double share) {
    int percent = static_cast<int>(share * 100);
    if (percent == shown) return;
    shown = percent;
    progressShown = 1;  // before the text, so that an interrupt never leaves it behind
    std::fprintf(stderr, "\r%d%%", percent);
  };
  auto clearProgress = [&] {
    progressShown = 0;
    if (shown >= 0) std::fputs("\r\033[K", stderr);
  };
  try {
    std::string text = SpeechAssets::shared().transcribe(file, language, showProgress ? progress : std::function<void(double)>());
    clearProgress();
    print(text);
    std::fflush(stdout);
    std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - started;
    std::fprintf(stderr, "(%.1f s)\n", elapsed.count());
  } catch (const PartialTranscription& error) {
    // The words before the break are worth having; the run still failed.
    clearProgress();
    if (!error.text.empty()) print(error.text);
    fail(tr("erro: ") + error.what());
  } catch (const SpeechError& error) {
    clearProgress();
    fail(tr("erro: ") + error.what() + missingModelHint(error));
  } catch (const std::exception& error) {
    clearProgress();
    fail(tr("erro: ") + describe(error));
  }
  exitWith(0);
}

// A label padded with spaces so that every value starts in column 15.
std::string labelled(const std::string& label, const std::string& value) {
  size_t width = text::characterCount(label);
  return label + std::string(width < 14 ? 14 - width : 1, ' ') + value;
}

[[noreturn]] void doctor() {
  warnAboutPreferences();
  print(labelled(tr("Notas:"), prefs.storageRoot().string()));
  for (const MeetingLanguage& language : MeetingLanguage::all())
    print(labelled(tr("Fala ") + language.shortName() + ":",
                   SpeechAssets::shared().status(language) + modelFolderNote(language)));
  print(labelled(tr("IA da Apple:"), AppleClient::availability()));
  ProviderConfig selected = prefs.provider();
  print(labelled(tr("IA escolhida:"), selected.name + " \u00B7 " + selected.model + " \u00B7 " +
                                          (selected.hasKey() ? tr("com chave") : tr("sem chave"))));
  print(labelled(tr("Fallback:"), prefs.localFallback ? tr("IA da Apple") : tr("desligado")));
  print(labelled(tr("Ditado:"), (prefs.dictationEnabled ? prefs.dictationShortcut.display() : tr("desligado")) +
                                    " (" + prefs.dictationLanguage.shortName() + ")"));
  print(labelled(tr("Calendário:"), CalendarWatcher::isAuthorized() ? tr("liberado") : calendarNoAccess()));
  exitWith(0);
}

// Text as a file holds it: a line end added only where it lacks one.
void printText(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  if (!text.empty() && text.back() != '\n') std::fputc('\n', stdout);
}

[[noreturn]] void exportNotes() {
  bool slack = flag("--slack");
  if (args.size() < 2) fail(usage);
  Meeting meeting = namedMeeting(args[1]);
  // Enhanced notes of nothing (what a failed run redirected into the file
  // leaves) do not hide the user's own.
  bool enhanced = meeting.enhanced && !text::trimSpacesAndNewlines(*meeting.enhanced).empty();
  const std::string& notes = enhanced ? *meeting.enhanced : meeting.notes;
  printText(slack ? Export::slack(notes) : notes);
  exitWith(0);
}

[[noreturn]] void newMeeting() {
  auto lang = option("--lang");
  MeetingLanguage language = lang ? MeetingLanguage{*lang} : prefs.language;
  auto known = MeetingLanguage::all();
  if (std::find(known.begin(), known.end(), language) == known.end())
    fail(tr("idioma desconhecido: ") + language.rawValue + tr(". Opções: ") + "pt-BR, en-US");
  std::string title;
  for (size_t i = 1; i < args.size(); ++i) title += (i > 1 ? " " : "") + args[i];
  if (text::trimSpaces(title).empty()) fail(usage);
  MeetingMeta meta;
  meta.id = Uuid::random();
  meta.title = text::trimSpaces(title);
  meta.start = std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now());
  meta.language = language;
  if (auto event = Recorder::currentEvent(prefs, meta.start)) {
    meta.attendees = event->attendees;
    meta.calendarEventID = event->id;
  }
  try {
    print(Store{prefs.storageRoot()}.create(meta).folder.string());
  } catch (const std::exception& error) {
    fail(tr("erro: ") + describe(error));
  }
  exitWith(0);
}

[[noreturn]] void trashMeeting() {
  if (args.size() < 2) fail(usage);
  Meeting meeting = namedMeeting(args[1]);
  try {
    Store{meeting.folder.parent_path()}.trash(meeting);
  } catch (const std::exception& error) {
    fail(tr("erro: ") + describe(error));
  }
  auto kept = Trash::location(meeting.folder);
  print(kept ? kept->string() : (paths::dataHome() / "Trash" / "files").string());
  exitWith(0);
}

[[noreturn]] void calendar() {
  bool json = flag("--json");
  if (!CalendarWatcher::isAuthorized()) fail(tr("Calendário:") + " " + calendarNoAccess());
  auto watcher = CalendarWatcher::make();
  watcher->calendarIDs = prefs.calendarIDs;
  watcher->refresh();
  JSONLines lines(json);
  for (const CalendarEvent& event : watcher->upcoming()) {
    if (json) {
      lines.add(Listing::line(Listing::event(event)));
      continue;
    }
    print(formatForUser(event.start) + "  " + displayed(event.title, STDOUT_FILENO, true) + "  [" +
          std::to_string(event.attendees.size()) +
          tr(" participantes]") + (event.videoURL ? "  " + *event.videoURL : ""));
  }
  lines.end();
  exitWith(0);
}

// A call recorded until Ctrl-C, with its live transcript.
[[noreturn]] void record() {
  ConsoleRecording::Options options;
  options.title = option("--title");
  options.language = option("--lang");
  exitWith(ConsoleRecording::run(prefs, options));
}

// What the desktop application would do on its own, until SIGTERM.
[[noreturn]] void agent() { exitWith(Agent::run(prefs)); }

#else
// The commands that talk to models, speech and calendars live in the full
// program beside this one: loading their libraries costs several times what
// `list` takes in all, and `list` is what people type all day. The full
// program is looked for beside this one (an installed or a build tree), else
// in the folder it was installed to; never relative to the working folder,
// where anyone may have planted a program that would run with the user's key.
[[noreturn]] void handOver(char** argv) {
  std::error_code error;
  std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  std::vector<std::filesystem::path> candidates;
  if (!error && self.is_absolute()) {
    std::filesystem::path here = self.parent_path();
    candidates = {here / ".." / "libexec" / "quillet" / "quillet", here / "libexec" / "quillet" / "quillet"};
  }
  candidates.push_back(std::filesystem::path(QUILLET_LIBEXECDIR) / "quillet" / "quillet");
  for (const auto& full : candidates) {
    if (full.is_absolute() && ::access(full.c_str(), X_OK) == 0) {
      std::fflush(stdout);
      ::execv(full.c_str(), argv);
    }
  }
  fail(tr("erro: ") + tr("não achei o programa completo do quillet em ") + candidates.back().string());
}

#endif

// Marks for the query's words, only for a terminal that wants colour.
bool marksWanted() {
  const char* noColor = std::getenv("NO_COLOR");
  const char* term = std::getenv("TERM");
  return ::isatty(STDOUT_FILENO) && !(noColor && *noColor) && !(term && std::strcmp(term, "dumb") == 0);
}

// The line made safe for the terminal piece by piece, so that the marks
// are the only control sequences in it.
std::string marked(const std::string& line, const Search::Marks& marks) {
  auto shown = [&](size_t from, size_t to) { return displayed(line.substr(from, to - from), STDOUT_FILENO, true); };
  std::string out;
  size_t at = 0;
  for (auto [begin, end] : marks) {
    out += shown(at, begin) + "\033[1;31m" + shown(begin, end) + "\033[0m";
    at = end;
  }
  return out + shown(at, line.size());
}

[[noreturn]] void search() {
  bool json = flag("--json");
  std::string query;
  for (size_t i = 1; i < args.size(); ++i) query += args[i] + " ";
  std::vector<std::string> words = Search::words(query);
  if (words.empty()) fail(usage);
  bool mark = !json && marksWanted();
  JSONLines lines(json);
  // Held, not just its address: once a meeting's hits are gone the next one
  // may be allocated at the same place and would show the old date.
  std::shared_ptr<const MeetingLookup::Entry> lastMeeting;
  std::string date;
  Search::run(Store{prefs.storageRoot()}, words, [&](const Search::Hit& hit) {
    if (json) {
      lines.add(Listing::line(Listing::hit(hit)));
      return;
    }
    if (hit.meeting != lastMeeting) {
      lastMeeting = hit.meeting;
      date = formatForUser(hit.meeting->meta.start);
    }
    std::string place;
    switch (hit.place) {
      case Search::Place::title: place = tr("título"); break;
      case Search::Place::notes: place = tr("notas"); break;
      case Search::Place::enhanced: place = tr("notas da IA"); break;
      case Search::Place::transcript:
        place = std::string(1, '[').append(clock(*hit.time)).append("] ").append(label(hit.speaker));
        break;
    }
    printShown(date + "  " + displayed(hit.meeting->meta.title, STDOUT_FILENO, true) + "  " + place + ": " +
               (mark ? marked(hit.line, hit.marks) : displayed(hit.line, STDOUT_FILENO, true)));
  });
  lines.end();
  exitWith(0);
}

[[noreturn]] void listJSON() {
  JSONLines lines(true);
  for (const Meeting& meeting : Store{prefs.storageRoot()}.list()) lines.add(Listing::line(Listing::meeting(meeting)));
  lines.end();
  exitWith(0);
}

[[noreturn]] void list() {
  if (flag("--json")) listJSON();
  for (const Meeting& meeting : Store{prefs.storageRoot()}.list()) {
    const char* mark = meeting.enhanced ? "\u2726" : meeting.segments.empty() ? "\u00B7" : "\u25CB";
    // One meeting per line: on a terminal a title cannot start another.
    print(std::string(mark) + " " + formatForUser(meeting.meta.start) + "  " +
          displayed(meeting.meta.title, STDOUT_FILENO, /*singleLine=*/true) + "  [" +
          std::to_string(meeting.segments.size()) + tr(" trechos]"));
  }
  exitWith(0);
}

[[noreturn]] void version() {
  print("quillet " QUILLET_VERSION);
  exitWith(0);
}

// A closed standard descriptor would be the next one that any file or socket
// takes (libcurl's, say), and a result "printed" into it. Taken here by
// /dev/null, read-only, writing to a closed output stays a failure.
void takeStandardDescriptors() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    int taken = ::open("/dev/null", O_RDONLY);
    if (taken >= 0 && taken != fd) ::close(taken);
  }
}

}  // namespace

int main(int argc, char** argv) {
  takeStandardDescriptors();
  setUpLocalization();
  usage = tr(
      "uso:\n"
      "  quillet doctor\n"
      "  quillet list\n"
      "  quillet transcribe <arquivo de áudio> [--lang pt-BR|en-US]\n"
      "  quillet enhance <pasta da reunião> [--provider id] [--model nome] [--prompt]\n"
      "  quillet ai test|models [--provider id] [--model nome] [--base-url url]\n"
      "  quillet record [--title título] [--lang pt-BR|en-US]\n"
      "  quillet agent");
  // Commands added later each have a line of their own after these.
  usage += '\n';
  usage += tr(
      "  quillet search <palavras...> [--json]\n"
      "  quillet export <reunião> [--slack]\n"
      "  quillet new <título> [--lang pt-BR|en-US]\n"
      "  quillet trash <reunião>\n"
      "  quillet calendar [--json]");
  args.assign(argv + 1, argv + argc);
  prefs = Preferences::load();

  if (args.empty()) {
    print(usage);
    exitWith(0);
  }
  const std::string& command = args[0];
  if (command == "--version") version();
#ifdef QUILLET_FRONT_ONLY
  if (command == "list") list();
  if (command == "search") search();
  for (std::string_view full :
       {"doctor", "transcribe", "enhance", "ai", "record", "agent", "export", "new", "trash", "calendar"})
    if (command == full) handOver(argv);
#else
  if (command == "doctor") doctor();
  if (command == "list") list();
  if (command == "transcribe") transcribe();
  if (command == "enhance") enhance();
  if (command == "ai") ai();
  if (command == "record") record();
  if (command == "agent") agent();
  if (command == "search") search();
  if (command == "export") exportNotes();
  if (command == "new") newMeeting();
  if (command == "trash") trashMeeting();
  if (command == "calendar") calendar();
#endif
  print(usage);
  exitWith(0);
}
