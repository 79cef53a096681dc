// Speed and memory of file transcription on Debian's LibriVox clips, beside
// the engine's own command-line program on the same files.
//
//   build-release/bench/SpeechBench                      # everything (the hour takes a while)
//   build-release/bench/SpeechBench --benchmark_filter=Clip
//
// Counters: rtf = wall-clock processing time over audio time; cpu_rtf = CPU
// time (this process's, or the child program's) over audio time, which
// other work on a shared machine disturbs less; peak_rss_mb = the
// process's peak resident memory so far; for the long recordings
// rss_early_mb / rss_late_mb = the largest resident size seen in the first and
// the last quarter of the run, which stay level when audio is streamed.
#include <benchmark/benchmark.h>
#include <sndfile.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "QuilletKit/PocketSphinx.hpp"
#include "QuilletKit/SpeechAssets.hpp"

using namespace quillet;
namespace fs = std::filesystem;

namespace {

const fs::path kLibriVox = "/usr/share/pocketsphinx/test/data/librivox";

std::vector<fs::path> clips() {
  std::vector<fs::path> out;
  std::ifstream in(kLibriVox / "fileids");
  for (std::string id; std::getline(in, id);)
    if (!id.empty()) out.push_back(kLibriVox / (id + ".wav"));
  return out;
}

double seconds(const fs::path& file) {
  SF_INFO info{};
  SNDFILE* f = sf_open(file.c_str(), SFM_READ, &info);
  if (!f) return 0;
  sf_close(f);
  return static_cast<double>(info.frames) / info.samplerate;
}

double peakRssMB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss / 1024.0;
}

double currentRssMB() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * static_cast<double>(sysconf(_SC_PAGESIZE)) / (1024 * 1024);
}

