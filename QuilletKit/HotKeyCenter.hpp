#pragma once
// System-wide hot keys: a Shortcut becomes a key grab on the X display's
// root window that works while another application is in front, calling
// back when the key goes down and, optionally, when it comes up again
// (push-to-talk dictation). A held key calls `pressed` once.
//
// Carbon key codes (all keys of the ANSI layout, digits, function keys,
// arrows, Escape, Return, Space, Tab...) and modifier masks are translated:
// Command is Super, Option is Alt, Control and Shift are themselves. Caps
// Lock and Num Lock do not matter.
//
// One instance, `shared`, made on first use. Main thread only: register
// and unregister there; handlers are called there, from the main context.
// A hot key that the display refuses (another client holds it, the key has
// no counterpart, no display at all) is reported only by an absent number.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>

#include "QuilletKit/Shortcut.hpp"

namespace quillet {

class DisplayServer;

class HotKeyCenter {
 public:
  static HotKeyCenter& shared();
  ~HotKeyCenter();

  // The hot key's number, or absent when refused. A number is used up even
  // by a refusal and never given again. Handlers must not throw.
  std::optional<uint32_t> registerHotKey(const Shortcut& shortcut, std::function<void()> pressed,
                                         std::function<void()> released = {});
  // Absent numbers and numbers without a hot key are ignored.
  void unregister(std::optional<uint32_t> number);

 private:
  friend std::unique_ptr<HotKeyCenter> makeHotKeyCenter(std::shared_ptr<DisplayServer>);
  explicit HotKeyCenter(std::shared_ptr<DisplayServer> display);

  struct Entry {
    uint32_t keysym;
    uint32_t modifiers;
    std::function<void()> pressed;
    std::function<void()> released;
    bool down = false;
  };

  void handle(uint32_t keysym, uint32_t modifiers, bool pressed);

  std::shared_ptr<DisplayServer> display_;
  bool handlerInstalled_ = false;
  std::map<uint32_t, Entry> entries_;
  uint32_t nextID_ = 1;
  bool exhausted_ = false;
};

}  // namespace quillet
