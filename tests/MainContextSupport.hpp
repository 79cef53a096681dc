#pragma once
// The main context in tests: a substitute whose clocks the test moves, and spins of GLib's real default context.
#include <glib.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "QuilletKit/MainContext.hpp"

namespace quillet::test {

struct Alive : Registration {
  std::shared_ptr<bool> alive = std::make_shared<bool>(true);
  ~Alive() override { *alive = false; }
};

// Wall and monotonic clocks that move together; timers and deferred calls fire only inside advance.
class ManualMainContext : public MainContext {
 public:
  struct Timer {
    std::chrono::milliseconds due;  // on the monotonic clock
    std::optional<Date> fireDate;   // for timers for a date
    std::chrono::seconds tolerance;
    std::function<void()> fire;
    std::shared_ptr<bool> alive;
  };

  explicit ManualMainContext(Date start = *parseISO8601("2025-03-10T12:00:00Z")) : current(start), start_(start) {}

  Date current;                         // the wall clock, in whole seconds
  std::chrono::milliseconds elapsed{};  // the monotonic clock
  std::vector<Timer> timers;            // every one ever made, in order

  Date now() override { return current; }
  std::unique_ptr<Registration> after(std::chrono::milliseconds delay, std::function<void()> fire) override {
    return add(elapsed + std::max(delay, std::chrono::milliseconds(0)), std::nullopt, {}, std::move(fire));
  }
  std::unique_ptr<Registration> at(Date date, std::chrono::seconds tolerance, std::function<void()> fire) override {
    auto due = std::chrono::duration_cast<std::chrono::milliseconds>(date - start_);
    return add(due, date, tolerance, std::move(fire));
  }
  // The logic under test reads no descriptors of its own.
  std::unique_ptr<Registration> watch(int, std::function<void()>) override { return std::make_unique<Alive>(); }
  std::unique_ptr<Registration> defer(std::function<void()> call) override { return after({}, std::move(call)); }

  // The live timers for a date, or the live monotonic ones and deferred calls.
  std::vector<Timer> pending(bool forDates = true) const {
    std::vector<Timer> out;
    std::copy_if(timers.begin(), timers.end(), std::back_inserter(out),
                 [&](const Timer& t) { return *t.alive && t.fireDate.has_value() == forDates; });
    return out;
  }

  // Moves both clocks forward, firing what falls due in order of its time.
  void advance(std::chrono::milliseconds by) {
    const auto target = elapsed + by;
    for (;;) {
      auto next = timers.end();
      for (auto t = timers.begin(); t != timers.end(); ++t) {
        if (!*t->alive) t->fire = nullptr;  // it may hold its owner
        else if (t->due <= target && (next == timers.end() || t->due < next->due)) next = t;
      }
      if (next == timers.end()) break;
      moveTo(next->due);
      *next->alive = false;
      std::exchange(next->fire, nullptr)();
    }
    moveTo(target);
  }

 private:
  std::unique_ptr<Registration> add(std::chrono::milliseconds due, std::optional<Date> date,
                                    std::chrono::seconds tolerance, std::function<void()> fire) {
    auto r = std::make_unique<Alive>();
    timers.push_back({due, date, tolerance, std::move(fire), r->alive});
    return r;
  }
  void moveTo(std::chrono::milliseconds to) {
    elapsed = std::max(elapsed, to);
    current = std::chrono::floor<std::chrono::seconds>(start_ + elapsed);
  }

  Date start_;  // the wall clock when the monotonic one was at zero
};

// Runs GLib's default context until `done` or the timeout, calling `between` between turns.
inline bool spinUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout,
                      const std::function<void()>& between = {}) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
    if (between) between();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

inline void spinFor(std::chrono::milliseconds span) { spinUntil([] { return false; }, span); }

inline std::string calendar(const std::string& body) {
  return "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//Quillet tests//EN\r\n" + body + "END:VCALENDAR\r\n";
}
inline std::string event(const std::string& lines) { return "BEGIN:VEVENT\r\n" + lines + "END:VEVENT\r\n"; }
// "20250310T130000Z" for a date.
inline std::string icsTime(Date d) {
  std::string out = formatISO8601(d);
  std::erase_if(out, [](char c) { return c == '-' || c == ':'; });
  return out;
}

}  // namespace quillet::test
