// The `enhance` and `ai` commands end to end: the built binary against
// loopback servers that speak the providers' protocols.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>

#include "ClientTestSupport.hpp"
#include "LoopbackServer.hpp"
#include "TestSupport.hpp"

using namespace quillet;
using namespace quillet::test;
using nlohmann::json;
namespace fs = std::filesystem;

namespace {

const char* kKey = "sk-cli-secret-4242";
const fs::path kSource = QUILLET_SOURCE_DIR;
const fs::path kExamples = kSource / "examples" / "store";
const fs::path kExpected = kSource / "tests" / "expected";


// Every file and folder under `folder` (itself included) with its bytes and
// modification time.
struct Entry {
  std::string bytes;
  fs::file_time_type modified;
  bool operator==(const Entry&) const = default;
};
std::map<std::string, Entry> snapshot(const fs::path& folder) {
  std::map<std::string, Entry> entries = {{".", {"", fs::last_write_time(folder)}}};
  for (const auto& e : fs::recursive_directory_iterator(folder))
    entries[fs::relative(e.path(), folder).string()] = {e.is_regular_file() ? readFile(e.path()) : "",
                                                        fs::last_write_time(e.path())};
  return entries;
}

// The expected output of `enhance --prompt` split into what goes to a model.
struct Prompts {
  std::string system, user;
};
Prompts expectedPrompts(const std::string& file) {
  std::string all = readFile(kExpected / file);
  size_t separator = all.find("\n\n---\n\n");
  return {all.substr(0, separator), all.substr(separator + 7, all.size() - separator - 8)};
}

class EnhanceCommand : public ::testing::Test {
 protected:
  std::map<std::string, std::string> environment(const std::map<std::string, std::string>& extra = {}) {
    std::map<std::string, std::string> env = {{"HOME", dir.path().string()},
                                              {"XDG_CONFIG_HOME", (dir.path() / "config").string()},
                                              {"TZ", "America/Sao_Paulo"},
                                              {"LANG", "pt_BR.UTF-8"},
                                              {"PATH", "/usr/bin:/bin"},
                                              {"no_proxy", "127.0.0.1,localhost"}};
    for (auto& [k, v] : extra) env[k] = v;
    return env;
  }
  Outcome quillet(const std::vector<std::string>& args, const std::map<std::string, std::string>& extra = {},
                  const std::string& cwd = "") {
    return run(QUILLET_BINARY, args, environment(extra), cwd);
  }
  Outcome withKey(const std::vector<std::string>& args) { return quillet(args, {{"QUILLET_API_KEY", kKey}}); }
  // A copy of an example meeting that the test may watch for changes.
  fs::path example(const std::string& name) {
    fs::path copy = dir.path() / "store" / name;
    fs::create_directories(copy.parent_path());
    fs::copy(kExamples / name, copy, fs::copy_options::recursive);
    return copy;
  }
  TempDir dir;
};

void expectNoKey(const Outcome& o) {
  EXPECT_EQ(o.out.find(kKey), std::string::npos);
  EXPECT_EQ(o.err.find(kKey), std::string::npos);
}

}  // namespace

TEST_F(EnhanceCommand, PrintsTheNotesOfAnAnthropicProvider) {
  fs::path folder = example("2025-03-14 1000 Revisão de arquitetura");
  auto before = snapshot(folder);
  LoopbackServer server =
      answering(200, eventStream({{{"type", "message_start"}, {"message", {{"id", "m1"}}}},
                                  anthropicText("\nA revisão decidiu o cache.\n\n"),
                                  anthropicText("### Cache\n- invalidar por transação\n"),
                                  {{"type", "message_delta"}, {"delta", {{"stop_reason", "end_turn"}}}},
                                  {{"type", "message_stop"}}}));
  Outcome o = withKey(
      {"enhance", folder.string(), "--provider", "anthropic", "--model", "claude-test", "--base-url", server.url()});
  EXPECT_EQ(o.out, "A revisão decidiu o cache.\n\n### Cache\n- invalidar por transação\n");
  EXPECT_EQ(o.err, "(Anthropic · claude-test)\n");
  EXPECT_EQ(o.status, 0);
  expectNoKey(o);

  ASSERT_EQ(server.requests().size(), 1u);
  ReceivedRequest sent = server.requests()[0];
  EXPECT_EQ(sent.target, "/v1/messages");
  EXPECT_EQ(sent.header("x-api-key"), kKey);
  json body = json::parse(sent.body);
  Prompts expected = expectedPrompts("prompt-arquitetura.txt");
  EXPECT_EQ(body["model"], "claude-test");
  EXPECT_EQ(body["system"], expected.system);
  EXPECT_EQ(body["messages"], (json{{{"role", "user"}, {"content", expected.user}}}));
  EXPECT_EQ(snapshot(folder), before);
}

