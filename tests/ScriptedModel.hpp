#pragma once
// An on-device model for tests: every session answers with the same growing
// snapshots, then ends normally or with `failure`. It remembers what its last
// session was given and how many sessions were made. Install it for the
// process with `OnDeviceModel::Override`.
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <vector>

#include "QuilletKit/OnDeviceModel.hpp"

namespace quillet::test {

class ScriptedModel : public OnDeviceModel {
 public:
  ScriptedModel(OnDeviceAvailability availability, std::vector<std::string> snapshots,
                std::exception_ptr failure = nullptr, int contextSize = 4096)
      : availability_(std::move(availability)),
        snapshots_(std::move(snapshots)),
        failure_(std::move(failure)),
        contextSize_(contextSize) {}

  static std::shared_ptr<ScriptedModel> available(std::vector<std::string> snapshots,
                                                  std::exception_ptr failure = nullptr) {
    return std::make_shared<ScriptedModel>(OnDeviceAvailability::available(), std::move(snapshots), std::move(failure));
  }

  OnDeviceAvailability availability() const override { return availability_; }
  int contextSize() const override { return contextSize_; }
  std::unique_ptr<OnDeviceSession> makeSession(const std::string& instructions) const override {
    std::lock_guard lock(mutex_);
    ++sessions_;
    instructions_ = instructions;
    return std::make_unique<Session>(*this);
  }

  std::string instructions() const {
    std::lock_guard lock(mutex_);
    return instructions_;
  }
  std::string prompt() const {
    std::lock_guard lock(mutex_);
    return prompt_;
  }
  int sessions() const {
    std::lock_guard lock(mutex_);
    return sessions_;
  }

 private:
  struct Session : OnDeviceSession {
    explicit Session(const ScriptedModel& model) : model(model) {}
    void streamResponse(const std::string& prompt, std::stop_token stop,
                        const std::function<void(const std::string&)>& onSnapshot) override {
      {
        std::lock_guard lock(model.mutex_);
        model.prompt_ = prompt;
      }
      for (const auto& snapshot : model.snapshots_) {
        if (stop.stop_requested()) return;
        onSnapshot(snapshot);
      }
      if (model.failure_) std::rethrow_exception(model.failure_);
    }
    const ScriptedModel& model;
  };

  OnDeviceAvailability availability_;
  std::vector<std::string> snapshots_;
  std::exception_ptr failure_;
  int contextSize_;
  mutable std::mutex mutex_;
  mutable int sessions_ = 0;
  mutable std::string instructions_;
  mutable std::string prompt_;
};

}  // namespace quillet::test
