// Speed of note enhancement: the prompts of a three-hour meeting, line
// attribution, and whole `quillet enhance` processes, with "--prompt" and
// against a loopback server that streams its whole reply at once.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>

#include "BenchSupport.hpp"
#include "LoopbackServer.hpp"
#include "QuilletKit/Enhancer.hpp"
#include "QuilletKit/Transcript.hpp"

using namespace quillet;
using namespace quillet::test;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

// 6,000 segments a side over three hours, a quarter of the user's echoing.
Meeting threeHourMeeting() {
  Meeting m;
  m.meta.id = Uuid::random();
  m.meta.title = "Planejamento anual";
  m.meta.start = Date{std::chrono::seconds{1741613400}};
  m.meta.end = m.meta.start + std::chrono::hours(3);
  m.meta.language = MeetingLanguage::pt();
  m.meta.attendees = {"Ana Souza", "Bruno Lima", "Carla Mendes"};
  m.meta.app = "us.zoom.xos";
  m.notes = "- orçamento Q2\n- contratar 2 vendedores?\n- migração DC\n";
  m.segments = bench::syntheticMeeting(6000, 10800);
  return m;
}

// What `enhance` builds before it calls a model, and `--prompt` prints.
void Prompt(benchmark::State& state) {
  Meeting m = threeHourMeeting();
  size_t size = 0;
  for (auto _ : state) {
    std::string transcript = Enhancer::transcript(m.segments);
    std::string system = Enhancer::system(m.meta.language);
    std::string prompt = Enhancer::prompt(m.meta, m.notes, transcript, false);
    size = system.size() + prompt.size();
    benchmark::DoNotOptimize(prompt.data());
  }
  state.counters["bytes"] = static_cast<double>(size);
}
BENCHMARK(Prompt)->Unit(benchmark::kMillisecond);

// 500 lines of finished notes against 200 lines of the user's notes, about a
// third of them kept word for word or nearly so.
void Attribute(benchmark::State& state) {
  std::mt19937 random(7);
  std::string notes, enhanced;
  std::vector<std::string> mine;
  for (int i = 0; i < 200; ++i) {
    mine.push_back(bench::sentence(random, 3 + static_cast<int>(random() % 6)) + " " + std::to_string(i));
    notes += (i % 3 ? "- " : "") + mine.back() + "\n";
  }
  for (int i = 0; i < 500; ++i) {
    if (i % 40 == 0) enhanced += "### " + bench::sentence(random, 3) + "\n";
    else if (i % 3 == 0) enhanced += "- **" + mine[random() % mine.size()] + "**, " + bench::sentence(random, 6) + "\n";
    else if (i % 7 == 0) enhanced += "- [ ] Ana — " + bench::sentence(random, 8) + " (sexta)\n";
    else enhanced += "- " + bench::sentence(random, 10 + static_cast<int>(random() % 10)) + ".\n";
  }
  size_t isMine = 0;
  for (auto _ : state) {
    auto lines = Enhancer::attribute(enhanced, notes);
    isMine = static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [](auto& l) { return l.isMine; }));
  }
  state.counters["mine"] = static_cast<double>(isMine);
}
BENCHMARK(Attribute)->Unit(benchmark::kMillisecond);

// A scratch store with the three-hour meeting, made once per run.
struct Scratch {
  fs::path root, folder, config;
  Scratch() {
    std::string pattern = (fs::temp_directory_path() / "quillet-bench-enhance-XXXXXX").string();
    root = ::mkdtemp(pattern.data());
    config = root / "config";
    fs::create_directories(config);
    Meeting m = threeHourMeeting();
    Meeting made = Store{root / "store"}.create(m.meta);
    made.notes = m.notes;
    made.segments = m.segments;
    Store{root / "store"}.save(made);
    Store{root / "store"}.saveTranscript(made);
    folder = made.folder;
  }
  ~Scratch() { fs::remove_all(root); }
  static Scratch& shared() {
    static Scratch scratch;
    return scratch;
  }
};

// Runs the built tool to its end, draining its output; false unless it
// exits with status 0.
bool runQuillet(const std::vector<std::string>& args, const std::map<std::string, std::string>& extra = {}) {
  std::map<std::string, std::string> env = {{"HOME", Scratch::shared().root.string()},
                                            {"XDG_CONFIG_HOME", Scratch::shared().config.string()},
                                            {"TZ", "America/Sao_Paulo"},
                                            {"LANG", "pt_BR.UTF-8"},
                                            {"no_proxy", "127.0.0.1,localhost"}};
  for (auto& [k, v] : extra) env[k] = v;
  std::vector<std::string> strings = {QUILLET_BINARY};
  strings.insert(strings.end(), args.begin(), args.end());
  std::vector<char*> argv, envp;
  for (auto& s : strings) argv.push_back(s.data());
  argv.push_back(nullptr);
  std::vector<std::string> envStrings;
  for (auto& [k, v] : env) envStrings.push_back(k + "=" + v);
  for (auto& s : envStrings) envp.push_back(s.data());
  envp.push_back(nullptr);
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) return false;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid;
  int spawned = posix_spawn(&pid, QUILLET_BINARY, &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  if (spawned != 0) {
    close(out[0]);
    return false;
  }
  char buffer[1 << 16];
  while (read(out[0], buffer, sizeof buffer) > 0) {
  }
  close(out[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The whole process of `quillet enhance <folder> --prompt` on the meeting.
void PromptProcess(benchmark::State& state) {
  for (auto _ : state)
    if (!runQuillet({"enhance", Scratch::shared().folder.string(), "--prompt"})) state.SkipWithError("quillet failed");
}
BENCHMARK(PromptProcess)->Unit(benchmark::kMillisecond)->UseRealTime();

// Quillet's own cost in a streamed `enhance`: from the server's last byte of
// a 5,000-piece reply, sent all at once, to the end of the process.
void StreamedEnhanceAfterLastByte(benchmark::State& state) {
  std::string body;
  for (int i = 0; i < 5000; ++i) {
    std::string piece = i % 12 == 11 ? "\n- " : " palavra" + std::to_string(i % 100);
    body += "event: content_block_delta\ndata: {\"type\":\"content_block_delta\",\"index\":0,\"delta\":"
            "{\"type\":\"text_delta\",\"text\":\"" + piece + "\"}}\n\n";
  }
  body += "event: message_delta\ndata: {\"type\":\"message_delta\",\"delta\":{\"stop_reason\":\"end_turn\"}}\n\n"
          "event: message_stop\ndata: {\"type\":\"message_stop\"}\n\n";
  std::atomic<int64_t> lastByte{0};
  LoopbackServer server([&](Connection& c) {
    c.sendHead(200);
    c.sendChunk(body);
    c.endChunks();
    lastByte = Clock::now().time_since_epoch().count();
    c.waitForClose(std::chrono::seconds(10));
  });
  std::vector<std::string> args = {"enhance", Scratch::shared().folder.string(), "--provider", "anthropic",
                                   "--base-url", server.url()};
  for (auto _ : state) {
    lastByte = 0;
    bool ok = runQuillet(args, {{"QUILLET_API_KEY", "sk-bench"}});
    int64_t ended = Clock::now().time_since_epoch().count();
    if (!ok || lastByte == 0) {
      state.SkipWithError("quillet enhance failed");
      break;
    }
    state.SetIterationTime(static_cast<double>(ended - lastByte) / 1e9);
  }
}
BENCHMARK(StreamedEnhanceAfterLastByte)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(30);

}  // namespace

BENCHMARK_MAIN();
