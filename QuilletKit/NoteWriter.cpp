#include "QuilletKit/NoteWriter.hpp"

#include "QuilletKit/AppleClient.hpp"
#include "QuilletKit/Localization.hpp"

namespace quillet {

NoteWriter::Result NoteWriter::write(const Meeting& meeting, const ProviderConfig& provider, bool localFallback,
                                     const Enhancer::Partial& onPartial, std::stop_token stop,
                                     const Fallback& onFallback) {
  // The factory reads the key (keychain, then environment) only for remote kinds.
  std::unique_ptr<LLMClient> client = provider.client();
  try {
    std::string text = Enhancer::enhance(meeting, *client, onPartial, stop);
    return {std::move(text), client->label()};
  } catch (const LLMError& error) {
    bool fallBack = error.isRecoverableLocally() && localFallback && provider.kind != ProviderKind::apple &&
                    !stop.stop_requested() && AppleClient::isAvailable();
    if (!fallBack) throw;
    if (onFallback) onFallback(error);
  }
  AppleClient onDevice;
  std::string text = Enhancer::enhance(meeting, onDevice, onPartial, stop);
  return {std::move(text), tr("IA da Apple (no Mac)")};
}

}  // namespace quillet
