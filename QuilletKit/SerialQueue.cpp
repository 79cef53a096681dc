#include "QuilletKit/SerialQueue.hpp"

#include <pthread.h>

#include <exception>
#include <future>

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

void SerialQueue::sync(const std::function<void()>& task) {
  if (isCurrent()) {
    task();
    return;
  }
  // A task dropped unstarted breaks its promise, so the wait still ends.
  auto packaged = std::make_shared<std::packaged_task<void()>>(task);
  auto done = packaged->get_future();
  if (!async([packaged] { (*packaged)(); })) (*packaged)();
  done.get();
}

}  // namespace quillet
