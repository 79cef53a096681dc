#pragma once
// Internal, not installed: the GLib main context with the system's resume
// notices read from a chosen bus, so that tests can play logind on a
// private bus.
#include <memory>
#include <string>

#include "QuilletKit/MainContext.hpp"

namespace quillet {

// Timers for a date are set again when logind's PrepareForSleep(false)
// arrives on the bus at `busAddress` (empty: the system bus).
std::shared_ptr<MainContext> makeGLibMainContext(std::string busAddress);

}  // namespace quillet
