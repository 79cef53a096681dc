#pragma once
// A version-4 UUID as a plain value. Text form is upper case; parsing accepts
// either case. Thread-safe; `random()` draws from the kernel.
#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace quillet {

struct Uuid {
  std::array<std::uint8_t, 16> bytes{};

  static Uuid random();
  // Absent unless `text` is exactly the 8-4-4-4-12 hexadecimal form.
  static std::optional<Uuid> parse(std::string_view text);
  std::string string() const;

  friend bool operator==(const Uuid&, const Uuid&) = default;
  friend auto operator<=>(const Uuid&, const Uuid&) = default;
};

}  // namespace quillet

template <>
struct std::hash<quillet::Uuid> {
  size_t operator()(const quillet::Uuid& u) const noexcept {
    size_t h = 0;
    for (auto b : u.bytes) h = h * 131 + b;
    return h;
  }
};
