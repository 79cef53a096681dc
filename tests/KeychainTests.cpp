#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <chrono>
#include <cstdlib>
#include <thread>

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

// A keyring of its own on a bus of its own, locked after the key is stored:
// locking the shared test keyring would lock the other tests out.
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
      {{"HOME", dir.path().string()},
       {"XDG_DATA_HOME", (dir.path() / "data").string()},
       {"XDG_CONFIG_HOME", (dir.path() / "config").string()},
       {"XDG_RUNTIME_DIR", (dir.path() / "run").string()},
       {"PATH", "/usr/bin:/bin"}});
  EXPECT_NE(o.err.find("erro: o chaveiro está trancado; destranque-o para usar a chave de Groq\n"),
            std::string::npos)
      << o.err;
  EXPECT_EQ(o.err.find("sk-locked"), std::string::npos);
  EXPECT_EQ(o.status, 1);
}

// A bus that takes connections and never answers: past a bounded wait the
// key counts as absent, and doctor still prints every line.
TEST(Keychain, ABusThatNeverAnswersCountsAsNoKey) {
  test::TempDir dir;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::string path = (dir.path() / "bus").string();
  ASSERT_LT(path.size(), sizeof address.sun_path);
  path.copy(address.sun_path, path.size());
  int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(listener, 16), 0);
  std::vector<int> held;
  std::thread acceptor([&] {
    for (int fd; (fd = accept(listener, nullptr, nullptr)) >= 0;) held.push_back(fd);
  });
  // `timeout` only guards the suite against a hang; it is far above the wait.
  test::Outcome o = test::run("/usr/bin/timeout", {"60", QUILLET_BINARY, "doctor"},
                              {{"HOME", dir.path().string()},
                               {"XDG_CONFIG_HOME", (dir.path() / "config").string()},
                               {"XDG_DATA_HOME", (dir.path() / "data").string()},
                               {"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + path}});
  shutdown(listener, SHUT_RDWR);
  close(listener);
  acceptor.join();
  for (int fd : held) close(fd);
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(std::count(o.out.begin(), o.out.end(), '\n'), 8) << o.out;
  EXPECT_NE(o.out.find("sem chave"), std::string::npos) << o.out;
  EXPECT_FALSE(held.empty());  // the lookup did reach the bus
}