double cpuSeconds(int who) {
  rusage usage{};
  getrusage(who, &usage);
  auto s = [](timeval t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return s(usage.ru_utime) + s(usage.ru_stime);
}

// CPU time spent between its making and report(), by this process or its children.
class CpuClock {
 public:
  explicit CpuClock(int who = RUSAGE_SELF) : who_(who), start_(cpuSeconds(who)) {}
  void report(benchmark::State& state, double audioSeconds) const {
    double spent = cpuSeconds(who_) - start_;
    state.counters["cpu_rtf"] = spent / (audioSeconds * static_cast<double>(state.iterations()));
    state.counters["rtf"] =
        benchmark::Counter(audioSeconds, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state.counters["peak_rss_mb"] = peakRssMB();
  }

 private:
  int who_;
  double start_;
};

// The shared service keeps its decoder loaded between files.
void BM_TranscribeClip(benchmark::State& state) {
  fs::path clip = clips().at(static_cast<size_t>(state.range(0)));
  SpeechAssets::shared().transcribe(clip, MeetingLanguage::en());  // loads the model
  CpuClock cpu;
  for (auto _ : state) benchmark::DoNotOptimize(SpeechAssets::shared().transcribe(clip, MeetingLanguage::en()));
  state.SetLabel(clip.stem().string());
  cpu.report(state, seconds(clip));
}
BENCHMARK(BM_TranscribeClip)->DenseRange(0, 4)->Unit(benchmark::kMillisecond)->UseRealTime();

// A fresh service per file, loading the model each time as a new process does.
void BM_TranscribeClipCold(benchmark::State& state) {
  fs::path clip = clips().at(static_cast<size_t>(state.range(0)));
  CpuClock cpu;
  for (auto _ : state) {
    SpeechAssets assets(std::make_shared<PocketSphinxBackend>());
    benchmark::DoNotOptimize(assets.transcribe(clip, MeetingLanguage::en()));
  }
  state.SetLabel(clip.stem().string());
  cpu.report(state, seconds(clip));
}
BENCHMARK(BM_TranscribeClipCold)->DenseRange(0, 4)->Unit(benchmark::kMillisecond)->UseRealTime();

// The engine's own program on the same file, as a child process.
void BM_EngineProgramClip(benchmark::State& state) {
  fs::path clip = clips().at(static_cast<size_t>(state.range(0)));
  std::string command = "pocketsphinx_continuous -logfn /dev/null -infile '" + clip.string() + "' >/dev/null";
  CpuClock cpu(RUSAGE_CHILDREN);
  for (auto _ : state)
    if (std::system(command.c_str()) != 0) state.SkipWithError("pocketsphinx_continuous failed");
  state.SetLabel(clip.stem().string());
  cpu.report(state, seconds(clip));
}
BENCHMARK(BM_EngineProgramClip)->DenseRange(0, 4)->Unit(benchmark::kMillisecond)->UseRealTime();

// All five clips in a row: the figures over the whole set.
double allClipsSeconds() {
  double total = 0;
  for (const auto& clip : clips()) total += seconds(clip);
  return total;
}

void BM_TranscribeAllClips(benchmark::State& state) {
  SpeechAssets::shared().transcribe(clips().front(), MeetingLanguage::en());
  CpuClock cpu;
  for (auto _ : state)
    for (const auto& clip : clips()) benchmark::DoNotOptimize(SpeechAssets::shared().transcribe(clip, MeetingLanguage::en()));
  cpu.report(state, allClipsSeconds());
}
BENCHMARK(BM_TranscribeAllClips)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_TranscribeAllClipsCold(benchmark::State& state) {
  CpuClock cpu;
  for (auto _ : state)
    for (const auto& clip : clips()) {
      SpeechAssets assets(std::make_shared<PocketSphinxBackend>());
      benchmark::DoNotOptimize(assets.transcribe(clip, MeetingLanguage::en()));
    }
  cpu.report(state, allClipsSeconds());
}
BENCHMARK(BM_TranscribeAllClipsCold)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_EngineProgramAllClips(benchmark::State& state) {
  CpuClock cpu(RUSAGE_CHILDREN);
  for (auto _ : state)
    for (const auto& clip : clips()) {
      std::string command = "pocketsphinx_continuous -logfn /dev/null -infile '" + clip.string() + "' >/dev/null";
      if (std::system(command.c_str()) != 0) state.SkipWithError("pocketsphinx_continuous failed");
    }
  cpu.report(state, allClipsSeconds());
}
BENCHMARK(BM_EngineProgramAllClips)->Unit(benchmark::kMillisecond)->UseRealTime();

// The clips one after another, again and again, until `minutes` are filled.
fs::path longRecording(int minutes) {
  fs::path path = fs::temp_directory_path() / ("quillet-bench-" + std::to_string(minutes) + "min.wav");
  if (fs::exists(path)) return path;
  SF_INFO out{};
  out.samplerate = 16000;
  out.channels = 1;
  out.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  SNDFILE* target = sf_open(path.c_str(), SFM_WRITE, &out);
  sf_count_t wanted = static_cast<sf_count_t>(minutes) * 60 * 16000, written = 0;
  std::vector<short> buffer(16000);
  while (written < wanted) {
    for (const auto& clip : clips()) {
      SF_INFO info{};
      SNDFILE* source = sf_open(clip.c_str(), SFM_READ, &info);
      while (sf_count_t n = sf_read_short(source, buffer.data(), static_cast<sf_count_t>(buffer.size())))
        written += sf_write_short(target, buffer.data(), n);
      sf_close(source);
    }
  }
  sf_close(target);
  return path;
}

void BM_TranscribeLongRecording(benchmark::State& state) {
  fs::path file = longRecording(static_cast<int>(state.range(0)));
  double audio = seconds(file);
  SpeechAssets::shared().transcribe(clips().front(), MeetingLanguage::en());
  std::vector<double> samples;
  CpuClock cpu;
  for (auto _ : state) {
    std::atomic<bool> done = false;
    std::thread sampler([&] {
      while (!done) {
        samples.push_back(currentRssMB());
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
      }
    });
    benchmark::DoNotOptimize(SpeechAssets::shared().transcribe(file, MeetingLanguage::en()));
    done = true;
    sampler.join();
  }
  size_t quarter = std::max<size_t>(1, samples.size() / 4);
  state.counters["rss_early_mb"] = *std::max_element(samples.begin(), samples.begin() + static_cast<ptrdiff_t>(quarter));
  state.counters["rss_late_mb"] = *std::max_element(samples.end() - static_cast<ptrdiff_t>(quarter), samples.end());
  cpu.report(state, audio);
}
BENCHMARK(BM_TranscribeLongRecording)->Arg(6)->Arg(60)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
