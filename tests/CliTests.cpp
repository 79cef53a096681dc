#include <gtest/gtest.h>
#include <sys/stat.h>

#include "ClientTestSupport.hpp"
#include "LoopbackServer.hpp"
#include "QuilletKit/Store.hpp"
#include "TestSupport.hpp"

using namespace quillet;
using namespace quillet::test;
using nlohmann::json;
namespace fs = std::filesystem;

namespace {

using Cli = ToolTest;

// A local chat-completions server whose model list and reply carry `text`,
// and whose path "/bad" answers with `text` as an error.
LoopbackServer speaking(const std::string& text) {
  return LoopbackServer([text](Connection& c) {
    const std::string& target = c.request().target;
    if (target.starts_with("/bad")) {
      c.respond(400, json{{"error", {{"message", text}}}}.dump());
    } else if (target == "/models") {
      c.respond(200, json{{"data", json::array({{{"id", text}}})}}.dump());
    } else {
      c.sendHead(200);
      c.sendChunk(eventStream({{{"choices", json::array({{{"delta", {{"content", text}}}}})}}}));
      c.endChunks();
    }
  });
}

}  // namespace

TEST_F(Cli, UsageForNoOrUnknownCommands) {
  for (const auto& args : std::vector<std::vector<std::string>>{{}, {"nada"}, {"LIST"}, {"--provider", "x"}}) {
    Outcome o = quillet(args);
    EXPECT_EQ(o.out, kUsage);
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(o.status, 0);
  }
}

TEST_F(Cli, ListsTheStoreNewestFirstWithMarks) {
  fs::path root = dir.path() / "notas";
  preferences(R"({"storagePath": ")" + root.string() + R"("})");
  Outcome empty = quillet({"list"});
  EXPECT_EQ(empty.out, "");
  EXPECT_EQ(empty.status, 0);

  Store store{root};
  Meeting older = store.create(meta("Só notas", "2025-03-01T14:05:00Z"));
  Meeting enhanced = store.create(meta("Com IA", "2025-03-02T09:00:00Z"));
  enhanced.enhanced = "";
  store.save(enhanced);
  Meeting recorded = store.create(meta("Gravada", "2025-03-03T18:30:00Z"));
  recorded.segments = {segment(Speaker::me, 0, 1, "oi"), segment(Speaker::them, 1, 2, "olá")};
  store.saveTranscript(recorded);
  writeFile(root / "quebrada" / "meta.json", "{");
  writeFile(root / "solta.txt", "x");

  Outcome o = quillet({"list", "--ignored", "word"});
  EXPECT_EQ(o.out,
            "\u25CB 03/03/2025, 15:30  Gravada  [2 trechos]\n"
            "\u2726 02/03/2025, 06:00  Com IA  [0 trechos]\n"
            "\u00B7 01/03/2025, 11:05  Só notas  [0 trechos]\n");
  EXPECT_EQ(o.err, "");
  EXPECT_EQ(o.status, 0);

  Outcome english = quillet({"list"}, {{"LANG", "en_US.UTF-8"}, {"TZ", "UTC"}});
  EXPECT_NE(english.out.find("3/3/2025, 6:30\u202FPM  Gravada"), std::string::npos) << english.out;
}

TEST_F(Cli, MissingStoreListsNothing) {
  preferences(R"({"storagePath": "/nonexistent/quillet"})");
  Outcome o = quillet({"list"});
  EXPECT_EQ(o.out + o.err, "");
  EXPECT_EQ(o.status, 0);
}

TEST_F(Cli, ExampleStoreThroughTheRepositoryConfiguration) {
  std::map<std::string, std::string> env = {{"HOME", dir.path().string()},
                                            {"XDG_CONFIG_HOME", std::string(QUILLET_SOURCE_DIR) + "/examples/config"},
                                            {"TZ", "America/Sao_Paulo"},
                                            {"LANG", "pt_BR.UTF-8"}};
  Outcome o = run(QUILLET_BINARY, {"list"}, env, QUILLET_SOURCE_DIR);
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(std::count(o.out.begin(), o.out.end(), '\n'), 5);
  EXPECT_NE(o.out.find("\u2726 10/03/2025, 09:30  Planejamento do trimestre  [8 trechos]"), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("1:1 Ana/Bruno"), std::string::npos);
}

