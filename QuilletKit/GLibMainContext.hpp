#pragma once
// Internal, not installed: the GLib main context with the system's resume
// notices read from a chosen bus, so that tests can play logind on a
// private bus.
#include <glib.h>

#include <memory>
#include <span>
#include <string>

#include "QuilletKit/MainContext.hpp"

namespace quillet {

// Timers for a date are set again when logind's PrepareForSleep(false)
// arrives on the bus at `busAddress` (empty: the system bus).
std::shared_ptr<MainContext> makeGLibMainContext(std::string busAddress);

// What a foreground command does on its first SIGINT or SIGTERM: removes the
// main-context sources in `sources` (the signal watches among them) and
// zeroes them, gives both signals back their default action so that a second
// one ends the process, and quits `loop`. Main thread only.
void quitOnFirstSignal(GMainLoop* loop, std::span<guint> sources);

}  // namespace quillet
