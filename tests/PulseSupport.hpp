#pragma once
// The private PulseAudio server of scripts/with-services.sh: null sinks
// "quillet_a" (the default sink, whose monitor is the default source) and
// "quillet_b". Tests that need it skip when PULSE_SERVER is not set.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <span>
#include <string>

#include "TestSupport.hpp"

namespace quillet::test {

inline bool haveSoundServer() {
  const char* server = std::getenv("PULSE_SERVER");
  return server && *server;
}

#define REQUIRE_SOUND_SERVER() \
  if (!::quillet::test::haveSoundServer()) GTEST_SKIP() << "PULSE_SERVER is not set (run under scripts/with-services.sh)"

inline std::string pactl(const std::string& args) {
  std::string out;
  FILE* pipe = popen(("pactl " + args + " 2>&1").c_str(), "r");
  if (!pipe) return out;
  char buffer[4096];
  while (size_t n = fread(buffer, 1, sizeof buffer, pipe)) out.append(buffer, n);
  pclose(pipe);
  return out;
}

// Plays a sound file into a sink at its own pace; returns when it is over.
inline bool play(const std::filesystem::path& file, const std::string& sink) {
  std::string command = "paplay --device=" + sink + " '" + file.string() + "'";
  return std::system(command.c_str()) == 0;
}

// Puts the default sink back as with-services.sh left it, whatever a test did.
struct DefaultSinkGuard {
  ~DefaultSinkGuard() { pactl("set-default-sink quillet_a"); }
};

}  // namespace quillet::test

namespace quillet::test {

// Σ x² over the sample rate: the same for a sound and for that sound with
// silence around it, whatever the rate it was carried at.
inline double energy(std::span<const float> samples, double rate) {
  double sum = 0;
  for (float s : samples) sum += static_cast<double>(s) * s;
  return sum / rate;
}

}  // namespace quillet::test
