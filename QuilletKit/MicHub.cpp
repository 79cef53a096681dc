#include "QuilletKit/MicHub.hpp"

#include <algorithm>
#include <cmath>
#include <utility>
#include <optional>
#include <vector>

#include "QuilletKit/LiveTuning.hpp"
#include "QuilletKit/Localization.hpp"
#include "QuilletKit/SerialQueue.hpp"
#include "QuilletKit/SoundServer.hpp"

namespace quillet {

MicError MicError::noInput() { return {Kind::noInput, tr("Nenhum microfone disponível.")}; }

namespace {

// Gathers the server's chunks, of whatever size, into blocks of
// kBlockFrames frames, deinterleaving them on the way in.
class BlockAssembler {
 public:
  explicit BlockAssembler(AudioFormat format) : format_(format) {}

  template <typename Emit>
  void add(std::span<const float> interleaved, Emit&& emit) {
    const uint32_t channels = format_.channelCount;
    const size_t frames = interleaved.size() / channels;
    constexpr uint32_t block = live::kBlockFrames;
    for (size_t at = 0; at < frames;) {
      if (planar_.empty()) planar_.resize(size_t{channels} * block);
      const auto n = static_cast<uint32_t>(std::min<size_t>(block - filled_, frames - at));
      const float* in = interleaved.data() + at * channels;
      for (uint32_t c = 0; c < channels; ++c) {
        float* out = planar_.data() + size_t{c} * block + filled_;
        for (uint32_t i = 0; i < n; ++i) out[i] = in[size_t{i} * channels + c];
      }
      filled_ += n;
      at += n;
      if (filled_ == block) {
        filled_ = 0;
        emit(AudioBuffer::owning(format_, std::exchange(planar_, {}), block));
      }
    }
  }

 private:
  AudioFormat format_;
  std::vector<float> planar_;
  uint32_t filled_ = 0;
};

}  // namespace

struct MicHub::Engine {
  uint64_t id;
  std::unique_ptr<RecordStream> stream;
};

MicHub& MicHub::shared() {
  static MicHub hub;
  return hub;
}

MicHub::MicHub() : MicHub(pulseSoundServer()) {}

MicHub::MicHub(std::shared_ptr<SoundServer> server)
    : server_(std::move(server)), queue_(std::make_unique<SerialQueue>("quillet-mic")) {}

MicHub::~MicHub() {
  std::unique_ptr<Engine> engine;
  {
    std::lock_guard lock(lock_);
    engine = std::move(engine_);
  }
  engine.reset();
  queue_.reset();
}

Uuid MicHub::subscribe(BufferHandler handler, LevelHandler level) {
  Uuid id = Uuid::random();
  std::lock_guard lock(lock_);
  subscribers_.emplace(id, std::move(handler));
  if (level) levelHandlers_.emplace(id, std::move(level));
  if (!engine_) {
    try {
      startEngine();
    } catch (...) {
      subscribers_.erase(id);
      levelHandlers_.erase(id);
      throw;
    }
  }
  return id;
}

// The stream is closed after the lock is released: closing waits for a
// chunk being handed out, and that hand-out may be waiting for the lock.
void MicHub::unsubscribe(const Uuid& id) {
  std::unique_ptr<Engine> engine;
  {
    std::lock_guard lock(lock_);
    subscribers_.erase(id);
    levelHandlers_.erase(id);
    if (subscribers_.empty()) engine = std::move(engine_);
  }
}

bool MicHub::isRunning() const {
  std::lock_guard lock(lock_);
  return engine_ != nullptr;
}

void MicHub::startEngine() {
  const uint64_t id = ++engines_;
  RecordRequest request{CaptureDevice::defaultSource, false, "app.quillet.mic"};
  // Chunks run on the capture thread; the assembler lives in the handler,
  // so it stays as long as a chunk is being handed out.
  auto onChunk = [this, id, assembler = std::optional<BlockAssembler>()](
                     const AudioFormat& format, std::span<const float> chunk) mutable {
    if (!assembler) assembler.emplace(format);
    assembler->add(chunk, [this, id](const AudioBuffer& block) { dispatch(id, block); });
  };
  try {
    engine_ = std::make_unique<Engine>(Engine{id, server_->record(request, *queue_, std::move(onChunk))});
  } catch (const SoundServerError& e) {
    using Kind = SoundServerError::Kind;
    if (e.kind() == Kind::unreachable || e.kind() == Kind::noDevice || e.kind() == Kind::badFormat)
      throw MicError::noInput();
    throw;
  }
}

void MicHub::dispatch(uint64_t engine, const AudioBuffer& buffer) {
  std::vector<BufferHandler> handlers;
  std::vector<LevelHandler> levels;
  {
    std::lock_guard lock(lock_);
    if (!engine_ || engine_->id != engine) return;
    handlers.reserve(subscribers_.size());
    for (const auto& [id, handler] : subscribers_) handlers.push_back(handler);
    levels.reserve(levelHandlers_.size());
    for (const auto& [id, level] : levelHandlers_) levels.push_back(level);
  }
  for (const auto& handler : handlers) handler(buffer);
  if (levels.empty()) return;
  const float value = level(buffer);
  for (const auto& handler : levels) handler(value);
}

float MicHub::level(const AudioBuffer& buffer) {
  if (!buffer.hasFloatData() || buffer.frameLength() == 0) return 0;
  std::span<const float> samples = buffer.channel(0);
  // Independent partial sums let the loop run as wide as the processor does.
  constexpr size_t kLanes = 8;
  double lanes[kLanes] = {};
  size_t i = 0;
  for (; i + kLanes <= samples.size(); i += kLanes)
    for (size_t l = 0; l < kLanes; ++l) lanes[l] += static_cast<double>(samples[i + l]) * samples[i + l];
  double sum = 0;
  for (; i < samples.size(); ++i) sum += static_cast<double>(samples[i]) * samples[i];
  for (double lane : lanes) sum += lane;
  const double rms = std::sqrt(sum / static_cast<double>(samples.size()));
  const double decibels = 20 * std::log10(std::max(rms, 0.000001));
  const double mapped = (decibels + 55) / 50;
  return static_cast<float>(std::max(0.0, std::min(mapped, 1.0)));
}

}  // namespace quillet
