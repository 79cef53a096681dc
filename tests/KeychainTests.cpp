#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstdlib>

#include "QuilletKit/Keychain.hpp"
#include "QuilletKit/ProviderConfig.hpp"
#include "TestSupport.hpp"

using namespace quillet;

// Runs against the real Secret Service of the test bed's D-Bus session; without a session bus the keychain is
// empty and the environment's key counts.
TEST(Keychain, StoresOverwritesRemovesAndReadsWhatSecretToolStored) {
  const char* bus = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  if (!bus || !*bus) GTEST_SKIP() << "needs scripts/with-services.sh";
  const std::string address = bus;
  const std::string account = "test-" + Uuid::random().string();
  EXPECT_FALSE(Keychain::get(account));
  using Value = std::optional<std::string>;
  for (const auto& [value, kept] : std::vector<std::pair<Value, Value>>{
           {"sk-first", "sk-first"}, {"sk-second", "sk-second"}, {"", {}}, {"sk-third", "sk-third"}, {{}, {}}}) {
    Keychain::set(value, account);
    EXPECT_EQ(Keychain::get(account), kept);
  }
  const std::string store = "printf sk-tool | secret-tool store --label=Quillet service app.quillet.mac.ai account ";
  ASSERT_EQ(std::system((store + account).c_str()), 0);
  test::ScopedEnv env{{"QUILLET_API_KEY", "sk-env"}};
  ProviderConfig provider{account, "Teste", ProviderKind::openAI, "https://x", "m", true, std::nullopt};
  EXPECT_EQ(provider.apiKey(), "sk-tool");  // the keychain comes first
  env.set("DBUS_SESSION_BUS_ADDRESS", std::nullopt);
  EXPECT_FALSE(Keychain::get(account));
  Keychain::set("ignored", account);
  EXPECT_EQ(provider.apiKey(), "sk-env");
  env.set("DBUS_SESSION_BUS_ADDRESS", address);
  Keychain::set("", account);
}

// A keyring of its own on a bus of its own, locked after the key is stored: locking the shared test keyring would
// lock the other tests out.
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

// A bus that takes connections and never answers: past a bounded wait the key counts as absent, and doctor still
// prints every line.
TEST(Keychain, ABusThatNeverAnswersCountsAsNoKey) {
  test::TempDir dir;
  sockaddr_un address{AF_UNIX, {}};
  std::string path = (dir.path() / "bus").string();
  path.copy(address.sun_path, sizeof address.sun_path - 1);
  int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(listener, 16), 0);  // connections wait in the backlog, never accepted
  // `timeout` only guards the suite against a hang; it is far above the wait.
  test::Outcome o = test::run("/usr/bin/timeout", {"60", QUILLET_BINARY, "doctor"},
                              {{"HOME", dir.path().string()}, {"XDG_CONFIG_HOME", (dir.path() / "config").string()},
                               {"XDG_DATA_HOME", (dir.path() / "data").string()},
                               {"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + path}});
  pollfd pending{listener, POLLIN, 0};
  EXPECT_EQ(poll(&pending, 1, 0), 1);  // the lookup did reach the bus
  close(listener);
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(std::count(o.out.begin(), o.out.end(), '\n'), 8) << o.out;
  EXPECT_NE(o.out.find("sem chave"), std::string::npos) << o.out;
}
