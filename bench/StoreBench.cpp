#include <benchmark/benchmark.h>

#include <cstdlib>

#include "BenchSupport.hpp"
#include "QuilletKit/Files.hpp"
#include "QuilletKit/Search.hpp"

using namespace quillet;
namespace fs = std::filesystem;

static fs::path benchStore() {
  const char* path = std::getenv("QUILLET_BENCH_STORE");
  return path && *path ? path : "/tmp/quillet-bench-store";
}

// 2,000 meetings with 500-segment transcripts, warm cache.
static void BM_List(benchmark::State& state) {
  bench::makeStore(benchStore(), 2000, 500);
  Store store{benchStore()};
  size_t count = 0;
  for (auto _ : state) count = store.list().size();
  state.counters["meetings"] = static_cast<double>(count);
}
BENCHMARK(BM_List)->Unit(benchmark::kMillisecond)->MinTime(2.0);

// Search reads what list reads and folds every line on top: it should cost
// no more than half as much again. Arg 0: a common word (most meetings hit);
// arg 1: two words that rarely meet in one line.
static void BM_Search(benchmark::State& state) {
  bench::makeStore(benchStore(), 2000, 500);
  Store store{benchStore()};
  auto words = Search::words(state.range(0) == 0 ? "orçamento" : "decisão métrica receita");
  size_t hits = 0;
  for (auto _ : state) {
    hits = 0;
    Search::run(store, words, [&](const Search::Hit&) { ++hits; });
  }
  state.counters["hits"] = static_cast<double>(hits);
}
BENCHMARK(BM_Search)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->MinTime(2.0);

// Appending must not cost more on a long transcript than on a short one.
static void BM_Append(benchmark::State& state) {
  fs::path folder = fs::temp_directory_path() / ("quillet-bench-append-" + std::to_string(state.range(0)));
  fs::remove_all(folder);
  fs::create_directories(folder);
  Store store{folder.parent_path()};
  Meeting meeting{MeetingMeta{}, folder, "", std::nullopt,
                  bench::syntheticMeeting(static_cast<int>(state.range(0) / 2), 3600)};
  store.saveTranscript(meeting);
  Segment segment{Uuid::random(), Speaker::me, 1.0, 2.0, "uma frase curta de teste para anexar"};
  for (auto _ : state) store.append(segment, folder);
  fs::remove_all(folder);
}
BENCHMARK(BM_Append)->Arg(10)->Arg(100000)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
