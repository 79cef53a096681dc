#include "QuilletKit/AutoRecording.hpp"

#include <algorithm>

namespace quillet {

AutoRecording::AutoRecording(std::shared_ptr<MainContext> context, Actions actions)
    : context_(std::move(context)), actions_(std::move(actions)) {}

void AutoRecording::appChanged(const std::optional<MeetingApp>& app, std::chrono::minutes autoStop) {
  if (app) {
    countdown_.reset();
    if (!recording_) recording_ = actions_.start(*app);
    return;
  }
  if (!recording_ || countdown_) return;
  if (autoStop <= std::chrono::minutes::zero()) {
    stopNow();
    return;
  }
  countdown_ = context_->after(autoStop, [this] { stopNow(); });
}

void AutoRecording::stopNow() {
  countdown_.reset();
  if (!recording_) return;
  recording_ = false;
  actions_.stop();
}

}  // namespace quillet
