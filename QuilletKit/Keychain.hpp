#pragma once
// API keys in the user's Secret Service (GNOME Keyring, KWallet, KeePassXC)
// through libsecret: items with the attributes service "app.quillet.mac.ai"
// and account = the given account, so `secret-tool store --label=Quillet
// service app.quillet.mac.ai account <id>` sets a key that Quillet reads.
//
// Blocking, callable from any thread, never throws and prints nothing.
// Without a session bus a read is "no key" at once and a write does nothing;
// a read never unlocks a collection, so it never shows a prompt. A bus that
// does not answer within a few seconds counts as no Secret Service.
#include <optional>
#include <string>

namespace quillet {

struct Keychain {
  Keychain() = delete;
  static constexpr const char* service = "app.quillet.mac.ai";

  static std::optional<std::string> get(const std::string& account);
  // Whether the account has an item that `get` cannot read because its
  // keyring is locked: a key the user has, but not now.
  static bool isLocked(const std::string& account);
  // Removes every item of the account, then stores `value` unless it is
  // absent or empty.
  static void set(const std::optional<std::string>& value, const std::string& account);
};

}  // namespace quillet
