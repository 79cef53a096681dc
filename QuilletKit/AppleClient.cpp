#include "QuilletKit/AppleClient.hpp"

#include "QuilletKit/Localization.hpp"
#include "QuilletKit/OnDeviceModel.hpp"
#include "QuilletKit/Text.hpp"

namespace quillet {

namespace {

std::string describe(const OnDeviceAvailability& availability) {
  using Reason = OnDeviceAvailability::Reason;
  switch (availability.reason) {
    case Reason::none:
      return tr("disponível");
    case Reason::deviceNotEligible:
      return tr("Este Mac não roda a IA da Apple");
    case Reason::appleIntelligenceNotEnabled:
      return tr("Ative a Apple Intelligence nos Ajustes do Sistema");
    case Reason::modelNotReady:
      return tr("A IA da Apple ainda está baixando");
    case Reason::other:
      break;
  }
  return trFormat("indisponível (%s)", availability.otherReason);
}

// Turns the growing snapshots of a response into the pieces that were added.
class SnapshotPieces {
 public:
  std::optional<std::string> next(std::string snapshot) {
    if (!text::isValidUtf8(snapshot)) snapshot = text::repairUtf8(snapshot);
    if (snapshot.starts_with(delivered_)) {
      // The usual case. Cutting at the delivered bytes, not at a character
      // count, keeps a combining mark or emoji modifier that extends the last
      // delivered character instead of losing it.
      if (snapshot.size() == delivered_.size()) return std::nullopt;
      std::string piece = snapshot.substr(delivered_.size());
      delivered_ = std::move(snapshot);
      return piece;
    }
    // The model revised earlier text: deliver what lies past the number of
    // characters already delivered, if anything does.
    size_t count = text::characterCount(delivered_);
    if (text::characterCount(snapshot) <= count) return std::nullopt;
    std::string piece = snapshot.substr(text::prefixCharacters(snapshot, count).size());
    delivered_ = std::move(snapshot);
    return piece;
  }

 private:
  std::string delivered_;
};

}  // namespace

bool AppleClient::isAvailable() { return OnDeviceModel::current()->availability().isAvailable(); }

std::string AppleClient::availability() { return describe(OnDeviceModel::current()->availability()); }

std::string AppleClient::label() const { return tr("IA da Apple (no Mac)"); }

std::optional<int> AppleClient::maxPromptCharacters() const { return OnDeviceModel::current()->contextSize() * 2; }

TextStream AppleClient::stream(const std::string& system, const std::string& prompt) const {
  std::shared_ptr<const OnDeviceModel> model = OnDeviceModel::current();
  OnDeviceAvailability availability = model->availability();
  if (!availability.isAvailable()) return TextStream::failing(LLMError::unavailable(describe(availability)));
  return TextStream([model, system, prompt](TextStream::Sink& sink) {
    std::unique_ptr<OnDeviceSession> session = model->makeSession(system);
    SnapshotPieces pieces;
    session->streamResponse(prompt, sink.stopToken(), [&](const std::string& snapshot) {
      if (auto piece = pieces.next(snapshot)) sink.yield(std::move(*piece));
    });
  });
}

}  // namespace quillet