TEST_F(EnhanceCommand, PrintsTheNotesOfAChatCompletionsProvider) {
  fs::path folder = example("2025-03-18 1130 Weekly sync");
  LoopbackServer server = answering(
      200, eventStream({{{"choices", {{{"delta", {{"content", "Weekly sync: "}}}}}}},
                        {{"choices", {{{"delta", {{"content", "export done."}}}, {"finish_reason", "stop"}}}}}},
                       /*done=*/true));
  // Option pairs on both sides of the folder.
  Outcome o = withKey({"enhance", "--provider", "openai", "--base-url", server.url() + "/v1", folder.string() + "/",
                       "--model", "gpt-test"});
  EXPECT_EQ(o.out, "Weekly sync: export done.\n");
  EXPECT_EQ(o.err, "(ChatGPT (OpenAI) · gpt-test)\n");
  EXPECT_EQ(o.status, 0);

  ASSERT_EQ(server.requests().size(), 1u);
  ReceivedRequest sent = server.requests()[0];
  EXPECT_EQ(sent.target, "/v1/chat/completions");
  EXPECT_EQ(sent.header("Authorization"), std::string("Bearer ") + kKey);
  Prompts expected = expectedPrompts("prompt-weekly.txt");
  EXPECT_EQ(
      json::parse(sent.body),
      (json{{"model", "gpt-test"},
            {"stream", true},
            {"messages",
             {{{"role", "system"}, {"content", expected.system}}, {{"role", "user"}, {"content", expected.user}}}}}));
}

// Linux has no on-device model, so recoverable failures are reported too.
TEST_F(EnhanceCommand, FailuresEndWithTheirMessageAndLeaveTheFolderAlone) {
  fs::path folder = example("2025-03-10 0930 Planejamento do trimestre");
  auto before = snapshot(folder);
  auto error = [](const std::string& message) { return json{{"error", {{"message", message}}}}.dump(); };
  struct Case {
    int status;
    std::string body;
    std::string message;
  };
  for (const Case& c : std::vector<Case>{
           // A server that echoes the key never gets it shown.
           {401, error(std::string("invalid x-api-key ") + kKey), "erro: HTTP 401: invalid x-api-key •••\n"},
           {400, error("max_tokens is too large"), "erro: HTTP 400: max_tokens is too large\n"},
           {200,
            eventStream({anthropicText("Par"), {{"type", "message_delta"}, {"delta", {{"stop_reason", "refusal"}}}}}),
            "erro: O modelo se recusou a responder.\n"},
       }) {
    SCOPED_TRACE(c.message);
    LoopbackServer server = answering(c.status, c.body);
    Outcome o = withKey({"enhance", folder.string(), "--provider", "anthropic", "--base-url", server.url()});
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.err, c.message);
    EXPECT_EQ(o.status, 1);
    expectNoKey(o);
    EXPECT_EQ(server.requests().size(), 1u);
  }

  LoopbackServer server = answering(200, eventStream({anthropicText("never")}));
  Outcome keyless = quillet({"enhance", folder.string(), "--base-url", server.url()}, {{"QUILLET_API_KEY", ""}});
  EXPECT_EQ(keyless.out, "");
  EXPECT_EQ(keyless.err,
            "erro: Falta a chave de API de Anthropic. Coloque em Ajustes › IA.\n"
            "Guarde a chave com: secret-tool store --label=Quillet service app.quillet.mac.ai account anthropic\n"
            "ou defina a variável de ambiente QUILLET_API_KEY.\n");
  EXPECT_EQ(keyless.status, 1);
  EXPECT_TRUE(server.requests().empty());

  // A local server that is not running: the address tried is named.
  const std::string closed = "http://127.0.0.1:" + std::to_string(closedPort()) + "/v1";
  for (auto command : {std::vector<std::string>{"enhance", folder.string()}, std::vector<std::string>{"ai", "test"}}) {
    command.insert(command.end(), {"--provider", "ollama", "--base-url", closed});
    Outcome refused = withKey(command);
    EXPECT_EQ(refused.err, "erro: Não foi possível conectar ao servidor. (" + closed + ")\n");
    EXPECT_EQ(refused.status, 1);
  }

  EXPECT_EQ(snapshot(folder), before);
}

