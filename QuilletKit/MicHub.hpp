#pragma once
// The single owner of the microphone: one capture stream on the sound
// server's default source, shared by any number of subscribers.
//
// The first subscribe() starts capture (a record stream in the source's own
// rate and channel count, 32-bit float); every block of 4096 frames is handed
// to every subscriber as an owned AudioBuffer, which a subscriber may keep.
// The last unsubscribe() stops capture. Level handlers receive, per block,
// MicHub::level of it, computed once per block and only when a level
// handler exists.
//
// Threads: subscribe, unsubscribe and isRunning may be called from any
// thread; one lock serialises them. Handlers run on the hub's capture
// thread, one after the other and never under the lock, so a handler may
// subscribe or unsubscribe (itself included) without deadlock; a handler
// removed while a block is being handed out may still receive that block.
// Handlers should return quickly: they run inside the capture path. A hub
// must not be destroyed from one of its own handlers.
//
// Errors: subscribe throws MicError::noInput when there is no sound server,
// no default source, or a source whose format is no format (rate not above 0,
// no channels); other failures of the sound server to record throw
// std::system_error. A failed subscribe keeps nothing of its handlers, and
// the next one tries again.
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>

#include "QuilletKit/AudioBuffer.hpp"
#include "QuilletKit/Uuid.hpp"

namespace quillet {

class MicError : public std::runtime_error {
 public:
  enum class Kind { noInput };

  // "Nenhum microfone disponível.", localised.
  static MicError noInput();

  Kind kind() const { return kind_; }

 private:
  MicError(Kind kind, const std::string& message) : std::runtime_error(message), kind_(kind) {}
  Kind kind_;
};

class SoundServer;  // the sound-server seam; PulseAudio unless given
class SerialQueue;

class MicHub {
 public:
  using BufferHandler = std::function<void(const AudioBuffer&)>;
  using LevelHandler = std::function<void(float)>;

  // The process-wide hub, made on first use.
  static MicHub& shared();

  // An independent hub on the default PulseAudio server.
  MicHub();
  // An independent hub on another sound-server backend.
  explicit MicHub(std::shared_ptr<SoundServer> server);
  // Stops capture; handlers are not called afterwards.
  ~MicHub();
  MicHub(const MicHub&) = delete;
  MicHub& operator=(const MicHub&) = delete;

  // Registers the handlers under a fresh identifier, starting capture if it
  // is not running. Throws as described above.
  Uuid subscribe(BufferHandler handler, LevelHandler level = {});
  // Removes both handlers of `id` (one never issued is no error); stops
  // capture when no subscriber is left.
  void unsubscribe(const Uuid& id);
  bool isRunning() const;

  // Loudness from 0 to 1: the RMS of channel 0, floored at 0.000001, in
  // decibels, mapped linearly from -55 dB (0) to -5 dB (1) and clamped.
  // 0 for a buffer without float data or without frames.
  static float level(const AudioBuffer& buffer);

  struct Engine;

 private:
  void startEngine();
  void dispatch(uint64_t engine, const AudioBuffer& buffer);

  std::shared_ptr<SoundServer> server_;
  std::unique_ptr<SerialQueue> queue_;  // the capture thread
  mutable std::mutex lock_;
  std::unique_ptr<Engine> engine_;
  uint64_t engines_ = 0;
  std::map<Uuid, BufferHandler> subscribers_;
  std::map<Uuid, LevelHandler> levelHandlers_;
};

}  // namespace quillet
