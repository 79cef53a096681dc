#include <benchmark/benchmark.h>

#include <chrono>
#include <ctime>
#include <fstream>
#include <string>

#include "QuilletKit/CalendarWatcher.hpp"
#include "QuilletKit/MainContext.hpp"
#include "QuilletKit/VdirCalendar.hpp"

using namespace quillet;
namespace fs = std::filesystem;

namespace {

// "20250310T130000Z" for a moment.
std::string icsTime(std::chrono::sys_seconds t) {
  time_t seconds = t.time_since_epoch().count();
  std::tm tm{};
  gmtime_r(&seconds, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &tm);
  return text;
}

// A vdir calendar of `count` events repeating every second, from `since`,
// each with a description of `descriptionBytes`.
fs::path secondlyCalendar(int count, size_t descriptionBytes, std::chrono::sys_seconds since) {
  fs::path root = fs::temp_directory_path() / "quillet-bench-secondly";
  fs::remove_all(root);
  fs::create_directories(root / "work");
  std::string description(descriptionBytes, 'x');
  for (int i = 0; i < count; ++i) {
    std::ofstream(root / "work" / ("event-" + std::to_string(i) + ".ics"))
        << "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//bench//EN\r\nBEGIN:VEVENT\r\nUID:secondly-" << i
        << "\r\nSUMMARY:Every second\r\nDTSTART:" << icsTime(since)
        << "\r\nDURATION:PT1S\r\nRRULE:FREQ=SECONDLY\r\nDESCRIPTION:"
        << description << "\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n";
  }
  return root;
}

// One refresh of the watcher over fifty such events, as the main thread pays
// it. Arguments: the length of each description, and whether the series
// began an hour ago (0) or in 2020 (1).
void BM_RefreshFiftySecondlyEvents(benchmark::State& state) {
  auto now = std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now());
  auto since = state.range(1) ? std::chrono::sys_seconds(std::chrono::sys_days(std::chrono::year(2020) / 1 / 1))
                              : now - std::chrono::hours(1);
  auto store = std::make_shared<VdirCalendarStore>(
      secondlyCalendar(50, static_cast<size_t>(state.range(0)), since));
  auto watcher = CalendarWatcher::make(store, MainContext::main());
  size_t listed = 0;
  for (auto _ : state) {
    watcher->refresh();
    listed = watcher->upcoming().size();
  }
  state.counters["upcoming"] = static_cast<double>(listed);
}
BENCHMARK(BM_RefreshFiftySecondlyEvents)->Args({16, 0})->Args({10240, 0})->Args({16, 1})->Unit(benchmark::kMillisecond)->MinTime(1.0);

}  // namespace

BENCHMARK_MAIN();