TEST_F(EnhanceCommand, ArgumentFailures) {
  writeFile(dir.path() / "config" / "app.quillet.mac" / "preferences.json",
            R"({"providers": [{"id": "work", "name": "Trabalho", "kind": "openAI", "baseURL": "http://127.0.0.1:9/v1",
                "model": "m", "requiresKey": false}]})");
  const std::string unknown =
      "provedor desconhecido: nope. Opções: anthropic, openai, openrouter, gemini, groq, deepseek, ollama, "
      "lmstudio, custom, apple, work\n";
  fs::path folder = example("2025-03-18 1130 Weekly sync");
  writeFile(dir.path() / "sem-meta" / "notas.md", "- nada\n");
  struct Case {
    std::vector<std::string> args;
    std::string err;
    std::string cwd = {};
  };
  for (const Case& c : std::vector<Case>{
           {{"enhance", folder.string(), "--provider", "nope"}, unknown},
           {{"enhance", "--prompt", "--provider", "nope", folder.string()}, unknown},
           {{"ai", "test", "--provider", "nope"}, unknown},
           {{"enhance", (dir.path() / "sem-meta").string() + "//"},
            "não achei meta.json em " + (dir.path() / "sem-meta").string() + "\n"},
           {{"enhance", "sem-meta/", "--prompt"},
            "não achei meta.json em " + (dir.path() / "sem-meta").string() + "\n",
            dir.path().string()},
           {{"enhance", "~/inexistente"}, "não achei meta.json em " + (dir.path() / "inexistente").string() + "\n"},
           {{"-c", "mkdir gone && cd gone && rmdir ../gone && exec \"$0\" enhance reuniao/", QUILLET_BINARY},
            "não achei meta.json em reuniao\n",
            dir.path().string()},
           {{"enhance"}, kUsage},
           {{"enhance", "--provider", "anthropic", "--prompt"}, kUsage},
           {{"ai"}, kUsage},
           {{"ai", "--provider", "anthropic"}, kUsage},
           {{"ai", "--model", "test"}, kUsage},  // "test" is the model's value
           {{"ai", "Test"}, kUsage},
           {{"ai", "list", "--base-url", "http://127.0.0.1:9"}, kUsage},
       }) {
    std::string joined;
    for (const auto& a : c.args) joined += a + " ";
    SCOPED_TRACE(joined);
    // A shell stands in front of the tool when the case needs a removed working folder.
    std::string program = c.args[0] == "-c" ? "/bin/sh" : QUILLET_BINARY;
    Outcome o = run(program, c.args, environment({{"QUILLET_API_KEY", kKey}}), c.cwd);
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.err, c.err);
    EXPECT_EQ(o.status, 1);
  }
}

