#include <gtest/gtest.h>

#include "ClientTestSupport.hpp"
#include "QuilletKit/Store.hpp"
#include "TestSupport.hpp"

using namespace quillet;
using namespace quillet::test;
using nlohmann::json;
namespace fs = std::filesystem;

namespace {

// A store at "notas" named in the preferences, and a local chat-completions server whose model list and reply
// carry `text` and whose path "/bad" answers with `text` as an error.
class Cli : public ToolTest {
 protected:
  void speak(const std::string& text) {
    preferences(json{{"storagePath", root.string()}}.dump());
    server = std::make_unique<LoopbackServer>([text](Connection& c) {
      const std::string& target = c.request().target;
      if (target.starts_with("/bad")) c.respond(400, errorBody(text));
      else if (target == "/models") c.respond(200, json{{"data", json::array({{{"id", text}}})}}.dump());
      else answer(c, eventStream({{{"choices", json::array({{{"delta", {{"content", text}}}}})}}}));
    });
  }
  static void answer(Connection& c, const std::string& body) {
    c.sendHead(200);
    c.sendChunk(body);
    c.endChunks();
  }
  // Options also take their value after an equals sign.
  std::vector<std::string> ollama(const std::string& verb, const std::string& path = "") {
    return {"ai", verb, "--provider=ollama", "--base-url=" + server->url() + path};
  }
  fs::path root = dir.path() / "notas";
  std::unique_ptr<LoopbackServer> server;
};

}  // namespace

// A result that cannot be written (a full disk, a closed standard output) is a failure. A closed output is taken
// by /dev/null before any library opens a file or socket, so that the result never goes into a connection.
TEST_F(Cli, AResultThatCannotBeWrittenIsAFailure) {
  speak("Olá");
  Store{root}.create(meta("Reunião"));
  std::vector<std::string> test = ollama("test");
  for (const auto& [args, redirect] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"list"}, ">/dev/full"}, {{"list"}, ">&-"}, {test, ">&-"}}) {
    std::vector<std::string> shell = {"-c", "exec \"$0\" \"$@\" " + redirect, QUILLET_BINARY};
    shell.insert(shell.end(), args.begin(), args.end());
    Outcome o = run("/bin/sh", shell, environment());
    EXPECT_EQ(o.status, 1) << args[0] << redirect;
    EXPECT_TRUE(o.err.starts_with("erro: ")) << o.err;
  }
}

// Escape sequences from a title, a model or a server reach a terminal as visible replacement characters; a pipe
// gets the bytes as they came.
TEST_F(Cli, TextFromOutsideReachesATerminalWithoutControlCharacters) {
  const std::string hostile = "x\x1b]0;pwned\x07\r\x1b[2KFAKE\u009b1m";
  const std::string shown = "x\uFFFD]0;pwned\uFFFD\uFFFD\uFFFD[2KFAKE\uFFFD1m";
  speak(hostile);
  Store{root}.create(meta(hostile + "\nLINE"));
  for (const auto& [args, onTerminal] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"list"}, shown + "\uFFFDLINE  [0 trechos]"},
           {ollama("models"), shown + "\n"},
           {ollama("test"), shown + "\n(Ollama"},
           {ollama("test", "/bad"), "HTTP 400: " + shown + "\n"},
       }) {
    Outcome piped = quillet(args);
    EXPECT_NE((piped.out + piped.err).find(hostile), std::string::npos) << args[1];
    Outcome terminal = quillet(args, {}, 3);
    EXPECT_NE(terminal.out.find(onTerminal), std::string::npos) << terminal.out;
    EXPECT_EQ(terminal.out.find('\x1b'), std::string::npos) << terminal.out;
  }
}

// Without /proc, the full program is never looked for in the working folder, where anyone may have planted one.
TEST_F(Cli, TheFullProgramIsNeverTakenFromTheWorkingFolder) {
  if (std::system("unshare -rm sh -c 'mount -t tmpfs none /proc' 2>/dev/null") != 0)
    GTEST_SKIP() << "needs unprivileged mount namespaces";
  if (fs::exists(QUILLET_INSTALLED_FULL_PROGRAM)) GTEST_SKIP() << "an installed full program would answer";
  fs::path marker = dir.path() / "planted-ran", work = dir.path() / "work" / "sub";
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
