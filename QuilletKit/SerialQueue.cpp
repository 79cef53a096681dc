#include "QuilletKit/SerialQueue.hpp"

#include <pthread.h>

#include <exception>
#include <utility>

namespace quillet {

struct SerialQueue::State {
  std::mutex mutex;
  std::condition_variable wake;
  std::deque<std::function<void()>> tasks;
  bool stopping = false;

  void run() {
    std::unique_lock lock(mutex);
    for (;;) {
      wake.wait(lock, [this] { return stopping || !tasks.empty(); });
      if (stopping) break;
      auto task = std::move(tasks.front());
      tasks.pop_front();
      lock.unlock();
      task();
      task = nullptr;  // what the task holds goes before the next one starts
      lock.lock();
    }
    // Tasks never started are dropped outside the lock: their captures may
    // own things whose teardown takes locks of their own.
    auto dropped = std::move(tasks);
    lock.unlock();
  }
};

SerialQueue::SerialQueue(std::string name) : state_(std::make_shared<State>()) {
  thread_ = std::thread([state = state_, name = std::move(name)] {
    pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
    state->run();
  });
  id_ = thread_.get_id();
}

SerialQueue::~SerialQueue() {
  {
    std::lock_guard lock(state_->mutex);
    state_->stopping = true;
  }
  state_->wake.notify_one();
  if (isCurrent()) thread_.detach();
  else thread_.join();
}

bool SerialQueue::async(std::function<void()> task) {
  {
    std::lock_guard lock(state_->mutex);
    if (state_->stopping) return false;
    state_->tasks.push_back(std::move(task));
  }
  state_->wake.notify_one();
  return true;
}

namespace {

// Where a sync task leaves its outcome. The queue's thread lets go of the
// task, and of any exception, before it signals, so the exception belongs to
// the waiting thread alone once it is rethrown there.
struct Outcome {
  std::mutex mutex;
  std::condition_variable changed;
  bool done = false;
  std::exception_ptr error;
};

// Signals when the task has run or was dropped unstarted.
struct Signal {
  explicit Signal(std::shared_ptr<Outcome> o) : outcome(std::move(o)) {}
  Signal(const Signal&) = delete;
  Signal& operator=(const Signal&) = delete;
  std::shared_ptr<Outcome> outcome;
  ~Signal() {
    {
      std::lock_guard lock(outcome->mutex);
      outcome->done = true;
    }
    outcome->changed.notify_all();
  }
};

}  // namespace

void SerialQueue::sync(const std::function<void()>& task) {
  if (isCurrent()) {
    task();
    return;
  }
  auto outcome = std::make_shared<Outcome>();
  auto signal = std::make_shared<Signal>(outcome);
  bool queued = async([&task, outcome, signal]() mutable {
    try {
      task();
    } catch (...) {
      outcome->error = std::current_exception();
    }
    signal.reset();
  });
  signal.reset();
  if (!queued) {
    task();
    return;
  }
  std::unique_lock lock(outcome->mutex);
  outcome->changed.wait(lock, [&] { return outcome->done; });
  if (outcome->error) std::rethrow_exception(std::exchange(outcome->error, nullptr));
}

}  // namespace quillet
