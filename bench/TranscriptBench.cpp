#include <benchmark/benchmark.h>

#include "BenchSupport.hpp"
#include "QuilletKit/Reference.hpp"
#include "QuilletKit/Text.hpp"
#include "QuilletKit/Transcript.hpp"

using namespace quillet;

// A three-hour meeting: 6,000 segments a side over 10,800 s.
static void BM_RemovingEcho(benchmark::State& state) {
  auto segments = bench::syntheticMeeting(6000, 10800);
  size_t kept = 0;
  for (auto _ : state)
    kept = Transcript::removingEcho(segments, Transcript::kEchoWindow, Transcript::kEchoThreshold).size();
  state.counters["kept"] = static_cast<double>(kept);
}
BENCHMARK(BM_RemovingEcho)->Unit(benchmark::kMillisecond);

static void BM_RemovingEchoReference(benchmark::State& state) {
  auto segments = bench::syntheticMeeting(static_cast<int>(state.range(0)), 10800 * state.range(0) / 6000.0);
  for (auto _ : state)
    benchmark::DoNotOptimize(
        reference::removingEcho(segments, Transcript::kEchoWindow, Transcript::kEchoThreshold));
}
BENCHMARK(BM_RemovingEchoReference)->Arg(500)->Unit(benchmark::kMillisecond);

static void BM_Plain(benchmark::State& state) {
  auto segments = bench::syntheticMeeting(6000, 10800);
  for (auto _ : state) benchmark::DoNotOptimize(Transcript::plain(segments));
}
BENCHMARK(BM_Plain)->Unit(benchmark::kMillisecond);

static void BM_Words(benchmark::State& state) {
  auto segments = bench::syntheticMeeting(6000, 10800);
  for (auto _ : state)
    for (const auto& s : segments) benchmark::DoNotOptimize(text::comparisonWords(s.text));
}
BENCHMARK(BM_Words)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
