#pragma once
// Capture of what the computer plays (the other side of a call): a mono,
// 32-bit float record stream on the monitor of the sound server's default
// sink, rebuilt on the new sink whenever the default sink changes.
//
// Our streams carry the application name "Quillet", the application id
// "app.quillet.mac" (so that meeting detection can leave them out) and the
// stream name "app.quillet.tap." followed by a fresh upper-case UUID at every
// start.
//
// Threads: the tap owns one serial queue, a thread of its own. The handlers,
// the restart after a default-sink change, and the work of start() and
// stop() all run there, so a restart never overlaps a callback or a client's
// start or stop. The buffer handed to `handler` is a view of the sound
// server's memory, valid only during the call: a handler that keeps audio
// copies it (copying an AudioBuffer does). Blocks with no frames call no
// handler. start() and stop() may be called from any thread, also from a
// handler; the tap must not be destroyed from one of its own handlers.
//
// Lifecycle: stopped, then running after a successful start(). While running,
// each change of the default sink (a server event, never polled) restarts
// capture once; a restart that fails leaves the tap stopped, silently, until
// the next start(). stop() is idempotent and runs on destruction; after it
// returns no handler runs and no restart happens.
//
// Errors of start(): TapError::status with the sound server's error code
// when it cannot be reached or refuses the stream, TapError::noOutput when
// there is no default sink, TapError::format when the monitor's format is no
// format, TapError::create when no stream can be made. What a failed start
// built is released by stop(), which start() runs first anyway.
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

#include "QuilletKit/AudioBuffer.hpp"

namespace quillet {

class TapError : public std::runtime_error {
 public:
  enum class Kind { status, create, noOutput, format };

  // "Erro do Core Audio (%d)." with `code` in signed decimal, localised.
  static TapError status(int32_t code);
  static TapError create();
  static TapError noOutput();
  static TapError format();

  Kind kind() const { return kind_; }
  // The sound server's error code of `status` (negative, as libpulse
  // returns it); 0 for the other cases.
  int32_t code() const { return code_; }

 private:
  TapError(Kind kind, int32_t code, const std::string& message)
      : std::runtime_error(message), kind_(kind), code_(code) {}
  Kind kind_;
  int32_t code_;
};

class SoundServer;  // the sound-server seam; PulseAudio unless given

class SystemAudioTap {
 public:
  using BufferHandler = std::function<void(const AudioBuffer&)>;
  using LevelHandler = std::function<void(float)>;

  // Stores the handlers and makes the queue; captures nothing yet.
  explicit SystemAudioTap(BufferHandler handler, LevelHandler level = {});
  // The same on another sound-server backend.
  SystemAudioTap(std::shared_ptr<SoundServer> server, BufferHandler handler, LevelHandler level = {});
  ~SystemAudioTap();
  SystemAudioTap(const SystemAudioTap&) = delete;
  SystemAudioTap& operator=(const SystemAudioTap&) = delete;

  // Starts capture and the watch of the default sink; throws TapError.
  void start();
  // Ends capture and the watch; safe in any state and more than once.
  void stop();
  // Whether a stream is recording now (false after a failed restart).
  bool isRunning() const;

  struct State;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace quillet
