#pragma once
// Internal, not installed: when the agent records because a meeting
// application uses the microphone. One recording starts when an application
// appears; once none is left it stops `autoStop` later, unless an application
// comes back before then, which continues the same recording. The actions
// themselves (making a Recorder, stopping it) are the agent's.
//
// Main thread only, on the main context given; the actions are called there
// and must not throw.
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

#include "QuilletKit/MainContext.hpp"
#include "QuilletKit/MeetingDetector.hpp"

namespace quillet {

class AutoRecording {
 public:
  struct Actions {
    // Starts a recording for `app`; false when none could start.
    std::function<bool(const MeetingApp& app)> start;
    std::function<void()> stop;
  };

  AutoRecording(std::shared_ptr<MainContext> context, Actions actions);

  // The detector's report: an application now uses the microphone, or
  // (absent) none does any more. A negative `autoStop` counts as none.
  void appChanged(const std::optional<MeetingApp>& app, std::chrono::minutes autoStop);
  // Ends a recording in progress now (detection turned off, the agent ends).
  void stopNow();
  bool recording() const { return recording_; }

 private:
  std::shared_ptr<MainContext> context_;
  Actions actions_;
  bool recording_ = false;
  std::unique_ptr<Registration> countdown_;
};

}  // namespace quillet
