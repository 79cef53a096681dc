#pragma once
// The PulseAudio server of scripts/with-services.sh: the default sink "quillet_a", whose monitor is the default source.
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

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

}  // namespace quillet::test
