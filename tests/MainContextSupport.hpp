#pragma once
// The main context in tests: a substitute whose clocks the test moves, and
// helpers that run GLib's real default context for a while.
#include <glib.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "QuilletKit/MainContext.hpp"

namespace quillet::test {

// Wall and monotonic clocks that move together when the test advances
// them; `sleep` moves the wall clock alone, as a suspended machine does.
// Timers and deferred calls fire only inside advance and sleep.
class ManualMainContext : public MainContext {
 public:
  struct Timer {
    Date fireDate;
    std::chrono::seconds tolerance;
    std::function<void()> fire;
    std::shared_ptr<bool> alive;
  };
  struct Wait {
    std::chrono::milliseconds due;
    std::function<void()> fire;
    std::shared_ptr<bool> alive;
  };

  explicit ManualMainContext(Date start = *parseISO8601("2025-03-10T12:00:00Z")) : current(start), wall_(start) {}

  Date current;                         // the wall clock, in whole seconds
  std::chrono::milliseconds elapsed{};  // the monotonic clock
  std::vector<Timer> timers;            // every timer for a date ever made
  std::vector<Wait> waits;              // monotonic timers and deferred calls

  Date now() override { return current; }
  std::unique_ptr<Registration> after(std::chrono::milliseconds delay, std::function<void()> fire) override {
    auto r = std::make_unique<Alive>();
    waits.push_back({elapsed + std::max(delay, std::chrono::milliseconds(0)), std::move(fire), r->alive});
    return r;
  }
  std::unique_ptr<Registration> at(Date date, std::chrono::seconds tolerance, std::function<void()> fire) override {
    auto r = std::make_unique<Alive>();
    timers.push_back({date, tolerance, std::move(fire), r->alive});
    return r;
  }
  // The logic under test reads no descriptors of its own.
  std::unique_ptr<Registration> watch(int, std::function<void()>) override { return std::make_unique<Alive>(); }
  std::unique_ptr<Registration> defer(std::function<void()> call) override { return after({}, std::move(call)); }

  std::vector<Timer> pending() const {
    std::vector<Timer> out;
    for (const auto& t : timers)
      if (*t.alive) out.push_back(t);
    return out;
  }
  size_t pendingWaits() const {
    return std::count_if(waits.begin(), waits.end(), [](const Wait& w) { return *w.alive; });
  }

  // Moves both clocks forward, firing what falls due in order of its time.
  void advance(std::chrono::milliseconds by) {
    const auto target = elapsed + by;
    while (fireNext(target)) {
    }
    setElapsed(target);
  }

  // The machine sleeps for `span`: only the wall clock moves. On waking,
  // timers for a date that passed fire.
  void sleep(std::chrono::milliseconds span) {
    wall_ += span;
    current = std::chrono::floor<std::chrono::seconds>(wall_);
    advance({});
  }

 private:
  struct Alive : Registration {
    std::shared_ptr<bool> alive = std::make_shared<bool>(true);
    ~Alive() override { *alive = false; }
  };

  void setElapsed(std::chrono::milliseconds to) {
    if (to <= elapsed) return;
    wall_ += to - elapsed;
    elapsed = to;
    current = std::chrono::floor<std::chrono::seconds>(wall_);
  }

  // Ended items let go of their callbacks, which may hold their owners.
  void prune() {
    std::erase_if(waits, [](const Wait& w) { return !*w.alive; });
    for (auto& t : timers)
      if (!*t.alive) t.fire = nullptr;
  }

  // Fires the earliest live item due by `target`; false when there is none.
  bool fireNext(std::chrono::milliseconds target) {
    prune();
    std::function<void()> fire;
    std::shared_ptr<bool> alive;
    std::chrono::milliseconds due = target + std::chrono::milliseconds(1);
    for (const auto& t : timers) {
      auto d = elapsed + std::chrono::duration_cast<std::chrono::milliseconds>(t.fireDate - wall_);
      if (*t.alive && d < due) due = d, fire = t.fire, alive = t.alive;
    }
    for (const auto& w : waits)
      if (*w.alive && w.due < due) due = w.due, fire = w.fire, alive = w.alive;
    if (!fire) return false;
    setElapsed(due);
    *alive = false;
    fire();
    return true;
  }

  std::chrono::sys_time<std::chrono::milliseconds> wall_;
};

// Runs GLib's default context until `done` or the timeout.
inline bool spinUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
    if (done()) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

inline void spinFor(std::chrono::milliseconds span) {
  spinUntil([] { return false; }, span);
}

}  // namespace quillet::test
