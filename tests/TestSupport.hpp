#pragma once
// Shared helpers of the test suite: throw-away folders, small builders, and
// the built tool run as a process.
#include <fcntl.h>
#include <glib.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "QuilletKit/Meeting.hpp"

namespace quillet::test {

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "quillet-test-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all, ignored);
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

inline void writeFile(const std::filesystem::path& path, const std::string& bytes) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

inline std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// The user's Trash as GIO sees it. GLib reads the data folder once per
// process, so a test that set XDG_DATA_HOME earlier decides it; the folder is
// made again in case that test's temporary folder is gone.
inline std::filesystem::path userTrash() {
  std::filesystem::path data = g_get_user_data_dir();
  std::filesystem::create_directories(data);
  return data / "Trash";
}

// Sets or clears environment variables for one scope and puts back what was
// there before, so that tests may run in one process in any order. "TZ" takes
// effect at once both ways.
class ScopedEnv {
 public:
  ScopedEnv() = default;
  ScopedEnv(std::initializer_list<std::pair<std::string, std::optional<std::string>>> values) {
    for (const auto& [name, value] : values) set(name, value);
  }
  ScopedEnv(const std::string& name, const std::optional<std::string>& value) { set(name, value); }
  ~ScopedEnv() {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) put(it->first, it->second);
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

  // An absent value unsets the variable.
  void set(const std::string& name, const std::optional<std::string>& value) {
    const char* old = std::getenv(name.c_str());
    saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
    put(name, value);
  }

