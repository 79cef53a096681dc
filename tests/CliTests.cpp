// The tool through the built binary: what every command promises, and the doctor and transcribe commands.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <regex>

#include "AudioSupport.hpp"
#include "ClientTestSupport.hpp"
#include "QuilletKit/Keychain.hpp"
#include "QuilletKit/Store.hpp"
#include "TestSupport.hpp"

using namespace quillet;
using namespace quillet::test;
using nlohmann::json;
namespace fs = std::filesystem;

namespace {

// A store at "notas", and a chat server whose models and reply are `text`, and whose "/bad" fails with `text`.
class Cli : public ToolTest {
 protected:
  void speak(const std::string& text) {
    preferences(json{{"storagePath", root.string()}}.dump());
    server = std::make_unique<LoopbackServer>([text](Connection& c) {
      const std::string& target = c.request().target;
      if (target.starts_with("/bad")) c.respond(400, errorBody(text));
      else if (target == "/models") c.respond(200, json{{"data", json::array({{{"id", text}}})}}.dump());
      else c.respond(200, eventStream({{{"choices", json::array({{{"delta", {{"content", text}}}}})}}}));
    });
  }
  // Options also take their value after an equals sign.
  std::vector<std::string> ollama(const std::string& verb, const std::string& path = "") {
    return {"ai", verb, "--provider=ollama", "--base-url=" + server->url() + path};
  }
  fs::path root = dir.path() / "notas";
  std::unique_ptr<LoopbackServer> server;
};

// A server that echoes whatever key it was sent back in its answers, the worst a provider could do.
LoopbackServer echoingServer(bool fail) {
  return LoopbackServer([fail](Connection& c) {
    std::string key = c.request().header("x-api-key") + c.request().header("authorization");
    if (fail) return (void)c.respond(401, errorBody("invalid key " + key));
    if (c.request().target.find("models") != std::string::npos)
      return (void)c.respond(200, json{{"data", json::array({{{"id", "model-a"}}})}}.dump());
    c.respond(200, eventStream({anthropicText("Notas finais."), {{"choices", {{{"delta", {{"content", " Fim."}}}}}}}}));
  });
}

}  // namespace

// A closed output is taken by /dev/null before any library opens a socket, so a result never goes into a connection.
TEST_F(Cli, AResultThatCannotBeWrittenIsAFailure) {
  speak("Olá");
  Store{root}.create(meta("Reunião"));
  for (const auto& [args, redirect] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"list"}, ">/dev/full"}, {{"list"}, ">&-"}, {ollama("test"), ">&-"}}) {
    std::vector<std::string> shell = {"-c", "exec \"$0\" \"$@\" " + redirect, QUILLET_BINARY};
    shell.insert(shell.end(), args.begin(), args.end());
    Outcome o = run("/bin/sh", shell, environment());
    EXPECT_EQ(o.status, 1) << args[0] << redirect;
    EXPECT_TRUE(o.err.starts_with("erro: ")) << o.err;
  }
}

// Escape sequences from a title, a model or a server reach a terminal as replacement characters, a pipe as they came.
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
  const std::string told = "erro: não achei o programa completo do quillet em " QUILLET_INSTALLED_FULL_PROGRAM "\n";
  EXPECT_NE(o.err.find(told), std::string::npos) << o.err;  // a sanitizer without /proc has its say too
}

