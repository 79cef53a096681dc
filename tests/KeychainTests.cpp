#include <gtest/gtest.h>

#include <cstdlib>

#include "QuilletKit/Keychain.hpp"
#include "QuilletKit/ProviderConfig.hpp"
#include "TestSupport.hpp"

using namespace quillet;

// Against the test bed's Secret Service: what secret-tool stored is read first, before the environment's key.
TEST(Keychain, ReadsWhatSecretToolStoredAndReplacesOrRemovesIt) {
  if (!std::getenv("DBUS_SESSION_BUS_ADDRESS")) GTEST_SKIP() << "needs scripts/with-services.sh";
  const std::string account = "test-" + Uuid::random().string();
  const std::string store = "printf sk-tool | secret-tool store --label=Quillet service app.quillet.mac.ai account ";
  ASSERT_EQ(std::system((store + account).c_str()), 0);
  test::ScopedEnv env{{"QUILLET_API_KEY", "sk-env"}};
  ProviderConfig provider{account, "Teste", ProviderKind::openAI, "https://x", "m", true, std::nullopt};
  EXPECT_EQ(provider.apiKey(), "sk-tool");
  Keychain::set("sk-second", account);
  EXPECT_EQ(Keychain::get(account), "sk-second");
  Keychain::set(std::nullopt, account);
  EXPECT_EQ(provider.apiKey(), "sk-env");
}

// A keyring of its own on a bus of its own: locking the shared test keyring would lock the other tests out.
TEST(Keychain, ALockedKeyringIsNotAMissingKey) {
  if (::access("/usr/bin/dbus-run-session", X_OK) != 0 || ::access("/usr/bin/gnome-keyring-daemon", X_OK) != 0)
    GTEST_SKIP() << "needs dbus and gnome-keyring";
  quillet::test::TempDir dir;
  std::filesystem::create_directories(dir.path() / "run");
  std::filesystem::permissions(dir.path() / "run", std::filesystem::perms::owner_all);
  const std::string script =
      "eval \"$(printf 'pw\\n' | gnome-keyring-daemon --unlock --components=secrets)\" >/dev/null\n"
      "printf sk-locked | secret-tool store --label=Quillet service app.quillet.mac.ai account groq\n"
      "gdbus call --session --dest org.freedesktop.secrets --object-path /org/freedesktop/secrets "
      "--method org.freedesktop.Secret.Service.Lock \"['/org/freedesktop/secrets/collection/login']\" >/dev/null\n"
      "exec \"$0\" ai models --provider groq\n";
  quillet::test::Outcome o = quillet::test::run(
      "/usr/bin/dbus-run-session", {"--", "/bin/sh", "-c", script, QUILLET_BINARY},
      {{"HOME", dir.path().string()}, {"XDG_DATA_HOME", (dir.path() / "data").string()},
       {"XDG_CONFIG_HOME", (dir.path() / "config").string()}, {"XDG_RUNTIME_DIR", (dir.path() / "run").string()},
       {"PATH", "/usr/bin:/bin"}});
  EXPECT_NE(o.err.find("erro: o chaveiro está trancado; destranque-o para usar a chave de Groq\n"), std::string::npos)
      << o.err;
  EXPECT_EQ(o.err.find("sk-locked"), std::string::npos);
  EXPECT_EQ(o.status, 1);
}
