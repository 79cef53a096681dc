#include "QuilletKit/AudioBuffer.hpp"

#include <cmath>
#include <stdexcept>

namespace quillet {

std::optional<AudioFormat> AudioFormat::make(double sampleRate, uint32_t channelCount) {
  if (!std::isfinite(sampleRate) || sampleRate <= 0 || channelCount == 0 || channelCount > kMaxChannels)
    return std::nullopt;
  return AudioFormat{sampleRate, channelCount};
}

AudioBuffer AudioBuffer::owning(const AudioFormat& format, std::vector<float> planar, uint32_t frameLength) {
  if (planar.size() != static_cast<size_t>(format.channelCount) * frameLength)
    throw std::invalid_argument("planar samples do not match the format and frame length");
  AudioBuffer b;
  b.format_ = format;
  b.frameLength_ = frameLength;
  auto storage = std::make_shared<const std::vector<float>>(std::move(planar));
  b.channels_.reserve(format.channelCount);
  for (uint32_t c = 0; c < format.channelCount; ++c) b.channels_.push_back(storage->data() + size_t{c} * frameLength);
  b.storage_ = std::move(storage);
  return b;
}

AudioBuffer AudioBuffer::copyingInterleaved(const AudioFormat& format, std::span<const float> interleaved) {
  const uint32_t channels = format.channelCount;
  if (channels == 0) return withoutFloatData(format, 0);
  const auto frames = static_cast<uint32_t>(interleaved.size() / channels);
  std::vector<float> planar(size_t{channels} * frames);
  for (uint32_t c = 0; c < channels; ++c) {
    float* out = planar.data() + size_t{c} * frames;
    for (uint32_t i = 0; i < frames; ++i) out[i] = interleaved[size_t{i} * channels + c];
  }
  return owning(format, std::move(planar), frames);
}

std::optional<AudioBuffer> AudioBuffer::viewing(const AudioFormat& format, std::span<const float* const> channels,
                                                uint32_t frameLength) {
  if (channels.size() != format.channelCount || channels.empty()) return std::nullopt;
  for (const float* p : channels)
    if (!p && frameLength > 0) return std::nullopt;
  AudioBuffer b;
  b.format_ = format;
  b.frameLength_ = frameLength;
  b.channels_.assign(channels.begin(), channels.end());
  return b;
}

AudioBuffer AudioBuffer::withoutFloatData(const AudioFormat& format, uint32_t frameLength) {
  AudioBuffer b;
  b.format_ = format;
  b.frameLength_ = frameLength;
  return b;
}

AudioBuffer::AudioBuffer(const AudioBuffer& other)
    : format_(other.format_), frameLength_(other.frameLength_), channels_(other.channels_), storage_(other.storage_) {
  if (!other.isView()) return;
  // A view's memory goes when its callback returns: the copy takes the samples.
  std::vector<float> planar;
  planar.reserve(channels_.size() * frameLength_);
  for (const float* p : other.channels_) planar.insert(planar.end(), p, p + frameLength_);
  *this = owning(format_, std::move(planar), frameLength_);
}

AudioBuffer& AudioBuffer::operator=(const AudioBuffer& other) {
  if (this != &other) *this = AudioBuffer(other);
  return *this;
}

std::span<const float> AudioBuffer::channel(uint32_t index) const {
  if (index >= channels_.size()) return {};
  return {channels_[index], frameLength_};
}

}  // namespace quillet
