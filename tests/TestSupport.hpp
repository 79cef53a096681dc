#pragma once
// Shared helpers of the test suite: throw-away folders, small builders, and the built tool run as a process.
#include <fcntl.h>
#include <glib.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
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

// The user's Trash as GIO sees it: GLib reads the data folder once per process, maybe from a folder now gone.
inline std::filesystem::path userTrash() {
  std::filesystem::path data = g_get_user_data_dir();
  std::filesystem::create_directories(data);
  return data / "Trash";
}

// Sets or clears (an absent value) environment variables for one scope, so that tests may run in any order.
class ScopedEnv {
 public:
  ScopedEnv(std::initializer_list<std::pair<std::string, std::optional<std::string>>> values) {
    for (const auto& [name, value] : values) set(name, value);
  }
  ScopedEnv(const std::string& name, const std::optional<std::string>& value) { set(name, value); }
  ~ScopedEnv() {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) put(it->first, it->second);
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

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

struct Child {
  pid_t pid = -1;
  int out = -1, err = -1;  // read ends, close-on-exec
};

// Starts `program` with exactly the environment `env`; `pid` stays -1 when it cannot. Output and error come through
// pipes, or those of `terminals` (1, 2, or 3 for both, then read in order as `out`) through a terminal.
inline Child spawnChild(const std::string& program, const std::vector<std::string>& args,
                        const std::map<std::string, std::string>& env, const std::string& cwd = "", int terminals = 0) {
  g_auto(GStrv) envp = nullptr;
  for (const auto& [k, v] : env) envp = g_environ_setenv(envp, k.c_str(), v.c_str(), true);
  // A tool built with a sanitizer reads the options (suppressions above all) the test's own process was given.
  for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS", "G_SLICE"})
    if (const char* value = std::getenv(name)) envp = g_environ_setenv(envp, name, value, false);
  std::vector<const char*> argv = {program.c_str()};
  for (const auto& a : args) argv.push_back(a.c_str());
  argv.push_back(nullptr);
  int terminal[2] = {-1, -1};  // a raw pseudo-terminal: the test's end and the child's, both close-on-exec
  if (terminals != 0) {
    if (openpty(&terminal[0], &terminal[1], nullptr, nullptr, nullptr) != 0) return {};
    termios mode;
    tcgetattr(terminal[1], &mode);
    cfmakeraw(&mode);
    tcsetattr(terminal[1], TCSANOW, &mode);
    fcntl(terminal[0], F_SETFD, FD_CLOEXEC);
    fcntl(terminal[1], F_SETFD, FD_CLOEXEC);
  }
  Child child;
  // The suite's descriptors are all close-on-exec, so none needs closing and GLib may use posix_spawn, not fork.
  auto flags = GSpawnFlags(G_SPAWN_DO_NOT_REAP_CHILD | G_SPAWN_LEAVE_DESCRIPTORS_OPEN | G_SPAWN_CLOEXEC_PIPES);
  bool started = g_spawn_async_with_pipes_and_fds(
      cwd.empty() ? nullptr : cwd.c_str(), argv.data(), envp, flags, nullptr, nullptr, -1,
      (terminals & 1) ? terminal[1] : -1, (terminals & 2) ? terminal[1] : -1, nullptr, nullptr, 0, &child.pid, nullptr,
      (terminals & 1) ? nullptr : &child.out, (terminals & 2) ? nullptr : &child.err, nullptr);
  if (terminals != 0) close(terminal[1]);
  if (terminals & 1) child.out = terminal[0];
  else if (terminals & 2) child.err = terminal[0];
  if (started) return child;
  if (terminal[0] >= 0) close(terminal[0]);
  return {};
}

// Reads once from the `fds` ready within `timeout` ms (-1: no limit); one that ended (a terminal: EIO) gets -1.
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

// Reads both streams of `child` to their ends and reaps it; a signal's end is 128 plus its number, as in shells.
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

inline Outcome run(const std::string& program, const std::vector<std::string>& args,
                   const std::map<std::string, std::string>& env, const std::string& cwd = "", int terminals = 0) {
  Child child = spawnChild(program, args, env, cwd, terminals);
  return child.pid < 0 ? Outcome{} : finish(child);
}

// The named variables of the test's own environment that are set, to hand on to a tool (the test bed's servers).
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

  // Reads until `done` holds, or `timeout` passes or both streams end (false); `done` is asked every tenth second.
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
  Outcome end() { return finish(child, seen); }

 private:
  int open_[2];
};

inline const std::string kUsage = readFile(QUILLET_SOURCE_DIR "/tests/expected/usage.txt");

// Runs the built tool with its own home, configuration and data folders, in Portuguese and São Paulo time.
class ToolTest : public ::testing::Test {
 protected:
  Running start(const std::vector<std::string>& args, std::map<std::string, std::string> extra = {}) {
    return Running(spawnChild(QUILLET_BINARY, args, environment(extra)));
  }
  std::map<std::string, std::string> environment(const std::map<std::string, std::string>& extra = {}) {
    std::map<std::string, std::string> env = base;
    for (auto& [k, v] : extra) env[k] = v;
    return env;
  }
  Outcome quillet(const std::vector<std::string>& args, std::map<std::string, std::string> extra = {},
                  int terminals = 0) {
    return run(QUILLET_BINARY, args, environment(extra), "", terminals);
  }
  void preferences(const std::string& document) {
    writeFile(dir.path() / "config" / "app.quillet.mac" / "preferences.json", document);
  }
  TempDir dir;
  // What every run gets; a fixture may add to it.
  std::map<std::string, std::string> base = {
      {"HOME", dir.path().string()}, {"XDG_CONFIG_HOME", (dir.path() / "config").string()},
      {"XDG_DATA_HOME", (dir.path() / "data").string()}, {"TZ", "America/Sao_Paulo"}, {"LANG", "pt_BR.UTF-8"},
      {"PATH", "/usr/bin:/bin"}};
};

}  // namespace quillet::test
