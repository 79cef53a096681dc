// Two promises of the tool as a whole: an API key never leaves the keychain or the environment, and without a
// session bus, sound server or display every command answers at once with its documented result.
#include <gtest/gtest.h>

#include "ClientTestSupport.hpp"
#include "QuilletKit/Keychain.hpp"
#include "TestSupport.hpp"

using namespace quillet;
using namespace quillet::test;
using nlohmann::json;
namespace fs = std::filesystem;

namespace {

// A copy of the example meeting in the store the preferences name.
class KeysAndServices : public ToolTest {
 protected:
  void SetUp() override {
    const std::string name = "2025-03-10 0930 Planejamento do trimestre";
    folder = dir.path() / "store" / name;
    fs::create_directories(folder.parent_path());
    fs::copy(fs::path(QUILLET_SOURCE_DIR) / "examples" / "store" / name, folder, fs::copy_options::recursive);
    preferences(json{{"storagePath", folder.parent_path().string()}}.dump());
  }
  fs::path folder;
};

// A server that echoes whatever key it was sent back in its answers, the worst a provider could do.
LoopbackServer echoingServer(bool fail) {
  return LoopbackServer([fail](Connection& c) {
    std::string key = c.request().header("x-api-key") + c.request().header("authorization");
    if (fail) return (void)c.respond(401, errorBody("invalid key " + key));
    if (c.request().target.find("models") != std::string::npos)
      return (void)c.respond(200, json{{"data", json::array({{{"id", "model-a"}}})}}.dump());
    c.sendHead(200);
    c.sendChunk(eventStream({anthropicText("Notas finais."),
                             {{"choices", json::array({{{"delta", {{"content", " Fim."}}}}})}}}));
    c.endChunks();
  });
}

}  // namespace

TEST_F(KeysAndServices, KeysNeverAppearInOutputOrFiles) {
  const std::string key = "sk-canary-" + Uuid::random().string();
  std::map<std::string, std::string> env = {{"QUILLET_API_KEY", key}, {"no_proxy", "127.0.0.1"}};
  if (const char* bus = std::getenv("DBUS_SESSION_BUS_ADDRESS")) {
    Keychain::set(key, "anthropic");
    env["DBUS_SESSION_BUS_ADDRESS"] = bus;
  }
  LoopbackServer good = echoingServer(false), bad = echoingServer(true);
  std::vector<std::vector<std::string>> commands = {{"doctor"}, {"list"}, {"enhance", folder.string(), "--prompt"}};
  for (std::string provider : {"anthropic", "groq"})
    for (const LoopbackServer* server : {&good, &bad})
      for (std::vector<std::string> args :
           {std::vector<std::string>{"enhance", folder.string()}, {"ai", "test"}, {"ai", "models"}}) {
        args.insert(args.end(), {"--provider", provider, "--base-url", server->url()});
        commands.push_back(args);
      }
  int succeeded = 0;
  for (const auto& args : commands) {
    Outcome o = quillet(args, env);
    succeeded += o.status == 0;
    EXPECT_EQ((o.out + o.err).find(key), std::string::npos) << args[0] << " " << args.back() << ": " << o.err;
  }
  EXPECT_GT(succeeded, 5);
  EXPECT_LT(succeeded, static_cast<int>(commands.size()) - 3);
  for (const auto& entry : fs::recursive_directory_iterator(dir.path()))
    if (entry.is_regular_file()) {
      EXPECT_EQ(readFile(entry.path()).find(key), std::string::npos) << entry.path();
    }
  if (env.count("DBUS_SESSION_BUS_ADDRESS")) Keychain::set("", "anthropic");
}

// No session bus, sound server, display or runtime folder.
TEST_F(KeysAndServices, EveryCommandAnswersAtOnceWithoutServices) {
  for (const auto& [args, status, told] : std::vector<std::tuple<std::vector<std::string>, int, std::string>>{
           {{"doctor"}, 0, "sem chave"},
           {{"list"}, 0, ""},
           {{"enhance", folder.string(), "--prompt"}, 0, "# Meeting"},
           {{"enhance", folder.string()}, 1, "Guarde a chave com: secret-tool store"},
           {{"ai", "models", "--provider", "apple"}, 0, "system"},
           {{"ai", "test", "--provider", "apple"}, 1, "erro: Este Mac não roda a IA da Apple"},
           {{"ai", "test", "--provider", "ollama", "--base-url", "http://127.0.0.1:" + std::to_string(closedPort())}, 1,
            "erro: "},
       }) {
    auto started = std::chrono::steady_clock::now();
    Outcome o = quillet(args);
    EXPECT_EQ(o.status, status) << args[0] << ": " << o.err;
    EXPECT_NE((o.out + o.err).find(told), std::string::npos) << args[0] << ": " << o.out << o.err;
    // Generous for a loaded sanitizer build: a hang or a prompt would take far longer.
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5)) << args[0];
  }
  EXPECT_FALSE(fs::exists(dir.path() / ".dbus"));  // no bus was launched for us
}
