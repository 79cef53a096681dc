// The live side's capture path and live recognition.
//
//   build-release/bench/LiveAudioBench --benchmark_filter=Capture
//   build-release/bench/LiveAudioBench --benchmark_filter=RealTime   # about 40 s
//   build-release/bench/LiveAudioBench --benchmark_filter=Hour       # an hour of audio, as fast as recognised
//
// Counters: us_per_block = the microphone hub's work per 4096-frame stereo
// block (deinterleave, copy, hand to three subscribers, one level), the
// scripted server's hand-over amortised over 256 blocks; cpu_cores = CPU time
// over audio time while audio is fed at real-time pace (1 = one whole core);
// final_latency_mean_s / _max_s = how long after its speech ended (its end
// time, fed at real-time pace) each final segment arrived, and
// final_audio_lag_max_s = how much audio past that end had been fed by then
// (what the detector needs to hear, apart from the time spent computing); rss_early_mb /
// rss_late_mb = the largest resident size seen in the first and last quarter
// of the long feed.
#include <benchmark/benchmark.h>
#include <sndfile.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "QuilletKit/LiveTranscriber.hpp"
#include "QuilletKit/MicHub.hpp"
#include "QuilletKit/Resampler.hpp"
#include "ScriptedSoundServer.hpp"

using namespace quillet;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

const fs::path kLibriVox = "/usr/share/pocketsphinx/test/data/librivox";
constexpr double kSinkRate = 44100;  // what a PulseAudio sink runs at unless told otherwise
constexpr size_t kClips = 5;         // each one utterance

void BM_CaptureBlock(benchmark::State& state) {
  auto server = std::make_shared<test::ScriptedSoundServer>();
  server->format = {48000, 2};
  MicHub hub(server);
  std::atomic<size_t> frames = 0;
  for (int i = 0; i < 3; ++i) hub.subscribe([&](const AudioBuffer& b) { frames += b.frameLength(); });
  float level = 0;
  hub.subscribe([](const AudioBuffer&) {}, [&](float l) { level = l; });
  std::vector<float> chunk(2 * 4096);
  for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = 0.1f * static_cast<float>(i % 100) / 100;
  constexpr int kBatch = 256;
  for (auto _ : state) server->deliver(chunk, kBatch);
  benchmark::DoNotOptimize(level);
  state.counters["us_per_block"] = benchmark::Counter(static_cast<double>(state.iterations()) * kBatch * 1e-6,
                                                      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_CaptureBlock)->Unit(benchmark::kMillisecond)->UseRealTime();

// The five clips, each followed by two seconds of silence, mono at the
// sink's rate, as the tap hands them over.
std::vector<float> clipsAtSinkRate() {
  std::vector<float> out;
  std::ifstream ids(kLibriVox / "fileids");
  for (std::string id; std::getline(ids, id);) {
    if (id.empty()) continue;
    SF_INFO info{};
    SNDFILE* f = sf_open((kLibriVox / (id + ".wav")).c_str(), SFM_READ, &info);
    if (!f) continue;
    std::vector<float> clip(static_cast<size_t>(info.frames));
    sf_readf_float(f, clip.data(), info.frames);
    sf_close(f);
    clip.resize(clip.size() + 2 * static_cast<size_t>(info.samplerate), 0.0f);
    Resampler(info.samplerate, kSinkRate).process(clip, out, true);
  }
  return out;
}

double cpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto s = [](timeval t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return s(usage.ru_utime) + s(usage.ru_stime);
}

double currentRssMB() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * static_cast<double>(sysconf(_SC_PAGESIZE)) / (1024 * 1024);
}

// Feeds `audio` in 4096-frame views, `pace` times faster than real time,
// `rounds` times over; returns the segments with the wall-clock time at
// which each arrived, counted from the first feed.
struct Arrival {
  Segment segment;
  double at;      // wall-clock seconds
  double heard;   // seconds of audio fed by then
};

