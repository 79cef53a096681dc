#pragma once
// A sound server for the capture tests and benchmarks: streams hand over the chunks a test chooses, refuse when told,
// and fire default-sink changes; every hand-over runs on the owner's queue and has run when the call returns.
#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "QuilletKit/SoundServer.hpp"

namespace quillet::test {

class ScriptedSoundServer : public SoundServer {
 public:
  AudioFormat format{48000, 2};
  std::optional<SoundServerError> refusal;
  bool watchFails = false;

  std::unique_ptr<RecordStream> record(const RecordRequest& request, SerialQueue& queue,
                                       ChunkHandler onChunk) override {
    std::lock_guard lock(mutex_);
    requests_.push_back(request);
    if (refusal) throw *refusal;
    return open(stream_, queue, std::move(onChunk));
  }

  std::unique_ptr<DeviceWatch> watchDefaultSink(SerialQueue& queue, std::function<void()> onChange) override {
    std::lock_guard lock(mutex_);
    if (watchFails) return nullptr;
    return open(watch_, queue, [onChange](const AudioFormat&, std::span<const float>) { onChange(); });
  }

  // Hands interleaved samples to the newest stream; false when it is closed.
  bool deliver(std::span<const float> interleaved, int times = 1) {
    auto core = latest(stream_);
    if (!core) return false;
    bool open = false;
    core->queue.sync([&] {
      for (int i = 0; i < times && !core->closed; ++i) core->handler(core->format, interleaved);
      open = !core->closed;
    });
    return open;
  }

  // Tells the newest watch that the default sink changed, then waits for what that queued.
  void changeDefaultSink() {
    auto core = latest(watch_);
    if (!core) return;
    core->queue.sync([&] {
      if (!core->closed) core->handler(core->format, {});
    });
    core->queue.sync([] {});
  }

  std::vector<RecordRequest> requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
  }
  bool streamOpen() const { return latest(stream_) != nullptr; }
  bool watchOpen() const { return latest(watch_) != nullptr; }

 private:
  struct Core {
    Core(SerialQueue& q, AudioFormat f, ChunkHandler h) : queue(q), format(f), handler(std::move(h)) {}
    SerialQueue& queue;
    AudioFormat format;
    ChunkHandler handler;
    bool closed = false;  // the queue's alone
    std::atomic<bool> gone = false;
  };

  // Closing follows the seam's rule: on the queue, so no hand-over runs after.
  struct Stream : RecordStream, DeviceWatch {
    explicit Stream(std::shared_ptr<Core> c) : core(std::move(c)) {}
    ~Stream() override {
      core->queue.sync([this] { core->closed = true; });
      core->gone = true;
    }
    AudioFormat format() const override { return core->format; }
    std::shared_ptr<Core> core;
  };

  std::unique_ptr<Stream> open(std::weak_ptr<Core>& slot, SerialQueue& queue, ChunkHandler handler) {
    auto core = std::make_shared<Core>(queue, format, std::move(handler));
    slot = core;
    return std::make_unique<Stream>(core);
  }
  std::shared_ptr<Core> latest(const std::weak_ptr<Core>& which) const {
    std::lock_guard lock(mutex_);
    auto core = which.lock();
    return core && !core->gone ? core : nullptr;
  }

  mutable std::mutex mutex_;
  std::vector<RecordRequest> requests_;
  std::weak_ptr<Core> stream_, watch_;
};

}  // namespace quillet::test