TEST_F(Cli, AResultThatCannotBeWrittenIsAFailure) {
  preferences(R"({"storagePath": ")" + (std::string(QUILLET_SOURCE_DIR) + "/examples/store") + R"("})");
  pid_t pid = fork();
  if (pid == 0) {
    int full = open("/dev/full", O_WRONLY);
    dup2(full, 1);
    int quiet = open("/dev/null", O_WRONLY);
    dup2(quiet, 2);
    setenv("XDG_CONFIG_HOME", (dir.path() / "config").c_str(), 1);
    execl(QUILLET_BINARY, QUILLET_BINARY, "list", nullptr);
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_EQ(WEXITSTATUS(status), 1);
}

TEST_F(Cli, OptionsAlsoTakeTheirValueAfterAnEqualsSign) {
  LoopbackServer server = speaking("m-1");
  struct Case {
    std::vector<std::string> args;
    std::string out, err;
  };
  for (const Case& c : std::vector<Case>{
           {{"ai", "models", "--provider=ollama", "--base-url=" + server.url()}, "m-1\n", ""},
           {{"ai", "--base-url=" + server.url(), "models", "--provider", "ollama"}, "m-1\n", ""},
           {{"ai", "models", "--provider=nope"}, "", "provedor desconhecido: nope. Opções: "},
           {{"ai", "models", "--provider=", "--base-url", server.url()}, "", "provedor desconhecido: . Opções: "},
       }) {
    Outcome o = quillet(c.args);
    EXPECT_EQ(o.out, c.out) << c.args.back();
    EXPECT_TRUE(o.err.starts_with(c.err)) << o.err;
  }
  Outcome test = quillet({"ai", "test", "--provider=ollama", "--model=m-2", "--base-url=" + server.url()});
  EXPECT_EQ(test.status, 0) << test.err;
  ASSERT_FALSE(server.requests().empty());
  EXPECT_EQ(json::parse(server.requests().back().body)["model"], "m-2");
}

// Escape sequences from a title, a model or a server reach a terminal as
// visible replacement characters; a pipe gets the bytes as they came.
TEST_F(Cli, TextFromOutsideReachesATerminalWithoutControlCharacters) {
  const std::string hostile = "x\x1b]0;pwned\x07\r\x1b[2KFAKE\u009b1m";
  const std::string shown = "x\uFFFD]0;pwned\uFFFD\uFFFD\uFFFD[2KFAKE\uFFFD1m";
  fs::path root = dir.path() / "notas";
  preferences(json{{"storagePath", root.string()}}.dump());
  Store{root}.create(meta(hostile + "\nLINE"));
  LoopbackServer server = speaking(hostile);
  struct Case {
    std::vector<std::string> args;
    std::string shownOnTerminal;
  };
  for (const Case& c : std::vector<Case>{
           {{"list"}, shown + "\uFFFDLINE  [0 trechos]"},
           {{"ai", "models", "--provider", "ollama", "--base-url", server.url()}, shown + "\n"},
           {{"ai", "test", "--provider", "ollama", "--base-url", server.url()}, shown + "\n(Ollama"},
           {{"ai", "test", "--provider", "ollama", "--base-url", server.url() + "/bad"}, "HTTP 400: " + shown + "\n"},
       }) {
    Outcome piped = quillet(c.args);
    EXPECT_NE((piped.out + piped.err).find(hostile), std::string::npos) << c.args[1];
    Outcome terminal = quilletOnTerminal(c.args);
    EXPECT_NE(terminal.out.find(c.shownOnTerminal), std::string::npos) << terminal.out;
    EXPECT_EQ(terminal.out.find('\x1b'), std::string::npos) << terminal.out;
  }
}

// A closed standard output is taken by /dev/null before any library opens a
// file or socket, so that writing a result there fails instead of going into
// a connection.
TEST_F(Cli, AClosedStandardOutputIsAFailedWrite) {
  LoopbackServer server = speaking("Olá");
  fs::path root = dir.path() / "notas";
  preferences(json{{"storagePath", root.string()}}.dump());
  Store{root}.create(meta("Reunião"));
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"ai", "test", "--provider", "ollama", "--base-url", server.url()}, {"list"}}) {
    int err[2];
    ASSERT_EQ(pipe2(err, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addclose(&actions, 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    std::vector<std::string> strings = {QUILLET_BINARY};
    strings.insert(strings.end(), args.begin(), args.end());
    std::vector<char*> argv, envp;
    for (auto& a : strings) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> pairs;
    for (auto& [k, v] : environment()) pairs.push_back(k + "=" + v);
    for (auto& e : pairs) envp.push_back(e.data());
    envp.push_back(nullptr);
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, QUILLET_BINARY, &actions, nullptr, argv.data(), envp.data()), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(err[1]);
    Outcome o = finish(Child{pid, -1, err[0]});
    EXPECT_EQ(o.status, 1) << args[0];
    EXPECT_TRUE(o.err.starts_with("erro: ")) << o.err;
  }
}

// Without /proc, the full program is never looked for in the working folder,
// where anyone may have planted one.
TEST_F(Cli, TheFullProgramIsNeverTakenFromTheWorkingFolder) {
  if (std::system("unshare -rm sh -c 'mount -t tmpfs none /proc' 2>/dev/null") != 0)
    GTEST_SKIP() << "needs unprivileged mount namespaces";
  if (fs::exists(QUILLET_INSTALLED_FULL_PROGRAM)) GTEST_SKIP() << "an installed full program would answer";
  fs::path marker = dir.path() / "planted-ran";
  fs::path work = dir.path() / "work" / "sub";
  for (const fs::path& planted : {work / "libexec/quillet/quillet", work / "../libexec/quillet/quillet"}) {
    writeFile(planted, "#!/bin/sh\ntouch '" + marker.string() + "'\n");
    fs::permissions(planted, fs::perms::owner_all);
  }
  Outcome o = run("/usr/bin/unshare",
                  {"-rm", "sh", "-c", "mount -t tmpfs none /proc && cd \"$1\" && exec \"$2\" doctor", "sh",
                   work.string(), QUILLET_BINARY},
                  environment());
  EXPECT_FALSE(fs::exists(marker));
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find("erro: não achei o programa completo do quillet em " QUILLET_INSTALLED_FULL_PROGRAM),
            std::string::npos)
      << o.err;
}