 private:
  static void put(const std::string& name, const std::optional<std::string>& value) {
    value ? ::setenv(name.c_str(), value->c_str(), 1) : ::unsetenv(name.c_str());
    if (name == "TZ") ::tzset();
  }
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

inline Segment segment(Speaker who, double start, double end, std::string text) {
  return Segment{Uuid::random(), who, start, end, std::move(text)};
}

inline MeetingMeta meta(std::string title, const char* iso = "2025-03-01T14:05:00Z") {
  MeetingMeta m;
  m.id = Uuid::random();
  m.title = std::move(title);
  m.start = *parseISO8601(iso);
  m.language = MeetingLanguage::pt();
  return m;
}

// The message of what `action` threw, or "(no failure)".
template <typename Action>
std::string failure(Action&& action) {
  try {
    action();
  } catch (const std::exception& error) {
    return error.what();
  }
  return "(no failure)";
}

struct Outcome {
  std::string out, err;
  int status = -1;
  int signal = 0;  // the signal that ended the process, if one did
};

// A started process whose standard output and error come through pipes.
struct Child {
  pid_t pid = -1;
  int out = -1, err = -1;  // read ends, close-on-exec
};

// posix_spawn of `program` with `args` and exactly `env`, then `actions`
// destroyed: the child's pid, or -1.
inline pid_t spawnWith(const std::string& program, const std::vector<std::string>& args,
                       const std::map<std::string, std::string>& env, posix_spawn_file_actions_t& actions) {
  std::vector<std::string> argvStrings = {program};
  argvStrings.insert(argvStrings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argvStrings) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> envStrings;
  for (auto& [k, v] : env) envStrings.push_back(k + "=" + v);
  // A tool built with a sanitizer reads the options (suppressions above all)
  // that the test's own process was given, whatever else it is told.
  for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS", "G_SLICE"})
    if (const char* value = std::getenv(name); value && !env.contains(name))
      envStrings.push_back(std::string(name) + "=" + value);
  std::vector<char*> envp;
  for (auto& e : envStrings) envp.push_back(e.data());
  envp.push_back(nullptr);
  pid_t pid = 0;
  int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  return spawned == 0 ? pid : -1;
}

// Starts `program` with nothing on standard input and `out` and `err` (which
// may be one) as its output: `reading` with its pid, or -1 and its ends closed.
inline Child spawnInto(const std::string& program, const std::vector<std::string>& args,
                       const std::map<std::string, std::string>& env, int out, int err, Child reading,
                       const std::string& cwd = "") {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out, 1);
  posix_spawn_file_actions_adddup2(&actions, err, 2);
  if (!cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
  reading.pid = spawnWith(program, args, env, actions);
  close(out);
  if (err != out) close(err);
  if (reading.pid >= 0) return reading;
  for (int fd : {reading.out, reading.err})
    if (fd >= 0) close(fd);
  return {};
}

// Starts `program` with `args` and exactly the environment `env`, feeding
// nothing on standard input. `pid` stays -1 when it cannot be started.
inline Child spawnChild(const std::string& program, const std::vector<std::string>& args,
                        const std::map<std::string, std::string>& env, const std::string& cwd = "") {
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0) return {};
  if (pipe2(err, O_CLOEXEC) != 0) {
    close(out[0]);
    close(out[1]);
    return {};
  }
  return spawnInto(program, args, env, out[1], err[1], {-1, out[0], err[0]}, cwd);
}

// Reads once from whichever of `fds` is ready within `timeout` ms (-1: no
// limit) into `seen`; a stream that ended gets -1 (its descriptor stays open).
// A terminal's end reads EIO once the child is gone, like a pipe's EOF.
inline void readReady(int (&fds)[2], Outcome& seen, int timeout) {
  pollfd polled[2] = {{fds[0], POLLIN, 0}, {fds[1], POLLIN, 0}};
  if (poll(polled, 2, timeout) <= 0) return;
  std::string* sinks[2] = {&seen.out, &seen.err};
  for (int i = 0; i < 2; ++i) {
    if (fds[i] < 0 || !(polled[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
    char buffer[65536];
    ssize_t n = read(fds[i], buffer, sizeof buffer);
    if (n > 0) sinks[i]->append(buffer, static_cast<size_t>(n));
    else fds[i] = -1;
  }
}

// Reads both pipes of `child` to their ends, then reaps it. A child killed by
// a signal reports 128 plus the signal's number, as shells do.
inline Outcome finish(Child child, Outcome outcome = {}) {
  int open[2] = {child.out, child.err};
  while (open[0] >= 0 || open[1] >= 0) readReady(open, outcome, -1);
  for (int fd : {child.out, child.err})
    if (fd >= 0) close(fd);
  int status = 0;
  waitpid(child.pid, &status, 0);
  outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  outcome.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  return outcome;
}

// A pseudo-terminal in raw mode: the end a test reads and the terminal a
// child writes to, both close-on-exec.
inline bool rawTerminal(int& reading, int& terminal) {
  if (openpty(&reading, &terminal, nullptr, nullptr, nullptr) != 0) return false;
  termios mode;
  tcgetattr(terminal, &mode);
  cfmakeraw(&mode);
  tcsetattr(terminal, TCSANOW, &mode);
  fcntl(reading, F_SETFD, FD_CLOEXEC);
  fcntl(terminal, F_SETFD, FD_CLOEXEC);
  return true;
}

// Starts `program` as `spawnChild` does, but with one terminal as its
// standard output and error. The child's `out` reads what the terminal
// shows, both streams in the order written; `err` is -1.
inline Child spawnOnTerminal(const std::string& program, const std::vector<std::string>& args,
                             const std::map<std::string, std::string>& env) {
  int reading = -1, terminal = -1;
  if (!rawTerminal(reading, terminal)) return {};
  return spawnInto(program, args, env, terminal, terminal, {-1, reading, -1});
}

// Runs `program` with `args` and exactly the environment `env`, feeding
// nothing on standard input, and gathers both output streams.
inline Outcome run(const std::string& program, const std::vector<std::string>& args,
                   const std::map<std::string, std::string>& env, const std::string& cwd = "") {
  Child child = spawnChild(program, args, env, cwd);
  return child.pid < 0 ? Outcome{} : finish(child);
}

// Runs `program` as `run` does, but with the descriptor `terminal` (1 or 2)
// on a terminal, whose bytes land in `out` or `err`.
inline Outcome runOnTerminal(const std::string& program, const std::vector<std::string>& args,
                             const std::map<std::string, std::string>& env, int terminal) {
  int reading = -1, shown = -1, other[2];
  if (!rawTerminal(reading, shown)) return {};
  if (pipe2(other, O_CLOEXEC) != 0) return {};
  Child child = terminal == 1 ? spawnInto(program, args, env, shown, other[1], {-1, reading, other[0]})
                              : spawnInto(program, args, env, other[1], shown, {-1, other[0], reading});
  return child.pid < 0 ? Outcome{} : finish(child);
}

// Those of the named variables of the test's own environment that are set,
// to hand on to a tool (the test bed's servers, for instance).
inline std::map<std::string, std::string> inherited(std::initializer_list<const char*> names) {
  std::map<std::string, std::string> env;
  for (const char* name : names)
    if (const char* value = std::getenv(name)) env[name] = value;
  return env;
}

// A started process read as it goes, for tools that run until told to stop.
struct Running {
  explicit Running(Child started) : child(started), open_{started.out, started.err} {}
  Child child;
  Outcome seen;  // what came so far

  // Reads both pipes until `done` holds, or `timeout` passes (false), or both
  // pipes end (whether `done` holds then). `done` is asked at least every
  // tenth of a second, so it may look at more than the output.
  bool waitFor(const std::function<bool(const Outcome&)>& done, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done(seen)) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if ((open_[0] < 0 && open_[1] < 0) || left.count() <= 0) return false;
      readReady(open_, seen, static_cast<int>(std::min<long>(left.count(), 100)));
    }
    return true;
  }
  bool waitForOutput(const std::string& text, std::chrono::milliseconds timeout) {
    return waitFor([&](const Outcome& o) { return o.out.find(text) != std::string::npos; }, timeout);
  }
  void signal(int number) { ::kill(child.pid, number); }
  // Reads to the end and reaps the process.
  Outcome end() { return finish(child, seen); }

 private:
  int open_[2];
};

// The usage text as the tool prints it.
inline const std::string kUsage = readFile(QUILLET_SOURCE_DIR "/tests/expected/usage.txt");

// A test that runs the built tool with its own home, configuration and data
// folders, Brazilian Portuguese and São Paulo time unless told otherwise.
class ToolTest : public ::testing::Test {
 protected:
  // The tool started and left running, read as it goes.
  Running start(const std::vector<std::string>& args, std::map<std::string, std::string> extra = {}) {
    return Running(spawnChild(QUILLET_BINARY, args, environment(extra)));
  }
  std::map<std::string, std::string> environment(const std::map<std::string, std::string>& extra = {}) {
    std::map<std::string, std::string> env = {{"HOME", dir.path().string()},
                                              {"XDG_CONFIG_HOME", (dir.path() / "config").string()},
                                              {"XDG_DATA_HOME", (dir.path() / "data").string()},
                                              {"TZ", "America/Sao_Paulo"},
                                              {"LANG", "pt_BR.UTF-8"},
                                              {"PATH", "/usr/bin:/bin"}};
    for (auto& [k, v] : extra) env[k] = v;
    return env;
  }
  Outcome quillet(const std::vector<std::string>& args, std::map<std::string, std::string> extra = {}) {
    return run(QUILLET_BINARY, args, environment(extra));
  }
  // The same with a terminal as standard output and error; all is in `out`.
  Outcome quilletOnTerminal(const std::vector<std::string>& args, std::map<std::string, std::string> extra = {}) {
    Child child = spawnOnTerminal(QUILLET_BINARY, args, environment(extra));
    return child.pid < 0 ? Outcome{} : finish(child);
  }
  void preferences(const std::string& document) {
    writeFile(dir.path() / "config" / "app.quillet.mac" / "preferences.json", document);
  }
  TempDir dir;
};

}  // namespace quillet::test
