// The `enhance` and `ai` commands against loopback servers: each path and exit status of the tool runs once.
#include <gtest/gtest.h>
#include <signal.h>

#include <future>
#include <regex>

#include "ClientTestSupport.hpp"
#include "TestSupport.hpp"

using namespace quillet::test;
using nlohmann::json;
namespace fs = std::filesystem;
using std::chrono::seconds;

namespace {

const std::string kKey = "sk-cli-secret-4242";
const fs::path kExamples = fs::path(QUILLET_SOURCE_DIR) / "examples" / "store";
const fs::path kExpected = fs::path(QUILLET_SOURCE_DIR) / "tests" / "expected";
const std::string kPlanning = "2025-03-10 0930 Planejamento do trimestre", kWeekly = "2025-03-18 1130 Weekly sync";

// Every file and folder under `folder` (itself included) with its bytes and modification time.
std::map<std::string, std::pair<std::string, fs::file_time_type>> snapshot(const fs::path& folder) {
  std::map<std::string, std::pair<std::string, fs::file_time_type>> entries{{".", {"", fs::last_write_time(folder)}}};
  for (const auto& e : fs::recursive_directory_iterator(folder))
    entries[fs::relative(e.path(), folder)] = {e.is_regular_file() ? readFile(e.path()) : "", e.last_write_time()};
  return entries;
}

// The example meetings copied into the store, so a test may watch them.
class EnhanceCommand : public ToolTest {
 protected:
  EnhanceCommand() { base.insert({{"no_proxy", "127.0.0.1"}, {"QUILLET_API_KEY", kKey}}); }
  fs::path example(const std::string& name) {
    fs::create_directories(dir.path() / "store");
    fs::copy(kExamples / name, dir.path() / "store" / name, fs::copy_options::recursive);
    return dir.path() / "store" / name;
  }
};

}  // namespace

// The notes or the failure (with which `--save` changes nothing), or the prompts, and no change to the folder.
TEST_F(EnhanceCommand, PrintsTheNotesOrTheFailureAndLeavesTheFolderAlone) {
  fs::path folder = example("2025-03-14 1000 Revisão de arquitetura");
  auto before = snapshot(folder);
  for (const auto& [status, reply, shown] : std::vector<std::tuple<int, std::string, std::string>>{
           {200, eventStream({anthropicText("\nA revisão decidiu.\n\n"), anthropicText("### Cache\n"),
                              anthropicStop("end_turn")}),
            "A revisão decidiu.\n\n### Cache\n(Anthropic · claude-test)\n"},
           {401, errorBody("invalid x-api-key"), "erro: HTTP 401: invalid x-api-key\n"}}) {
    LoopbackServer server = answering(status, reply);
    // Option pairs on both sides of the folder, which has a trailing slash.
    std::vector<std::string> args = {"enhance", "--provider", "anthropic", folder.string() + "/", "--model",
                                     "claude-test", "--base-url", server.url()};
    if (status != 200) args.push_back("--save");
    Outcome o = quillet(args);
    EXPECT_EQ(o.out + o.err + std::to_string(o.status), shown + (status == 200 ? "0" : "1"));
    EXPECT_EQ(snapshot(folder), before);
    // The prompts sent are those that `--prompt` shows.
    ASSERT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(server.requests()[0].header("x-api-key"), kKey);
    json body = json::parse(server.requests()[0].body);
    EXPECT_EQ(body["model"], "claude-test");
    EXPECT_EQ(body["system"].get<std::string>() + "\n\n---\n\n" + body["messages"][0]["content"].get<std::string>() +
                  "\n",
              readFile(kExpected / "prompt-arquitetura.txt"));
  }
  // `--prompt` needs neither key nor server, and another locale changes nothing.
  Outcome prompt = quillet({"enhance", folder.string(), "--prompt"}, {{"LC_ALL", "C.UTF-8"}, {"QUILLET_API_KEY", ""}});
  EXPECT_EQ(prompt.out + prompt.err + std::to_string(prompt.status),
            readFile(kExpected / "prompt-arquitetura.txt") + "0");
  EXPECT_EQ(snapshot(folder), before);

  // Named by its title with `--save`, the meeting gets the notes and the model; a terminal shows the run in place.
  preferences(R"({"storagePath": ")" + (dir.path() / "store").string() + R"("})");
  writeFile(folder / "notas.md", "- digitado enquanto isso\n");
  LoopbackServer server =
      answering(200, eventStream({{{"choices", {{{"delta", {{"content", "Notas "}}}}}}},
                                  {{"choices", {{{"delta", {{"content", "salvas."}}}, {"finish_reason", "stop"}}}}}},
                                 /*done=*/true));
  Outcome o = quillet({"enhance", "revisão", "--provider", "openai", "--model", "gpt-test", "--base-url",
                       server.url(), "--save"},
                      {}, 2);
  EXPECT_EQ(o.out + std::to_string(o.status), "Notas salvas.\n0");
  const std::string line = "\r\033[KChatGPT (OpenAI) \u00B7 gpt-test \u00B7 ";
  EXPECT_NE(o.err.find(line + "0 caracteres"), std::string::npos) << o.err;
  EXPECT_NE(o.err.find(line + "13 caracteres"), std::string::npos) << o.err;
  EXPECT_TRUE(o.err.ends_with("\r\033[K(ChatGPT (OpenAI) · gpt-test)\n")) << o.err;
  EXPECT_EQ(readFile(folder / "notas-ia.md"), "Notas salvas.");
  EXPECT_EQ(readFile(folder / "notas.md"), "- digitado enquanto isso\n");
  json meta = json::parse(readFile(folder / "meta.json"));
  EXPECT_EQ(meta["enhancedWith"].get<std::string>() + "|" + meta["title"].get<std::string>(),
            "ChatGPT (OpenAI) · gpt-test|Revisão de arquitetura");
}

