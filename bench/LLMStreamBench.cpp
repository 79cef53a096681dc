// Speed of a streamed reply through the chat-completions client against a
// loopback server: throughput, per-event latency, and the cost of opening a
// stream next to a plain curl process doing the same request.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "LoopbackServer.hpp"
#include "QuilletKit/ClientWire.hpp"
#include "QuilletKit/OpenAIClient.hpp"

extern char** environ;

using namespace quillet;
using namespace quillet::test;
using Clock = std::chrono::steady_clock;

namespace {

// A chat-completions chunk as the services send them, one word of text each.
std::string event(int i) {
  return R"(data: {"id":"chatcmpl-1","object":"chat.completion.chunk","created":1767225600,"model":"gpt-5-mini",)"
         R"("choices":[{"index":0,"delta":{"content":" w)" +
         std::to_string(i % 1000) + R"("},"finish_reason":null}]})" + "\n\n";
}

OpenAIClient clientFor(const LoopbackServer& server) {
  return OpenAIClient("Bench", server.url() + "/v1", "gpt-5-mini", "key", true);
}

void Throughput(benchmark::State& state) {
  const int events = 100'000;
  std::string body;
  for (int i = 0; i < events; ++i) body += event(i);
  body += "data: [DONE]\n\n";
  LoopbackServer server([&](Connection& c) {
    c.sendHead(200);
    for (size_t at = 0; at < body.size(); at += 64 << 10)
      if (!c.sendChunk(std::string_view(body).substr(at, 64 << 10))) return;
    c.endChunks();
  });
  OpenAIClient client = clientFor(server);
  int64_t pieces = 0;
  for (auto _ : state) {
    TextStream stream = client.stream("system", "prompt");
    while (auto piece = stream.next()) {
      benchmark::DoNotOptimize(piece->data());
      ++pieces;
    }
  }
  if (pieces != events * static_cast<int64_t>(state.iterations())) state.SkipWithError("pieces lost");
  state.SetItemsProcessed(pieces);
}
BENCHMARK(Throughput)->Unit(benchmark::kMillisecond)->UseRealTime();

// From just before the server writes an event to the moment the consumer
// holds its piece; one event in flight at a time.
void Latency(benchmark::State& state) {
  const int events = 2000;
  std::vector<std::atomic<int64_t>> sentAt(events);
  std::mutex mutex;
  std::condition_variable consumed;
  int received = 0;
  LoopbackServer server([&](Connection& c) {
    c.sendHead(200);
    for (int i = 0; i < events; ++i) {
      {
        std::unique_lock lock(mutex);
        consumed.wait(lock, [&] { return received == i || c.serverStopping(); });
      }
      sentAt[i] = Clock::now().time_since_epoch().count();
      if (!c.sendChunk(event(i))) return;
    }
    c.endChunks();
  });
  OpenAIClient client = clientFor(server);
  std::vector<double> micros;
  for (auto _ : state) {
    {
      std::lock_guard lock(mutex);
      received = 0;
    }
    TextStream stream = client.stream("system", "prompt");
    while (stream.next()) {
      auto now = Clock::now().time_since_epoch().count();
      std::lock_guard lock(mutex);
      micros.push_back(static_cast<double>(now - sentAt[received]) / 1000.0);
      ++received;
      consumed.notify_one();
    }
  }
  std::sort(micros.begin(), micros.end());
  state.counters["median_us"] = micros[micros.size() / 2];
  state.counters["p99_us"] = micros[micros.size() * 99 / 100];
  state.counters["max_us"] = micros.back();
}
BENCHMARK(Latency)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

LoopbackServer shortReplies() {
  return LoopbackServer([](Connection& c) {
    c.sendHead(200);
    c.sendChunk(event(1) + "data: [DONE]\n\n");
    c.endChunks();
  });
}

// Making a client, opening a stream and reading its short reply.
void StartupClient(benchmark::State& state) {
  LoopbackServer server = shortReplies();
  for (auto _ : state) {
    OpenAIClient client = clientFor(server);
    TextStream stream = client.stream("system", "prompt");
    while (auto piece = stream.next()) benchmark::DoNotOptimize(piece->data());
  }
}
BENCHMARK(StartupClient)->Unit(benchmark::kMicrosecond)->UseRealTime();

// The same request by a curl process, as a shell script would make it.
void StartupCurlProcess(benchmark::State& state) {
  LoopbackServer server = shortReplies();
  std::string url = server.url() + "/v1/chat/completions";
  std::string body = OpenAIWire::completionsRequest(clientFor(server), "system", "prompt").body;
  std::vector<std::string> args = {"curl", "-sS", "-N", "-o", "/dev/null", "-X", "POST",
                                   "-H", "Authorization: Bearer key", "-H", "Content-Type: application/json",
                                   "-H", "X-Title: Quillet", "--data-binary", body, url};
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  for (auto _ : state) {
    pid_t pid;
    if (posix_spawnp(&pid, "curl", nullptr, nullptr, argv.data(), environ) != 0) {
      state.SkipWithError("curl is not installed");
      return;
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (status != 0) state.SkipWithError("curl failed");
  }
}
BENCHMARK(StartupCurlProcess)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
