// Two promises of the tool as a whole: an API key never leaves the keychain
// or the environment, and without a session bus, sound server or display
// every command answers at once with its documented result.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>

#include "ClientTestSupport.hpp"
#include "LoopbackServer.hpp"
#include "QuilletKit/Keychain.hpp"
#include "TestSupport.hpp"

using namespace quillet;
using namespace quillet::test;
using nlohmann::json;
namespace fs = std::filesystem;

namespace {

const fs::path kExamples = fs::path(QUILLET_SOURCE_DIR) / "examples" / "store";
const std::string kMeeting = "2025-03-10 0930 Planejamento do trimestre";

// Every regular file under `root` that holds `needle`.
std::vector<fs::path> filesHolding(const fs::path& root, const std::string& needle) {
  std::vector<fs::path> found;
  for (const auto& entry : fs::recursive_directory_iterator(root))
    if (entry.is_regular_file() && readFile(entry.path()).find(needle) != std::string::npos) found.push_back(entry.path());
  return found;
}

// A server that echoes whatever key it was sent back in its answers, the
// worst a provider could do.
LoopbackServer echoingServer(bool fail) {
  return LoopbackServer([fail](Connection& c) {
    std::string key = c.request().header("x-api-key") + c.request().header("authorization");
    if (fail) {
      c.respond(401, json{{"error", {{"message", "invalid key " + key}}}}.dump());
    } else if (c.request().target.find("models") != std::string::npos) {
      c.respond(200, json{{"data", json::array({{{"id", "model-a"}}})}}.dump());
    } else {
      c.sendHead(200);
      c.sendChunk(eventStream({anthropicText("Notas finais."),
                               {{"choices", json::array({{{"delta", {{"content", " Fim."}}}}})}}}));
      c.endChunks();
    }
  });
}

}  // namespace

TEST(Keys, NeverAppearInOutputOrFiles) {
  TempDir dir;
  const std::string key = "sk-canary-" + Uuid::random().string();
  const bool keychain = std::getenv("DBUS_SESSION_BUS_ADDRESS") != nullptr;
  if (keychain) Keychain::set(key, "anthropic");
  fs::create_directories(dir.path() / "store");
  fs::copy(kExamples / kMeeting, dir.path() / "store" / kMeeting, fs::copy_options::recursive);
  const fs::path folder = dir.path() / "store" / kMeeting;
  writeFile(dir.path() / "config" / "app.quillet.mac" / "preferences.json",
            json{{"storagePath", (dir.path() / "store").string()}}.dump());
  std::map<std::string, std::string> env = {{"HOME", dir.path().string()},
                                            {"XDG_CONFIG_HOME", (dir.path() / "config").string()},
                                            {"XDG_DATA_HOME", (dir.path() / "data").string()},
                                            {"QUILLET_API_KEY", key},
                                            {"no_proxy", "127.0.0.1"}};
  if (keychain) env["DBUS_SESSION_BUS_ADDRESS"] = std::getenv("DBUS_SESSION_BUS_ADDRESS");

  LoopbackServer good = echoingServer(false), bad = echoingServer(true);
  std::vector<std::vector<std::string>> commands = {{"doctor"}, {"list"}, {"enhance", folder.string(), "--prompt"}};
  for (const auto& [provider, server] : {std::pair{"anthropic", &good}, {"anthropic", &bad}, {"groq", &good}, {"groq", &bad}}) {
    for (std::string verb : {"enhance", "test", "models"}) {
      std::vector<std::string> args = verb == "enhance" ? std::vector<std::string>{"enhance", folder.string()}
                                                        : std::vector<std::string>{"ai", verb};
      args.insert(args.end(), {"--provider", provider, "--base-url", server->url()});
      commands.push_back(args);
    }
  }
  int succeeded = 0, failed = 0;
  for (const auto& args : commands) {
    Outcome o = run(QUILLET_BINARY, args, env);
    (o.status == 0 ? succeeded : failed)++;
    EXPECT_EQ(o.out.find(key), std::string::npos) << args[0] << " " << args.back();
    EXPECT_EQ(o.err.find(key), std::string::npos) << args[0] << " " << args.back() << ": " << o.err;
  }
  EXPECT_GT(succeeded, 5);
  EXPECT_GT(failed, 3);
  EXPECT_EQ(filesHolding(dir.path(), key), std::vector<fs::path>{});
  if (keychain) Keychain::set("", "anthropic");
}

TEST(WithoutServices, EveryCommandAnswersAtOnce) {
  TempDir dir;
  fs::copy(kExamples / kMeeting, dir.path() / kMeeting, fs::copy_options::recursive);
  // No session bus, sound server, display or runtime folder.
  std::map<std::string, std::string> env = {{"HOME", dir.path().string()},
                                            {"XDG_CONFIG_HOME", (dir.path() / "config").string()},
                                            {"XDG_DATA_HOME", (dir.path() / "data").string()},
                                            {"PATH", "/usr/bin:/bin"},
                                            {"TZ", "UTC"}};
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string expectedInOutput;
  };
  std::vector<Case> cases = {
      {{"doctor"}, 0, "sem chave"},
      {{"list"}, 0, ""},
      {{"enhance", (dir.path() / kMeeting).string(), "--prompt"}, 0, "# Meeting"},
      {{"enhance", (dir.path() / kMeeting).string()}, 1, "erro: Falta a chave de API de Anthropic"},
      {{"ai", "models", "--provider", "apple"}, 0, "system"},
      {{"ai", "test", "--provider", "apple"}, 1, "erro: Este Mac não roda a IA da Apple"},
      {{"ai", "test", "--provider", "ollama", "--base-url", "http://127.0.0.1:" + std::to_string(closedPort())}, 1,
       "erro: "},
  };
  for (const auto& c : cases) {
    auto started = std::chrono::steady_clock::now();
    Outcome o = run(QUILLET_BINARY, c.args, env);
    auto elapsed = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(o.status, c.status) << c.args[0] << ": " << o.err;
    EXPECT_NE((o.out + o.err).find(c.expectedInOutput), std::string::npos) << c.args[0] << ": " << o.out << o.err;
    // Generous for a loaded sanitizer build: a hang or a prompt would take far longer.
    EXPECT_LT(elapsed, std::chrono::seconds(5)) << c.args[0];
  }
  EXPECT_FALSE(fs::exists(dir.path() / ".dbus"));  // no bus was launched for us
}
