#include "QuilletKit/Uuid.hpp"

#include <sys/random.h>

#include <cerrno>
#include <random>

namespace quillet {

Uuid Uuid::random() {
  // The kernel's generator, not a seeded one: a forked child must never
  // repeat its parent's identifiers.
  Uuid u;
  size_t filled = 0;
  while (filled < u.bytes.size()) {
    ssize_t n = ::getrandom(u.bytes.data() + filled, u.bytes.size() - filled, 0);
    if (n > 0) filled += static_cast<size_t>(n);
    else if (errno != EINTR) {
      std::random_device device;
      for (auto& b : u.bytes) b = static_cast<std::uint8_t>(device());
      break;
    }
  }
  u.bytes[6] = (u.bytes[6] & 0x0F) | 0x40;
  u.bytes[8] = (u.bytes[8] & 0x3F) | 0x80;
  return u;
}

// Transcripts hold one identifier per line, so parsing is on the listing's hot path.
static constexpr std::array<int8_t, 256> kHexValues = [] {
  std::array<int8_t, 256> table{};
  for (auto& v : table) v = -1;
  for (int c = '0'; c <= '9'; ++c) table[c] = static_cast<int8_t>(c - '0');
  for (int c = 'a'; c <= 'f'; ++c) table[c] = static_cast<int8_t>(c - 'a' + 10);
  for (int c = 'A'; c <= 'F'; ++c) table[c] = static_cast<int8_t>(c - 'A' + 10);
  return table;
}();

static int hexValue(char c) { return kHexValues[static_cast<unsigned char>(c)]; }

std::optional<Uuid> Uuid::parse(std::string_view text) {
  if (text.size() != 36) return std::nullopt;
  Uuid u;
  size_t byte = 0;
  for (size_t i = 0; i < 36;) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (text[i] != '-') return std::nullopt;
      ++i;
      continue;
    }
    int hi = hexValue(text[i]), lo = hexValue(text[i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    u.bytes[byte++] = static_cast<std::uint8_t>(hi << 4 | lo);
    i += 2;
  }
  return u;
}

std::string Uuid::string() const {
  static const char* digits = "0123456789ABCDEF";
  std::string out;
  out.reserve(36);
  for (size_t i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) out.push_back('-');
    out.push_back(digits[bytes[i] >> 4]);
    out.push_back(digits[bytes[i] & 0xF]);
  }
  return out;
}

}  // namespace quillet
