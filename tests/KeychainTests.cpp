#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>

#include "QuilletKit/Keychain.hpp"
#include "QuilletKit/ProviderConfig.hpp"
#include "TestSupport.hpp"

using namespace quillet;

namespace {

bool haveSecretService() {
  const char* bus = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  return bus && *bus;
}

}  // namespace

// Runs against the real Secret Service of the test script's D-Bus session.
TEST(Keychain, StoresReadsOverwritesAndRemoves) {
  if (!haveSecretService()) GTEST_SKIP() << "needs scripts/with-services.sh";
  const std::string account = "test-" + Uuid::random().string();
  EXPECT_FALSE(Keychain::get(account));
  Keychain::set("sk-first", account);
  EXPECT_EQ(Keychain::get(account), "sk-first");
  Keychain::set("sk-second", account);
  EXPECT_EQ(Keychain::get(account), "sk-second");
  Keychain::set("", account);
  EXPECT_FALSE(Keychain::get(account));
  Keychain::set("sk-third", account);
  Keychain::set(std::nullopt, account);
  EXPECT_FALSE(Keychain::get(account));
}

TEST(Keychain, ReadsAnItemWrittenBySecretTool) {
  if (!haveSecretService()) GTEST_SKIP() << "needs scripts/with-services.sh";
  const std::string account = "tool-" + Uuid::random().string();
  std::string command = "printf 'sk-from-tool' | secret-tool store --label=Quillet service app.quillet.mac.ai account " + account;
  ASSERT_EQ(std::system(command.c_str()), 0);
  EXPECT_EQ(Keychain::get(account), "sk-from-tool");
  ProviderConfig provider{account, "Teste", ProviderKind::openAI, "https://x", "m", true, std::nullopt};
  setenv("QUILLET_API_KEY", "sk-env", 1);
  EXPECT_EQ(provider.apiKey(), "sk-from-tool");  // the keychain comes first
  unsetenv("QUILLET_API_KEY");
  Keychain::set("", account);
}

TEST(Keychain, WithoutASessionBusAnswersAtOnce) {
  const char* saved = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  std::string address = saved ? saved : "";
  unsetenv("DBUS_SESSION_BUS_ADDRESS");
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(Keychain::get("anthropic"));
  Keychain::set("ignored", "anthropic");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
  setenv("QUILLET_API_KEY", "sk-env", 1);
  EXPECT_EQ(Providers::presets()[0].apiKey(), "sk-env");
  unsetenv("QUILLET_API_KEY");
  if (!address.empty()) setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
}
