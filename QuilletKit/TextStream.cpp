#include "QuilletKit/TextStream.hpp"

#include <algorithm>
#include <condition_variable>
#include <iterator>
#include <mutex>
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
    changed_.notify_one();
  }

  void cancel() {
    {
      std::lock_guard lock(mutex_);
      finished_ = true;
      queue_.clear();
      error_ = nullptr;
    }
    changed_.notify_all();
  }

  std::optional<std::string> next() {
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
  std::exception_ptr error_;
  // Consumer-only: the batch being handed out, outside the lock.
  std::vector<std::string> taken_;
  size_t takenAt_ = 0;
};

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
  producer_ = std::jthread([state = state_, producer = std::move(producer)](std::stop_token token) {
    Sink sink(*state, token);
    std::exception_ptr error;
    try {
      producer(sink);
    } catch (...) {
      error = std::current_exception();
    }
    state->finish(std::move(error));
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
TextStream& TextStream::operator=(TextStream&&) noexcept = default;
// The thread member goes first: its destructor asks the producer to stop and
// joins it before the shared state can go.
TextStream::~TextStream() = default;

std::optional<std::string> TextStream::next() {
  if (!state_) return std::nullopt;
  return state_->next();
}

void TextStream::cancel() {
  if (!state_) return;
  state_->cancel();
  if (producer_.joinable()) {
    producer_.request_stop();
    producer_.join();
  }
}

void TextStream::interrupt() {
  if (!state_) return;
  state_->cancel();
  producer_.request_stop();
}

}  // namespace quillet
