#pragma once
// One global keyboard shortcut: a Carbon-numbered key code, a Carbon modifier
// mask and the key's label. A plain value, safe to copy between threads.
#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace quillet {

struct Shortcut {
  // Carbon modifier bits; other bits are carried but not shown.
  static constexpr uint32_t command = 256, shift = 512, option = 2048, control = 4096;

  uint32_t keyCode = 0;
  uint32_t modifiers = 0;
  std::string key;

  static Shortcut controlR() { return {15, control, "R"}; }
  // The Escape key (Carbon key code 53), without modifiers.
  static Shortcut escape() { return {53, 0, "\u238B"}; }

  // The Carbon mask of the given modifier keys.
  static constexpr uint32_t carbonModifiers(bool command, bool option, bool control, bool shift) {
    return (command ? Shortcut::command : 0) | (option ? Shortcut::option : 0) | (control ? Shortcut::control : 0) |
           (shift ? Shortcut::shift : 0);
  }

  // "⌃⌥⇧⌘" for the set bits, in that order, then the key upper-cased.
  std::string display() const;

  friend bool operator==(const Shortcut&, const Shortcut&) = default;
};

// {"keyCode", "modifiers", "key"}; decoding needs all three, correctly typed.
nlohmann::ordered_json toJSON(const Shortcut& shortcut);
std::optional<Shortcut> shortcutFromJSON(const nlohmann::json& json);

}  // namespace quillet

template <>
struct std::hash<quillet::Shortcut> {
  size_t operator()(const quillet::Shortcut& s) const noexcept {
    size_t h = std::hash<uint32_t>{}(s.keyCode);
    h = h * 31 + std::hash<uint32_t>{}(s.modifiers);
    return h * 31 + std::hash<std::string>{}(s.key);
  }
};
