#pragma once
// The seam to an on-device language model: its availability, its context
// size, and sessions that stream a response as growing snapshots.
//
// Linux has no such model: the system model always reports itself
// unavailable, the device not being eligible. Tests install a scripted model
// for the process with `OnDeviceModel::Override`.
//
// Threads: models are immutable and shared; a session is used by one thread.
#include <functional>
#include <memory>
#include <stop_token>
#include <string>

namespace quillet {

struct OnDeviceAvailability {
  enum class Reason { none, deviceNotEligible, appleIntelligenceNotEnabled, modelNotReady, other };

  Reason reason = Reason::none;
  // The textual description of an `other` reason.
  std::string otherReason;

  static OnDeviceAvailability available() { return {}; }
  static OnDeviceAvailability unavailable(Reason reason, std::string otherReason = {}) {
    return {reason, std::move(otherReason)};
  }
  bool isAvailable() const { return reason == Reason::none; }
  friend bool operator==(const OnDeviceAvailability&, const OnDeviceAvailability&) = default;
};

class OnDeviceSession {
 public:
  virtual ~OnDeviceSession() = default;
  // Generates a response to `prompt`, calling `onSnapshot` with the whole
  // text generated so far each time it grows, in order; returns at the end,
  // or soon after `stop` fires. Throws the model's own errors (a refusal, an
  // exceeded context window...).
  virtual void streamResponse(const std::string& prompt, std::stop_token stop,
                              const std::function<void(const std::string& snapshot)>& onSnapshot) = 0;
};

class OnDeviceModel {
 public:
  virtual ~OnDeviceModel() = default;

  virtual OnDeviceAvailability availability() const = 0;
  // The context window, in tokens.
  virtual int contextSize() const = 0;
  // A session with `instructions` as its system prompt, no tools, and default
  // generation options.
  virtual std::unique_ptr<OnDeviceSession> makeSession(const std::string& instructions) const = 0;

  // The model of the process: the system's, unless an override is in place.
  static std::shared_ptr<const OnDeviceModel> current();

  // Makes `model` the process's model for its lifetime (tests only; not nested
  // across threads).
  class Override {
   public:
    explicit Override(std::shared_ptr<const OnDeviceModel> model);
    ~Override();
    Override(const Override&) = delete;
    Override& operator=(const Override&) = delete;

   private:
    std::shared_ptr<const OnDeviceModel> previous_;
  };
};

}  // namespace quillet
