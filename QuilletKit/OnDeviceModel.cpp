#include "QuilletKit/OnDeviceModel.hpp"

#include <mutex>
#include <utility>

#include "QuilletKit/LLMClient.hpp"
#include "QuilletKit/Localization.hpp"

namespace quillet {

namespace {

// What Linux offers: no on-device model.
class SystemModel : public OnDeviceModel {
 public:
  OnDeviceAvailability availability() const override {
    return OnDeviceAvailability::unavailable(OnDeviceAvailability::Reason::deviceNotEligible);
  }
  // The window of the model this stands for, so that prompt limits keep
  // their usual size even where the model is missing.
  int contextSize() const override { return 4096; }
  std::unique_ptr<OnDeviceSession> makeSession(const std::string&) const override {
    throw LLMError::unavailable(tr("Este Mac não roda a IA da Apple"));
  }
};

struct Installed {
  std::mutex mutex;
  std::shared_ptr<const OnDeviceModel> model;
};

Installed& installed() {
  static Installed slot;
  return slot;
}

std::shared_ptr<const OnDeviceModel> exchange(std::shared_ptr<const OnDeviceModel> model) {
  Installed& slot = installed();
  std::lock_guard lock(slot.mutex);
  return std::exchange(slot.model, std::move(model));
}

}  // namespace

std::shared_ptr<const OnDeviceModel> OnDeviceModel::current() {
  Installed& slot = installed();
  {
    std::lock_guard lock(slot.mutex);
    if (slot.model) return slot.model;
  }
  static const auto system = std::make_shared<const SystemModel>();
  return system;
}

OnDeviceModel::Override::Override(std::shared_ptr<const OnDeviceModel> model)
    : previous_(exchange(std::move(model))) {}

OnDeviceModel::Override::~Override() { exchange(std::move(previous_)); }

}  // namespace quillet
