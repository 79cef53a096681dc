#pragma once
// Internal, not installed: the sound server as the meeting detector sees
// it, a list of processes with their running-input state, and the
// detector made over any such list (tests give a substitute).
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "QuilletKit/MainContext.hpp"
#include "QuilletKit/MeetingDetector.hpp"

namespace quillet {

struct AudioProcess {
  uint32_t id = 0;
  std::optional<std::string> bundleID;
  bool runningInput = false;

  friend bool operator==(const AudioProcess&, const AudioProcess&) = default;
};

// Main thread only; observers are called on the main context, never from
// inside a call made to the list.
class AudioProcessList {
 public:
  virtual ~AudioProcessList() = default;
  // The processes that do audio, in the server's order; empty when unknown.
  virtual std::vector<AudioProcess> processes() = 0;
  // Calls `changed` after the list changed. Null when refused.
  virtual std::unique_ptr<Registration> observeList(std::function<void()> changed) = 0;
  // Calls `changed` after the process's running-input state changed. Null when refused.
  virtual std::unique_ptr<Registration> observeInput(uint32_t process, std::function<void()> changed) = 0;
};

// PulseAudio's clients and source outputs, read through its GLib main-loop
// adapter while someone observes the list.
std::shared_ptr<AudioProcessList> pulseAudioProcesses(std::shared_ptr<MainContext> context);

// A client's bundle identifier: its "application.id", else the catalog
// prefix that its Flatpak id or its binary stands for.
std::optional<std::string> clientBundleID(const char* applicationID, const char* flatpakID, const char* binary);

std::shared_ptr<MeetingDetector> makeMeetingDetector(std::shared_ptr<AudioProcessList> processes,
                                                     std::shared_ptr<MainContext> context);

}  // namespace quillet
