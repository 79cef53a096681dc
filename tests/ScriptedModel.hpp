#pragma once
// Sessions answer the same growing snapshots, then end or throw `failure`; it keeps the last input and a count.
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "QuilletKit/OnDeviceModel.hpp"

namespace quillet::test {

class ScriptedModel : public OnDeviceModel {
 public:
  ScriptedModel(OnDeviceAvailability availability, std::vector<std::string> snapshots,
                std::exception_ptr failure = nullptr)
      : availability_(std::move(availability)), snapshots_(std::move(snapshots)), failure_(std::move(failure)) {}
  static std::shared_ptr<ScriptedModel> available(std::vector<std::string> snapshots,
                                                  std::exception_ptr failure = nullptr) {
    return std::make_shared<ScriptedModel>(OnDeviceAvailability::available(), std::move(snapshots), failure);
  }

  OnDeviceAvailability availability() const override { return availability_; }
  int contextSize() const override { return 4096; }
  std::unique_ptr<OnDeviceSession> makeSession(const std::string& given) const override {
    ++sessions;
    instructions = given;
    return std::make_unique<Session>(*this);
  }

  // Read once the sessions are done: the stream that ran them orders the writes before.
  mutable int sessions = 0;
  mutable std::string instructions, prompt;

 private:
  struct Session : OnDeviceSession {
    explicit Session(const ScriptedModel& model) : model(model) {}
    void streamResponse(const std::string& prompt, std::stop_token stop,
                        const std::function<void(const std::string&)>& onSnapshot) override {
      model.prompt = prompt;
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
};

}  // namespace quillet::test
