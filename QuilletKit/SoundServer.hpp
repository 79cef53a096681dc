#pragma once
// The seam between the capture logic (MicHub, SystemAudioTap) and the sound
// server: record streams on the default devices and the watch of the default
// sink. PulseAudio stands behind it (PulseAudio.cpp); tests put scripted
// servers here. Internal; not installed.
//
// Delivery happens on a SerialQueue that the caller owns and that outlives
// what it is given to: chunks and change events reach their handler there,
// in order. Destroying a stream or a watch is allowed on any thread, also
// inside its own handler; once the destructor returns, its handler does not
// run again (called inside the handler: not after the handler returns).
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <system_error>

#include "QuilletKit/AudioBuffer.hpp"
#include "QuilletKit/SerialQueue.hpp"

namespace quillet {

// Errors of the sound server; code() holds libpulse's (positive) error
// number in soundServerCategory().
const std::error_category& soundServerCategory();

class SoundServerError : public std::system_error {
 public:
  enum class Kind {
    unreachable,  // no server, or it stopped answering
    noDevice,     // no default source or sink
    badFormat,    // the device's format is no format
    noStream,     // the stream could not be made
    refused,      // the server refused the stream
  };
  SoundServerError(Kind kind, int code, const std::string& what)
      : std::system_error(code, soundServerCategory(), what), kind_(kind) {}
  Kind kind() const { return kind_; }

 private:
  Kind kind_;
};

enum class CaptureDevice { defaultSource, defaultSinkMonitor };

struct RecordRequest {
  CaptureDevice device = CaptureDevice::defaultSource;
  bool mono = false;  // otherwise the device's own channel count
  std::string streamName;
};

// Interleaved samples of the stream's format, valid only during the call.
using ChunkHandler = std::function<void(const AudioFormat& format, std::span<const float> interleaved)>;

class RecordStream {
 public:
  virtual ~RecordStream() = default;
  // 32-bit float at the device's rate, mono or the device's channels.
  virtual AudioFormat format() const = 0;
};

class DeviceWatch {
 public:
  virtual ~DeviceWatch() = default;
};

class SoundServer {
 public:
  virtual ~SoundServer() = default;
  // Blocks until the stream records, then hands its chunks to `onChunk` on
  // `queue`. Throws SoundServerError.
  virtual std::unique_ptr<RecordStream> record(const RecordRequest& request, SerialQueue& queue,
                                               ChunkHandler onChunk) = 0;
  // Calls `onChange` on `queue` once per change of the default sink; nullptr
  // when the server cannot be watched.
  virtual std::unique_ptr<DeviceWatch> watchDefaultSink(SerialQueue& queue, std::function<void()> onChange) = 0;
};

// The server that libpulse finds (PULSE_SERVER, else the user's session).
// Our streams carry the application name "Quillet" and the application id
// "app.quillet.mac". Nothing connects until a stream or watch is asked for;
// each one has a connection of its own.
std::shared_ptr<SoundServer> pulseSoundServer();

}  // namespace quillet