// With `perRound` > 0, a round starts only once the one before the last has
// settled that many segments, so that recognition never falls far enough
// behind for the transcriber to drop audio, however busy the machine is.
std::vector<Arrival> feed(const std::vector<float>& audio, double pace, int rounds,
                          const std::function<void()>& everyBlock = {}, size_t perRound = 0) {
  std::mutex mutex;
  std::condition_variable settled;
  std::vector<Arrival> arrivals;
  Clock::time_point t0;
  std::atomic<double> heard = 0;
  auto transcriber = LiveTranscriber::start(MeetingLanguage::en(), Speaker::them, {}, [&](const Segment& s) {
    std::lock_guard lock(mutex);
    arrivals.push_back({s, std::chrono::duration<double>(Clock::now() - t0).count(), heard.load()});
    settled.notify_all();
  });
  t0 = Clock::now();
  size_t fed = 0;
  for (int r = 0; r < rounds; ++r) {
    if (perRound > 0 && r >= 2) {
      std::unique_lock lock(mutex);
      settled.wait_for(lock, std::chrono::seconds(60),
                       [&] { return arrivals.size() >= perRound * static_cast<size_t>(r - 1); });
    }
    for (size_t at = 0; at < audio.size(); at += 4096) {
      const float* channel[] = {audio.data() + at};
      auto n = static_cast<uint32_t>(std::min<size_t>(4096, audio.size() - at));
      fed += n;
      // A block can be handed over only once all of it has been heard.
      std::this_thread::sleep_until(t0 + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(fed / kSinkRate / pace)));
      transcriber->feed(*AudioBuffer::viewing({kSinkRate, 1}, channel, n));
      heard = fed / kSinkRate;
      if (everyBlock) everyBlock();
    }
  }
  transcriber->finish();
  return arrivals;
}

void BM_LiveRecognitionRealTime(benchmark::State& state) {
  auto audio = clipsAtSinkRate();
  const double seconds = static_cast<double>(audio.size()) / kSinkRate;
  std::vector<Arrival> arrivals;
  double cpu = 0;
  for (auto _ : state) {
    double before = cpuSeconds();
    arrivals = feed(audio, 1.0, 1);
    cpu = cpuSeconds() - before;
  }
  double sum = 0, worst = 0, lag = 0;
  for (const auto& a : arrivals) {
    double latency = a.at - a.segment.end;
    sum += latency;
    worst = std::max(worst, latency);
    lag = std::max(lag, a.heard - a.segment.end);
  }
  state.counters["final_audio_lag_max_s"] = lag;
  state.counters["cpu_cores"] = cpu / seconds;
  state.counters["segments"] = static_cast<double>(arrivals.size());
  state.counters["final_latency_mean_s"] = arrivals.empty() ? 0 : sum / static_cast<double>(arrivals.size());
  state.counters["final_latency_max_s"] = worst;
}
BENCHMARK(BM_LiveRecognitionRealTime)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

void BM_LiveRecognitionHour(benchmark::State& state) {
  auto audio = clipsAtSinkRate();
  const double seconds = static_cast<double>(audio.size()) / kSinkRate;
  const int rounds = static_cast<int>(std::ceil(3600 / seconds));
  std::vector<double> rss;
  size_t segments = 0;
  for (auto _ : state) {
    size_t block = 0;
    segments = feed(
                   audio, 1000, rounds, [&] { if (++block % 64 == 0) rss.push_back(currentRssMB()); }, kClips)
                   .size();
  }
  size_t quarter = std::max<size_t>(1, rss.size() / 4);
  state.counters["audio_s"] = rounds * seconds;
  state.counters["segments"] = static_cast<double>(segments);
  state.counters["expected_segments"] = static_cast<double>(rounds * kClips);
  state.counters["rss_early_mb"] = *std::max_element(rss.begin(), rss.begin() + static_cast<ptrdiff_t>(quarter));
  state.counters["rss_late_mb"] = *std::max_element(rss.end() - static_cast<ptrdiff_t>(quarter), rss.end());
}
BENCHMARK(BM_LiveRecognitionHour)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
