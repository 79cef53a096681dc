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
#include "QuilletKit/Localization.hpp"
#include "QuilletKit/NoteWriter.hpp"
#include "QuilletKit/Paths.hpp"
#include "QuilletKit/Preferences.hpp"
#include "QuilletKit/SpeechAssets.hpp"
#include "QuilletKit/Store.hpp"
#include "QuilletKit/Text.hpp"
#include "QuilletKit/Transcript.hpp"

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

void print(const std::string& line) {
  std::string text = displayed(line, STDOUT_FILENO);
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fputc('\n', stdout);
}

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

#ifndef QUILLET_FRONT_ONLY
// Takes "name value", or "name=value", out of `args`; a name without a
// value stays put.
std::optional<std::string> option(const std::string& name) {
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

[[noreturn]] void enhance() {
  ProviderConfig chosen = provider(prefs);
  bool promptOnly = flag("--prompt");
  if (args.size() < 2) fail(usage);
  std::filesystem::path folder = folderArgument(args[1]);
  auto meeting = Store{folder.parent_path()}.load(folder);
  if (!meeting) fail(tr("não achei meta.json em ") + folder.string());
  if (promptOnly) {
    print(Enhancer::system(meeting->meta.language));
    print("\n---\n");
    std::string transcript = Enhancer::transcript(meeting->segments);
    print(Enhancer::prompt(meeting->meta, meeting->notes, transcript, false));
    exitWith(0);
  }
  endByInterrupt();
  try {
    NoteWriter::Result result = NoteWriter::write(*meeting, chosen, prefs.localFallback, nullptr);
    print(result.text);
    std::fflush(stdout);
    std::fprintf(stderr, "(%s)\n", displayed(result.usedLabel, STDERR_FILENO).c_str());
  } catch (const std::exception& error) {
    fail(tr("erro: ") + describe(error));
  }
  exitWith(0);
}

[[noreturn]] void aiModels(const ProviderConfig& chosen) {
  try {
    for (const std::string& model : chosen.models()) print(model);
  } catch (const std::exception& error) {
    fail(tr("erro: ") + describe(error));
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
    fail(tr("erro: ") + describe(error));
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
  print(labelled(tr("Notas:"), prefs.storageRoot().string()));
  for (const MeetingLanguage& language : MeetingLanguage::all())
    print(labelled(tr("Fala ") + language.shortName() + ":", SpeechAssets::shared().status(language)));
  print(labelled(tr("IA da Apple:"), AppleClient::availability()));
  ProviderConfig selected = prefs.provider();
  print(labelled(tr("IA escolhida:"), selected.name + " \u00B7 " + selected.model + " \u00B7 " +
                                          (selected.hasKey() ? tr("com chave") : tr("sem chave"))));
  print(labelled(tr("Fallback:"), prefs.localFallback ? tr("IA da Apple") : tr("desligado")));
  print(labelled(tr("Ditado:"), (prefs.dictationEnabled ? prefs.dictationShortcut.display() : tr("desligado")) +
                                    " (" + prefs.dictationLanguage.shortName() + ")"));
  print(labelled(tr("Calendário:"), CalendarWatcher::isAuthorized() ? tr("liberado") : tr("sem acesso")));
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

[[noreturn]] void list() {
  for (const Meeting& meeting : Store{prefs.storageRoot()}.list()) {
    const char* mark = meeting.enhanced ? "\u2726" : meeting.segments.empty() ? "\u00B7" : "\u25CB";
    // One meeting per line: on a terminal a title cannot start another.
    print(std::string(mark) + " " + formatForUser(meeting.meta.start) + "  " +
          displayed(meeting.meta.title, STDOUT_FILENO, /*singleLine=*/true) + "  [" +
          std::to_string(meeting.segments.size()) + tr(" trechos]"));
  }
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
  args.assign(argv + 1, argv + argc);
  prefs = Preferences::load();

  if (args.empty()) {
    print(usage);
    exitWith(0);
  }
  const std::string& command = args[0];
#ifdef QUILLET_FRONT_ONLY
  if (command == "list") list();
  if (command == "doctor" || command == "transcribe" || command == "enhance" || command == "ai" ||
      command == "record" || command == "agent")
    handOver(argv);
#else
  if (command == "doctor") doctor();
  if (command == "list") list();
  if (command == "transcribe") transcribe();
  if (command == "enhance") enhance();
  if (command == "ai") ai();
  if (command == "record") record();
  if (command == "agent") agent();
#endif
  print(usage);
  exitWith(0);
}