TEST_F(EnhanceCommand, Failures) {
  preferences(R"({"providers": [{"id": "work", "name": "W", "kind": "openAI", "baseURL": "http://127.0.0.1:9/v1",
                "model": "m", "requiresKey": false}]})");
  writeFile(dir.path() / "sem-meta" / "notas.md", "- nada\n");
  const std::string weekly = (kExamples / kWeekly).string();
  // A local server that is not running: the address tried is named.
  const std::string closed = "http://127.0.0.1:" + std::to_string(closedPort()) + "/v1";
  for (const auto& [args, err] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"enhance", "--prompt", "--provider=", weekly},  // an empty value, not a missing one
            "provedor desconhecido: . Opções: anthropic, openai, openrouter, gemini, groq, deepseek, ollama, "
            "lmstudio, custom, apple, work\n"},
           {{"enhance", weekly, "--provider", "ollama", "--base-url", closed},
            "erro: Não foi possível conectar ao servidor. (" + closed + ")\n"},
           {{"enhance", "sem-meta//", "--prompt"},
            "não achei meta.json em " + (dir.path() / "sem-meta").string() + "\n"},
           {{"enhance", "~/inexistente"}, "não achei meta.json em " + (dir.path() / "inexistente").string() + "\n"},
           // A working folder that was removed leaves the path as typed.
           {{"-c", "mkdir gone && cd gone && rmdir ../gone && exec \"$0\" enhance reuniao/", QUILLET_BINARY},
            "não achei meta.json em reuniao\n"},
           {{"enhance", "--provider", "anthropic", "--prompt"}, kUsage},
           {{"ai", "--model", "test"}, kUsage},  // "test" is the model's value
           {{"ai", "list", "--base-url", "http://127.0.0.1:9"}, kUsage},
           {{"ai", "test", "--provider", "apple"}, "erro: Este Mac não roda a IA da Apple\n"},
       }) {
    SCOPED_TRACE(args.back());
    Outcome o = run(args[0] == "-c" ? "/bin/sh" : QUILLET_BINARY, args, environment(), dir.path().string());
    EXPECT_EQ(o.out + o.err + std::to_string(o.status), err + "1");
  }
}

// "--model" as the last word has no value: it stays behind and the provider's model is kept.
TEST_F(EnhanceCommand, AiTestAndModels) {
  LoopbackServer server([](Connection& c) {
    const std::string& target = c.request().target;
    if (target == "/v1/messages") c.respond(200, eventStream({anthropicText("Olá, "), anthropicText("Quillet!")}));
    else if (target == "/v1/models?limit=100") c.respond(200, R"({"data":[{"id":"claude-b"},{"id":"claude-a"}]})");
    else c.respond(401, errorBody("no"));
  });
  Outcome o = quillet({"ai", "test", "--provider", "anthropic", "--base-url", server.url(), "--model"});
  const std::regex greeting("Olá, Quillet!\n\\(Anthropic · claude-opus-5-5 · [0-9]+\\.[0-9] s\\)\n");
  EXPECT_TRUE(std::regex_match(o.out + o.err, greeting)) << o.out << o.err;
  EXPECT_EQ(o.status, 0);
  json body = json::parse(server.requests().at(0).body);
  EXPECT_EQ(body["model"], "claude-opus-5-5");
  EXPECT_EQ(body["system"], "Reply with one short sentence.");
  EXPECT_EQ(body["messages"][0]["content"], "Say hello to Quillet in Brazilian Portuguese.");
  for (const auto& [provider, shown] : std::vector<std::pair<std::string, std::string>>{
           {"anthropic", "claude-a\nclaude-b\n0"}, {"groq", "erro: HTTP 401: no\n1"}, {"apple", "system\n0"}}) {
    o = quillet({"ai", "--base-url", server.url(), "models", "--provider", provider});
    EXPECT_EQ(o.out + o.err + std::to_string(o.status), shown);
  }
}

// Ctrl-C ends either command at once, closing the transfer, printing nothing more and writing no folder.
TEST_F(EnhanceCommand, CtrlCEndsTheRunAndClosesTheTransfer) {
  fs::path folder = example(kPlanning);
  auto before = snapshot(folder);
  for (const auto& [command, shown] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"ai", "test"}, "Olá"}, {{"enhance", folder.string()}, ""}}) {
    std::promise<void> pieceSent;
    std::promise<bool> closed;
    LoopbackServer server([&](Connection& c) {
      c.sendHead(200);
      c.sendChunk(eventStream({anthropicText("Olá")}));
      pieceSent.set_value();
      closed.set_value(c.waitForClose(seconds(10)));
    });
    std::vector<std::string> args = command;
    args.insert(args.end(), {"--provider", "anthropic", "--base-url", server.url()});
    Running tool = start(args);
    ASSERT_EQ(pieceSent.get_future().wait_for(seconds(10)), std::future_status::ready);
    EXPECT_TRUE(tool.waitForOutput(shown, seconds(10)));
    tool.signal(SIGINT);
    auto transferClosed = closed.get_future();
    EXPECT_TRUE(transferClosed.wait_for(seconds(5)) == std::future_status::ready && transferClosed.get());
    Outcome o = tool.end();
    EXPECT_EQ(o.signal, SIGINT);  // so that a calling shell stops too
    EXPECT_EQ(o.out + o.err, shown);
  }
  EXPECT_EQ(snapshot(folder), before);
}
