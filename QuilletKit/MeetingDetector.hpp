#pragma once
// Notices that a meeting application (a video-call app or a browser) starts
// using the microphone, and that it stops. It does not poll: the sound
// server tells it when the list of audio clients or a watched client's
// recording changes. A change is reported once it has held for 1.5 seconds
// on the monotonic clock; a flicker back within that time reports nothing.
//
// On Linux a process is a PulseAudio client (PipeWire's PulseAudio service
// included): its bundle identifier is its "application.id", else the
// catalog prefix of its Flatpak id or binary; it uses the microphone while
// it has an uncorked source output. Our own streams ("app.quillet.mac") are
// never detected.
//
// Main thread only (the main context): start, stop and the fields are used
// there and onChange is called there. No operation reports errors: without
// a sound server nothing is detected. Make it with make(); its callbacks
// hold it weakly and its registrations end when it is destroyed.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "QuilletKit/MainContext.hpp"

namespace quillet {

struct MeetingApp {
  std::string bundleID;  // the catalog prefix that matched
  std::string name;

  friend bool operator==(const MeetingApp&, const MeetingApp&) = default;
};

class AudioProcessList;

class MeetingDetector : public std::enable_shared_from_this<MeetingDetector> {
  struct Key {};

 public:
  // On the sound server and the main context; listens to nothing yet.
  static std::shared_ptr<MeetingDetector> make();
  MeetingDetector(Key, std::shared_ptr<AudioProcessList> processes, std::shared_ptr<MainContext> context);
  ~MeetingDetector();

  // (prefix, name) rows, searched in order.
  static const std::vector<MeetingApp>& knownApps();
  // The first row whose prefix begins `bundleIdentifier`.
  static std::optional<MeetingApp> app(std::string_view bundleIdentifier);

  // Listens and evaluates at once; a second call does nothing.
  void start();
  // Stops listening and drops a pending report; `active` stays.
  void stop();

  // The application last reported.
  const std::optional<MeetingApp>& active() const { return active_; }

  // Catalog prefixes to disregard, from the next evaluation on.
  std::set<std::string> ignored;
  // The newly detected application, or absent when it stopped. Must not throw.
  std::function<void(const std::optional<MeetingApp>&)> onChange;

 private:
  friend std::shared_ptr<MeetingDetector> makeMeetingDetector(std::shared_ptr<AudioProcessList>,
                                                              std::shared_ptr<MainContext>);
  void rescan();
  void evaluate();
  void report(std::optional<MeetingApp> found);

  std::shared_ptr<AudioProcessList> processes_;
  std::shared_ptr<MainContext> context_;
  std::optional<MeetingApp> active_;
  std::unique_ptr<Registration> systemListener_;
  std::map<uint32_t, std::unique_ptr<Registration>> processListeners_;
  std::unique_ptr<Registration> debounce_;
};

}  // namespace quillet

template <>
struct std::hash<quillet::MeetingApp> {
  size_t operator()(const quillet::MeetingApp& a) const noexcept {
    return std::hash<std::string>{}(a.bundleID) * 31 + std::hash<std::string>{}(a.name);
  }
};
