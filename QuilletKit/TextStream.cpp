#include "QuilletKit/TextStream.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <iterator>
#include <mutex>
#include <thread>
#include <utility>

namespace quillet {

class TextStream::State {
 public:
  void push(std::string piece) {
    bool wake;
    {
      std::lock_guard lock(mutex_);
      if (finished_) return;
      queue_.push_back(std::move(piece));
      wake = consumerWaiting_;
    }
    // Waking only a waiting consumer keeps a fast producer off the futex.
    if (wake) changed_.notify_one();
  }

  void push(std::vector<std::string>& pieces) {
    bool wake;
    {
      std::lock_guard lock(mutex_);
      if (finished_) return;
      if (queue_.empty()) queue_.swap(pieces);
      else std::move(pieces.begin(), pieces.end(), std::back_inserter(queue_));
      wake = consumerWaiting_;
    }
    pieces.clear();
    if (wake) changed_.notify_one();
  }

  void finish(std::exception_ptr error) {
    {
      std::lock_guard lock(mutex_);
      if (finished_) return;
      finished_ = true;
      error_ = std::move(error);
    }
    changed_.notify_all();
  }

  // Called by the producer's thread as its very last use of the state.
  void producerReturned(std::exception_ptr error) {
    {
      std::lock_guard lock(mutex_);
      if (!finished_) {
        finished_ = true;
        error_ = std::move(error);
      }
      producerRunning_ = false;
    }
    changed_.notify_all();
  }

  void producerStarted() { producerRunning_ = true; }

  void waitForProducer() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return !producerRunning_; });
  }

  // Callable from any thread. The batch that the consumer already took is
  // dropped too: a stopped stream delivers nothing more.
  void cancel() {
    {
      std::lock_guard lock(mutex_);
      cancelled_ = true;
      finished_ = true;
      queue_.clear();
      error_ = nullptr;
    }
    changed_.notify_all();
  }

  std::optional<std::string> next() {
    if (cancelled_.load(std::memory_order_acquire)) {
      taken_.clear();
      takenAt_ = 0;
      return std::nullopt;
    }
    if (takenAt_ < taken_.size()) return std::move(taken_[takenAt_++]);
    std::unique_lock lock(mutex_);
    while (queue_.empty() && !finished_) {
      consumerWaiting_ = true;
      changed_.wait(lock);
      consumerWaiting_ = false;
    }
    if (!queue_.empty()) {
      // Take the whole backlog at once: one lock per batch, not per piece.
      taken_.clear();
      taken_.swap(queue_);
      takenAt_ = 0;
      return std::move(taken_[takenAt_++]);
    }
    if (error_) std::rethrow_exception(std::exchange(error_, nullptr));
    return std::nullopt;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> queue_;
  bool finished_ = false;
  bool consumerWaiting_ = false;
  bool producerRunning_ = false;
  std::atomic<bool> cancelled_ = false;
  std::exception_ptr error_;
  // Consumer-only: the batch being handed out, outside the lock.
  std::vector<std::string> taken_;
  size_t takenAt_ = 0;
};

namespace {

// The threads that run producers. A new thread can wait milliseconds for its
// first time slice on a busy machine, while a parked one wakes in
// microseconds, so threads are kept a while after their producer returns.
class ProducerPool {
 public:
  static ProducerPool& shared() {
    // Never destroyed: parked threads may still wait on it while the process exits.
    static ProducerPool* pool = new ProducerPool;
    return *pool;
  }

  void run(std::function<void()> job) {
    {
      std::lock_guard lock(mutex_);
      if (parked_ > jobs_.size()) {
        jobs_.push_back(std::move(job));
        wake_.notify_one();
        return;
      }
    }
    std::thread([this, job = std::move(job)]() mutable {
      job();
      job = nullptr;
      work();
    }).detach();
  }

 private:
  static constexpr size_t kMaxParked = 8;
  static constexpr std::chrono::seconds kParkedLife{30};

  void work() {
    std::unique_lock lock(mutex_);
    while (parked_ < kMaxParked) {
      ++parked_;
      bool woken = wake_.wait_for(lock, kParkedLife, [&] { return !jobs_.empty(); });
      --parked_;
      if (!woken) return;
      std::function<void()> job = std::move(jobs_.front());
      jobs_.pop_front();
      lock.unlock();
      job();
      job = nullptr;
      lock.lock();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> jobs_;
  size_t parked_ = 0;
};

}  // namespace

bool TextStream::Sink::yield(std::string piece) {
  if (token_.stop_requested()) return false;
  state_.push(std::move(piece));
  return true;
}

bool TextStream::Sink::yield(std::vector<std::string>& pieces) {
  if (token_.stop_requested()) {
    pieces.clear();
    return false;
  }
  if (!pieces.empty()) state_.push(pieces);
  return true;
}

TextStream::TextStream() : state_(std::make_shared<State>()) {}

TextStream::TextStream(Producer producer) : TextStream() {
  stop_ = std::make_unique<std::stop_source>();
  state_->producerStarted();
  ProducerPool::shared().run([state = state_, producer = std::move(producer), token = stop_->get_token()]() mutable {
    std::exception_ptr error;
    try {
      Sink sink(*state, token);
      producer(sink);
    } catch (...) {
      error = std::current_exception();
    }
    // What the producer holds goes before its stream learns that it returned.
    producer = nullptr;
    state->producerReturned(std::move(error));
  });
}

TextStream TextStream::of(std::vector<std::string> pieces, std::exception_ptr error) {
  TextStream stream;
  for (auto& piece : pieces) stream.state_->push(std::move(piece));
  stream.state_->finish(std::move(error));
  return stream;
}

TextStream TextStream::failing(std::exception_ptr error) { return of({}, std::move(error)); }

TextStream::TextStream(TextStream&&) noexcept = default;

TextStream& TextStream::operator=(TextStream&& other) noexcept {
  if (this != &other) {
    stopProducer();
    state_ = std::move(other.state_);
    stop_ = std::move(other.stop_);
  }
  return *this;
}

TextStream::~TextStream() { stopProducer(); }

void TextStream::stopProducer() {
  if (!stop_) return;
  stop_->request_stop();
  state_->waitForProducer();
  stop_.reset();
}

std::optional<std::string> TextStream::next() {
  if (!state_) return std::nullopt;
  return state_->next();
}

void TextStream::cancel() {
  if (!state_) return;
  state_->cancel();
  stopProducer();
}

void TextStream::interrupt() {
  if (!state_) return;
  state_->cancel();
  if (stop_) stop_->request_stop();
}

}  // namespace quillet
