#pragma once
// The PulseAudio server of scripts/with-services.sh: the default sink "quillet_a", whose monitor is the default source.
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <numeric>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "QuilletKit/AudioBuffer.hpp"

#include "AudioSupport.hpp"
#include "TestSupport.hpp"

namespace quillet::test {

#define REQUIRE_SOUND_SERVER()                                               \
  if (const char* server = std::getenv("PULSE_SERVER"); !server || !*server) \
  GTEST_SKIP() << "PULSE_SERVER is not set (run under scripts/with-services.sh)"

inline std::string pactl(const std::vector<std::string>& args) {
  return run("/usr/bin/pactl", args, inherited({"PULSE_SERVER", "HOME", "XDG_RUNTIME_DIR"})).out;
}

// Plays a sound file into a sink at its own pace; returns when it is over.
inline bool play(const std::filesystem::path& file, const std::string& sink) {
  std::string command = "paplay --device=" + sink + " '" + file.string() + "'";
  return std::system(command.c_str()) == 0;
}

// Σ x² over the sample rate of what a capture client hears of channel 0, from the capture's thread: the same for a clip
// and for that clip with silence around it, whatever the rate it was carried at.
struct Heard {
  static double energy(std::span<const float> samples, double rate) {
    return std::inner_product(samples.begin(), samples.end(), samples.begin(), 0.0) / rate;
  }
  void buffer(const AudioBuffer& b) {
    std::lock_guard lock(mutex);
    heard += energy(b.channel(0), b.sampleRate());
  }
  // Plays `clip` into `sink` and checks that all of it was heard; then forgets it.
  void expectToHear(const std::filesystem::path& clip, const std::string& sink) {
    Sound file = readSound(clip);
    ASSERT_TRUE(play(clip, sink));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the last chunk's way through the server
    std::lock_guard lock(mutex);
    const double expected = energy(file.samples, file.rate);
    EXPECT_NEAR(heard, expected, 0.1 * expected) << sink;
    heard = 0;
  }

  std::mutex mutex;
  double heard = 0;
};

}  // namespace quillet::test
