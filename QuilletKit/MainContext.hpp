#pragma once
// Where the services confined to the main thread (calendar watcher, meeting
// detector, hot keys, text inserter) schedule their work: one-shot timers on
// the monotonic clock, one-shot timers for a date on the wall clock, watches
// of a file descriptor and deferred calls.
//
// The real context is GLib's default main context, which the client runs
// (g_main_loop_run); nothing here runs it. Tests use a substitute whose
// clocks they move by hand. Everything is called on the main thread only.
// Callbacks run there, must not throw, and may end any registration, their
// own included, or drop the object that owns it.
#include <chrono>
#include <functional>
#include <memory>

#include "QuilletKit/Dates.hpp"

namespace quillet {

// Ends what it stands for (a timer, a watch, an observer) when destroyed.
class Registration {
 public:
  virtual ~Registration() = default;
};

class MainContext {
 public:
  virtual ~MainContext() = default;

  // GLib's default main context, one object for the process, made on first use.
  static std::shared_ptr<MainContext> main();

  // The wall clock.
  virtual Date now() = 0;

  // Calls `fire` once, `delay` from now on the monotonic clock, which stands
  // still while the machine sleeps: for short waits.
  virtual std::unique_ptr<Registration> after(std::chrono::milliseconds delay, std::function<void()> fire) = 0;

  // Calls `fire` once when the wall clock reaches `date` (at once for a past
  // date), give or take `tolerance`; also when the machine slept through the
  // date or the clock was set past it.
  virtual std::unique_ptr<Registration> at(Date date, std::chrono::seconds tolerance, std::function<void()> fire) = 0;

  // Calls `ready` each time `fd` can be read, has hung up or failed, until
  // the registration ends. The descriptor stays the caller's.
  virtual std::unique_ptr<Registration> watch(int fd, std::function<void()> ready) = 0;

  // Calls `call` once from the loop, after what is already due.
  virtual std::unique_ptr<Registration> defer(std::function<void()> call) = 0;
};

}  // namespace quillet