TEST_F(EnhanceCommand, PromptsOfTheExampleMeetings) {
  const std::vector<std::pair<fs::path, std::string>> meetings = {
      {kExamples / "2025-03-10 0930 Planejamento do trimestre", "prompt-planejamento.txt"},
      {kExamples / "2025-03-12 1400 Customer call - Acme renewal", "prompt-acme.txt"},
      {kExamples / "2025-03-14 1000 Revisão de arquitetura", "prompt-arquitetura.txt"},
      {kExamples / "2025-03-17 1500 1-1 Ana-Bruno — -Feedback- -Q1--", "prompt-1-1.txt"},
      {kExamples / "2025-03-18 1130 Weekly sync", "prompt-weekly.txt"},
      {kExpected / "meetings" / "plantao", "prompt-plantao.txt"},
  };
  for (const auto& [folder, file] : meetings) {
    SCOPED_TRACE(file);
    auto before = snapshot(folder);
    // No key, no server: the prompts need neither.
    Outcome o = quillet({"enhance", folder.string(), "--prompt"});
    EXPECT_EQ(o.out, readFile(kExpected / file));
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(snapshot(folder), before);
  }
  // The flag before the folder, a trailing slash, another locale and an
  // option pair change nothing.
  Outcome moved =
      quillet({"enhance", "--prompt", "--model", "x", (kExamples / "2025-03-18 1130 Weekly sync").string() + "/"},
              {{"LANG", "en_US.UTF-8"}, {"LC_ALL", "C.UTF-8"}});
  EXPECT_EQ(moved.out, readFile(kExpected / "prompt-weekly.txt"));
  EXPECT_EQ(moved.status, 0);
}

// "--model" as the last word has no value: it stays behind and the model of
// the provider is kept.
TEST_F(EnhanceCommand, AiTestWithABareModelOption) {
  LoopbackServer server = answering(200, eventStream({anthropicText("Olá, "), anthropicText("Quillet!")}));
  Outcome o = withKey({"ai", "test", "--provider", "anthropic", "--base-url", server.url(), "--model"});
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.err, "");
  const std::string head = "Olá, Quillet!\n(Anthropic · claude-opus-5-5 · ";
  ASSERT_TRUE(o.out.starts_with(head)) << o.out;
  std::string seconds = o.out.substr(head.size());
  ASSERT_TRUE(seconds.ends_with(" s)\n")) << o.out;
  seconds.resize(seconds.size() - 4);
  ASSERT_GE(seconds.size(), 3u);
  EXPECT_EQ(seconds[seconds.size() - 2], '.');
  EXPECT_EQ(seconds.find_first_not_of("0123456789."), std::string::npos) << seconds;

  json body = json::parse(server.requests().at(0).body);
  EXPECT_EQ(body["model"], "claude-opus-5-5");
  EXPECT_EQ(body["system"], "Reply with one short sentence.");
  EXPECT_EQ(body["messages"][0]["content"], "Say hello to Quillet in Brazilian Portuguese.");
}

TEST_F(EnhanceCommand, AiModelsListsWhatTheProviderOffers) {
  LoopbackServer server([](Connection& c) {
    if (c.request().target == "/v1/models?limit=100")
      c.respond(200, R"({"data":[{"id":"claude-b"},{"id":"claude-a"}]})");
    else if (c.request().target == "/empty/models")
      c.respond(200, R"({"object":"list","data":[]})");
    else
      c.respond(401, R"({"error":{"message":"no"}})");
  });
  Outcome anthropic = withKey({"ai", "models", "--provider", "anthropic", "--base-url", server.url()});
  EXPECT_EQ(anthropic.out, "claude-a\nclaude-b\n");
  EXPECT_EQ(anthropic.status, 0);
  Outcome empty = withKey({"ai", "--base-url", server.url() + "/empty", "models", "--provider", "ollama"});
  EXPECT_EQ(empty.out + empty.err, "");
  EXPECT_EQ(empty.status, 0);
  Outcome denied = withKey({"ai", "models", "--provider", "groq", "--base-url", server.url()});
  EXPECT_EQ(denied.out, "");
  EXPECT_EQ(denied.err, "erro: HTTP 401: no\n");
  EXPECT_EQ(denied.status, 1);
}