// An API key never leaves the keychain or the environment, whatever a server sends back.
TEST_F(Cli, KeysNeverAppearInOutputOrFiles) {
  preferences(json{{"storagePath", root.string()}}.dump());
  const fs::path folder = Store{root}.create(meta("Reunião")).folder;
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

// Without a session bus, sound server, display or runtime folder a missing key is told at once, and no bus started.
TEST_F(Cli, AMissingKeyIsToldAtOnceWithoutServices) {
  fs::path folder = Store{root}.create(meta("Reunião")).folder;
  auto started = std::chrono::steady_clock::now();
  Outcome o = quillet({"enhance", folder.string()});
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));  // a hang would take far longer
  EXPECT_EQ(o.out + o.err + std::to_string(o.status),
            "erro: Falta a chave de API de Anthropic. Coloque em Ajustes › IA.\nGuarde a chave com: secret-tool store "
            "--label=Quillet service app.quillet.mac.ai account anthropic\nou defina a variável de ambiente "
            "QUILLET_API_KEY.\n1");
  EXPECT_FALSE(fs::exists(dir.path() / ".dbus"));

  // A bus that takes the connection and never answers counts as no keychain, after a bounded wait.
  sockaddr_un address{AF_UNIX, {}};
  const std::string bus = (dir.path() / "bus").string();
  bus.copy(address.sun_path, sizeof address.sun_path - 1);
  int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(listener, 16), 0);  // connections wait in the backlog, never accepted
  Outcome hung = quillet({"enhance", folder.string()}, {{"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + bus}});
  pollfd pending{listener, POLLIN, 0};
  EXPECT_EQ(poll(&pending, 1, 0), 1);  // the lookup did reach the bus
  close(listener);
  EXPECT_EQ(hung.out + hung.err + std::to_string(hung.status), o.out + o.err + std::to_string(o.status));
}

// The other side of each line (a key, fallback and dictation on, no calendars, a missing model) is the keys test's.
TEST_F(Cli, DoctorReportsTheSetupInColumns) {
  const std::string home = dir.path().string();
  fs::create_directories(dir.path() / "data" / "calendars" / "work");
  englishModel(dir.path() / "data" / "app.quillet.mac" / "speech" / "pt-BR", "mdef", "garbage\n");
  preferences(R"({"providerID": "groq", "localFallback": false, "dictationEnabled": false,
                 "dictationLanguage": "en-US"})");
  Outcome o = quillet({"doctor"});
  EXPECT_EQ(o.out + o.err + std::to_string(o.status),
            "Notas:        " + home + "/Documents/Quillet\n" +
                "Fala PT:      danificado (" + home + "/data/app.quillet.mac/speech/pt-BR)\n"
                "Fala EN:      instalado\n"
                "IA da Apple:  Este Mac não roda a IA da Apple\n"
                "IA escolhida: Groq \u00B7 llama-3.3-70b-versatile \u00B7 sem chave\n"
                "Fallback:     desligado\n"
                "Ditado:       desligado (EN)\n"
                "Calendário:   liberado\n0");
}

TEST_F(Cli, TranscribeHearsSilenceFailsOrEndsByCtrlC) {
  fs::path quiet = dir.path() / "quiet.wav", text = dir.path() / "notes.wav";
  fs::path file = dir.path() / "long.wav", cut = dir.path() / "cut.flac";
  writeSound(quiet, silence(2.0), SF_FORMAT_WAV | SF_FORMAT_PCM_16);
  Outcome o = quillet({"transcribe", quiet.string(), "--lang", "en-US"});
  EXPECT_EQ(o.out + std::to_string(o.status), "\n0");
  EXPECT_TRUE(std::regex_match(o.err, std::regex(R"(\(\d+\.\d s\)\n)"))) << o.err;  // no progress off a terminal
  writeFile(text, "this is not audio at all");
  const fs::path model = dir.path() / "data" / "app.quillet.mac" / "speech" / "pt-BR";
  for (const auto& [args, shown] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           // Not audio: the audio library's own reason, not the live transcriber's message.
           {{"transcribe", text.string(), "--lang", "en-US"},
            "erro: " + text.string() + ": " + openFailure(text) + "\n"},
           // "--lang" as the last word is ignored: the preferences' pt-BR has no model here, and the message says
           // where its model goes; a damaged one is no hint.
           {{"transcribe", quiet.string(), "--lang"},
            "erro: O reconhecimento de fala do Mac não suporta pt-BR\nO modelo de fala desse idioma vai em " +
                model.string() + " (pasta acoustic/, language.lm.bin e words.dict).\n"},
           {{"transcribe"}, kUsage}}) {
    o = quillet(args);
    EXPECT_EQ(o.out + o.err + std::to_string(o.status), shown + "1");
  }
  englishModel(model, "mdef", "garbage\n");
  EXPECT_EQ(quillet({"transcribe", quiet.string()}).err,
            "erro: O modelo de fala em " + model.string() + " está danificado\n");

  // Ctrl-C clears the share done and ends the process by the signal, so that a calling shell stops too.
  auto clips = libriVoxClips();
  if (clips.size() < 3) GTEST_SKIP() << "pocketsphinx-testdata is not installed";
  Sound speech = readSound(clips[0].wav), longer = speech;
  for (int i = 0; i < 30; ++i) append(longer, speech);
  writeSound(file, longer, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
  Running tool(spawnChild(QUILLET_BINARY, {"transcribe", file.string(), "--lang", "en-US"}, environment(), "", 3));
  EXPECT_TRUE(tool.waitForOutput("%", std::chrono::seconds(120)));
  tool.signal(SIGINT);
  o = tool.end();
  EXPECT_EQ(o.signal, SIGINT);
  EXPECT_TRUE(o.out.ends_with("\r\033[K")) << o.out;
  // A file that breaks off gives its words and still fails.
  Sound sound = readSound(clips[1].wav);
  append(sound, silence(1));
  append(sound, readSound(clips[2].wav));
  brokenFlac(cut, sound, 0.7, false);
  o = quillet({"transcribe", cut.string(), "--lang", "en-US"});
  EXPECT_TRUE(o.out.starts_with("he was not")) << o.out;
  EXPECT_EQ(o.err + std::to_string(o.status), "erro: " + cut.string() + ": Error : flac decoder lost sync.\n1");
}
