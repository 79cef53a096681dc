#pragma once
// Live audio as it travels from capture (MicHub, SystemAudioTap) to its
// consumers (LiveTranscriber, level meters): planar 32-bit float channels
// with their rate, channel count and frame length.
//
// Ownership comes in two kinds, and every consumer must respect both:
// - owned: the buffer holds its samples. Owned samples never change after
//   the buffer is made and are shared between copies, so keeping a copy is
//   cheap and safe on any thread. MicHub hands out owned buffers.
// - view: the buffer refers to memory it does not own, valid only during the
//   callback that hands it over (SystemAudioTap). Copying a view (copy
//   constructor, assignment or copy()) makes an owned buffer, so a handler
//   that keeps `AudioBuffer kept = buffer;` is always safe.
// A buffer may also hold no float data at all (a frame length but no
// samples); such a buffer is read as silence by the level and dropped by
// LiveTranscriber. Reading a buffer is thread-safe; it has no other state.
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace quillet {

struct AudioFormat {
  double sampleRate = 0;
  uint32_t channelCount = 0;

  // Absent unless the rate is finite and above 0 and the channel count is
  // between 1 and kMaxChannels: what a capture device may describe is not
  // always a format.
  static std::optional<AudioFormat> make(double sampleRate, uint32_t channelCount);
  static constexpr uint32_t kMaxChannels = 32;

  friend bool operator==(const AudioFormat&, const AudioFormat&) = default;
};

class AudioBuffer {
 public:
  // No format, no frames, no float data.
  AudioBuffer() = default;

  // Owned: `planar` holds channel after channel, each `frameLength` long, so
  // its size must be channelCount × frameLength (std::invalid_argument
  // otherwise). The vector is taken over without copying.
  static AudioBuffer owning(const AudioFormat& format, std::vector<float> planar, uint32_t frameLength);
  // Owned copy of interleaved samples; a trailing partial frame is left out.
  static AudioBuffer copyingInterleaved(const AudioFormat& format, std::span<const float> interleaved);
  // A view of one pointer per channel, each `frameLength` samples long, no
  // copy made. Absent when the pointers do not match the channel count or
  // one of them is null while frames are expected.
  static std::optional<AudioBuffer> viewing(const AudioFormat& format, std::span<const float* const> channels,
                                            uint32_t frameLength);
  // A buffer of `frameLength` frames whose samples are not 32-bit floats.
  static AudioBuffer withoutFloatData(const AudioFormat& format, uint32_t frameLength);

  AudioBuffer(const AudioBuffer& other);
  AudioBuffer& operator=(const AudioBuffer& other);
  AudioBuffer(AudioBuffer&&) noexcept = default;
  AudioBuffer& operator=(AudioBuffer&&) noexcept = default;

  const AudioFormat& format() const { return format_; }
  double sampleRate() const { return format_.sampleRate; }
  uint32_t channelCount() const { return format_.channelCount; }
  uint32_t frameLength() const { return frameLength_; }
  bool hasFloatData() const { return !channels_.empty(); }
  // True for a view of memory this buffer does not own.
  bool isView() const { return hasFloatData() && !storage_; }

  // The samples of one channel, frameLength() long; empty without float data
  // or for an index at or beyond the channel count.
  std::span<const float> channel(uint32_t index) const;

  // An owned buffer with the same content (shares the samples when this one
  // is owned already).
  AudioBuffer copy() const { return AudioBuffer(*this); }

 private:
  AudioFormat format_;
  uint32_t frameLength_ = 0;
  std::vector<const float*> channels_;           // one per channel, or none
  std::shared_ptr<const std::vector<float>> storage_;  // absent for views
};

}  // namespace quillet