namespace {

// Reads from `fd` until `want` bytes have come or `timeout` has passed.
std::string readAtLeast(int fd, size_t want, std::chrono::milliseconds timeout) {
  std::string got;
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (got.size() < want) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd p{fd, POLLIN, 0};
    if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    char buffer[4096];
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    got.append(buffer, static_cast<size_t>(n));
  }
  return got;
}

// A flag that one thread raises and another waits for.
class Gate {
 public:
  void open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }
  bool wait(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return open_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool open_ = false;
};

}  // namespace

TEST_F(EnhanceCommand, AiTestShowsEachPieceAsItArrives) {
  Gate release;
  LoopbackServer server([&](Connection& c) {
    c.sendHead(200);
    c.sendChunk(eventStream({anthropicText("Olá")}));
    if (!release.wait(std::chrono::seconds(10))) return;
    c.sendChunk(eventStream({anthropicText(", Quillet!")}));
    c.endChunks();
  });
  Child child = spawnChild(QUILLET_BINARY,
                           {"ai", "test", "--provider", "anthropic", "--base-url", server.url(), "--model", "claude-z"},
                           environment({{"QUILLET_API_KEY", kKey}}));
  ASSERT_GT(child.pid, 0);
  // The server holds the second piece back until the first one is read.
  std::string first = readAtLeast(child.out, 4, std::chrono::seconds(10));
  release.open();
  EXPECT_EQ(first, "Olá");
  Outcome rest = finish(child);
  EXPECT_TRUE(rest.out.starts_with(", Quillet!\n(Anthropic · claude-z · ")) << rest.out;
  EXPECT_EQ(rest.err, "");
  EXPECT_EQ(rest.status, 0);
  EXPECT_EQ(json::parse(server.requests().at(0).body)["model"], "claude-z");
}

namespace {

// Sends the head of a reply and one piece, then holds the connection until
// the client closes it.
struct StallingServer {
  std::promise<void> pieceSent;
  std::promise<bool> closed;
  LoopbackServer server{[this](Connection& c) {
    c.sendHead(200);
    c.sendChunk(eventStream({anthropicText("Olá")}));
    pieceSent.set_value();
    closed.set_value(c.waitForClose(std::chrono::seconds(10)));
  }};

  std::vector<std::string> args(std::vector<std::string> command) const {
    for (const char* a : {"--provider", "anthropic", "--base-url"}) command.push_back(a);
    command.push_back(server.url());
    return command;
  }
  // True when the client closed the connection within `timeout`.
  bool closedWithin(std::chrono::milliseconds timeout) {
    auto future = closed.get_future();
    return future.wait_for(timeout) == std::future_status::ready && future.get();
  }
};

}  // namespace

TEST_F(EnhanceCommand, CtrlCEndsTheRunAtOnceAndClosesTheTransfer) {
  {
    // `ai test`, interrupted after its first piece has been shown.
    StallingServer stalling;
    Child child = spawnChild(QUILLET_BINARY, stalling.args({"ai", "test"}), environment({{"QUILLET_API_KEY", kKey}}));
    ASSERT_GT(child.pid, 0);
    ASSERT_EQ(readAtLeast(child.out, 4, std::chrono::seconds(10)), "Olá");
    kill(child.pid, SIGINT);
    EXPECT_TRUE(stalling.closedWithin(std::chrono::seconds(2)));
    Outcome o = finish(child);
    EXPECT_EQ(o.status, 130);
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.err, "");
  }
  // `enhance`, interrupted while the reply streams: nothing is printed and
  // the folder stays as it was.
  fs::path folder = example("2025-03-10 0930 Planejamento do trimestre");
  auto before = snapshot(folder);
  StallingServer stalling;
  Child child =
      spawnChild(QUILLET_BINARY, stalling.args({"enhance", folder.string()}), environment({{"QUILLET_API_KEY", kKey}}));
  ASSERT_GT(child.pid, 0);
  ASSERT_EQ(stalling.pieceSent.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
  kill(child.pid, SIGINT);
  EXPECT_TRUE(stalling.closedWithin(std::chrono::seconds(2)));
  Outcome o = finish(child);
  EXPECT_EQ(o.status, 130);
  EXPECT_EQ(o.out + o.err, "");
  EXPECT_EQ(snapshot(folder), before);
}

