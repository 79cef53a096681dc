#pragma once
// One worker thread running tasks one at a time, in the order given: the
// serial queue of a capture service. Internal; not installed.
//
// Tasks must not throw out of async(); sync() carries a task's exception back
// to its caller. Destroying the queue lets the running task finish, drops the
// tasks not yet started and joins the thread; destroyed from inside one of
// its own tasks, it lets the thread end by itself instead.
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace quillet {

class SerialQueue {
 public:
  explicit SerialQueue(std::string name);
  ~SerialQueue();
  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;

  // False, and the task is dropped, once the queue is being destroyed.
  bool async(std::function<void()> task);
  // Runs `task` on the queue after what was queued before and waits for it;
  // on the queue itself, or on one being destroyed, it runs at once. A task
  // dropped unstarted because the queue went meanwhile counts as done.
  void sync(const std::function<void()>& task);
  bool isCurrent() const { return std::this_thread::get_id() == id_; }

 private:
  struct State;
  std::shared_ptr<State> state_;
  std::thread thread_;
  std::thread::id id_;
};

}  // namespace quillet
