#pragma once
// Desktop notifications: org.freedesktop.Notifications on the session bus,
// application name "Quillet".
//
// Threads: send() only starts the call and returns; the answer arrives on the
// GLib default main context, where `done` runs. Without a session bus, or
// when no notification service answers, `done` gets false; nothing is
// raised and nothing retried.
#include <functional>
#include <string>

namespace quillet {

struct Notifications {
  Notifications() = delete;

  // `body` is plain text; characters that the service would read as markup
  // are escaped.
  static void send(const std::string& summary, const std::string& body, std::function<void(bool shown)> done = {});
};

}  // namespace quillet
