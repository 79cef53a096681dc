#include "QuilletKit/Shortcut.hpp"

#include <limits>

#include "QuilletKit/Text.hpp"

namespace quillet {

std::string Shortcut::display() const {
  std::string out;
  if (modifiers & control) out += "\u2303";
  if (modifiers & option) out += "\u2325";
  if (modifiers & shift) out += "\u21E7";
  if (modifiers & command) out += "\u2318";
  return out + text::toUpper(key);
}

nlohmann::ordered_json toJSON(const Shortcut& s) {
  return {{"keyCode", s.keyCode}, {"modifiers", s.modifiers}, {"key", s.key}};
}

static std::optional<uint32_t> unsigned32(const nlohmann::json& j, const char* key) {
  auto it = j.find(key);
  if (it == j.end() || !it->is_number()) return std::nullopt;
  if (it->is_number_float()) {
    // 15.0 is the number 15; 15.5 is no key code.
    double v = it->get<double>();
    if (!(v >= 0 && v <= std::numeric_limits<uint32_t>::max()) || v != static_cast<double>(static_cast<uint32_t>(v)))
      return std::nullopt;
    return static_cast<uint32_t>(v);
  }
  if (it->is_number_unsigned()) {
    auto v = it->get<uint64_t>();
    if (v > std::numeric_limits<uint32_t>::max()) return std::nullopt;
    return static_cast<uint32_t>(v);
  }
  auto v = it->get<int64_t>();
  if (v < 0 || v > std::numeric_limits<uint32_t>::max()) return std::nullopt;
  return static_cast<uint32_t>(v);
}

std::optional<Shortcut> shortcutFromJSON(const nlohmann::json& j) {
  if (!j.is_object()) return std::nullopt;
  auto keyCode = unsigned32(j, "keyCode"), modifiers = unsigned32(j, "modifiers");
  auto key = j.find("key");
  if (!keyCode || !modifiers || key == j.end() || !key->is_string()) return std::nullopt;
  return Shortcut{*keyCode, *modifiers, key->get<std::string>()};
}

}  // namespace quillet