TEST_F(EnhanceCommand, NamedByTitleAndSavedIntoTheMeeting) {
  fs::path folder = example("2025-03-18 1130 Weekly sync");
  writeFile(dir.path() / "config" / "app.quillet.mac" / "preferences.json",
            R"({"storagePath": ")" + (dir.path() / "store").string() + R"("})");
  LoopbackServer server = answering(
      200, eventStream({{{"choices", {{{"delta", {{"content", "Notas "}}}}}}},
                        {{"choices", {{{"delta", {{"content", "salvas."}}}, {"finish_reason", "stop"}}}}}},
                       /*done=*/true));
  const std::vector<std::string> args = {"enhance", "weekly", "--provider", "openai", "--model", "gpt-test",
                                         "--base-url", server.url()};
  // Without "--save" nothing is written, as ever.
  auto before = snapshot(folder);
  EXPECT_EQ(withKey(args).out, "Notas salvas.\n");
  EXPECT_EQ(snapshot(folder), before);

  // With it, the notes and the model land in the meeting; the user's notes stay.
  writeFile(folder / "notas.md", "- digitado enquanto isso\n");
  std::vector<std::string> saving = args;
  saving.push_back("--save");
  Outcome o = withKey(saving);
  EXPECT_EQ(o.out, "Notas salvas.\n");
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(readFile(folder / "notas-ia.md"), "Notas salvas.");
  EXPECT_EQ(readFile(folder / "notas.md"), "- digitado enquanto isso\n");
  EXPECT_EQ(json::parse(readFile(folder / "meta.json"))["enhancedWith"], "ChatGPT (OpenAI) · gpt-test");
  EXPECT_EQ(json::parse(readFile(folder / "meta.json"))["title"], "Weekly sync");
  EXPECT_TRUE(quillet({"list"}).out.starts_with("\u2726 ")) << quillet({"list"}).out;

  // A failing provider saves nothing.
  fs::remove(folder / "notas-ia.md");
  LoopbackServer failing = answering(503, R"({"error": {"message": "overloaded"}})");
  saving[7] = failing.url();
  Outcome failed = withKey(saving);
  EXPECT_EQ(failed.status, 1);
  EXPECT_FALSE(fs::exists(folder / "notas-ia.md"));
}

TEST_F(EnhanceCommand, OnATerminalStandardErrorShowsTheRunInPlace) {
  fs::path folder = example("2025-03-18 1130 Weekly sync");
  LoopbackServer server = answering(
      200, eventStream({{{"choices", {{{"delta", {{"content", "Ação "}}}}}}},
                        {{"choices", {{{"delta", {{"content", "feita."}}}, {"finish_reason", "stop"}}}}}},
                       /*done=*/true));
  Outcome o = runOnTerminal(QUILLET_BINARY,
                            {"enhance", folder.string(), "--provider", "openai", "--model", "gpt-test", "--base-url",
                             server.url()},
                            environment({{"QUILLET_API_KEY", kKey}}), 2);
  EXPECT_EQ(o.out, "Ação feita.\n");
  EXPECT_EQ(o.status, 0);
  EXPECT_NE(o.err.find("\r\033[KChatGPT (OpenAI) \u00B7 gpt-test \u00B7 0 caracteres"), std::string::npos) << o.err;
  EXPECT_NE(o.err.find("\r\033[KChatGPT (OpenAI) \u00B7 gpt-test \u00B7 11 caracteres"), std::string::npos) << o.err;
  EXPECT_TRUE(o.err.ends_with("\r\033[K(ChatGPT (OpenAI) · gpt-test)\n")) << o.err;
}
