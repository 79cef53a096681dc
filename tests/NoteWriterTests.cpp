#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <stdexcept>

#include "ClientTestSupport.hpp"
#include "LoopbackServer.hpp"
#include "QuilletKit/Cancellation.hpp"
#include "QuilletKit/NoteWriter.hpp"
#include "QuilletKit/Transcript.hpp"
#include "ScriptedModel.hpp"
#include "TestSupport.hpp"

using namespace quillet;
using namespace quillet::test;
using nlohmann::json;
using Reason = OnDeviceAvailability::Reason;

namespace {

const char* kKey = "sk-ant-notewriter-0123";
const char* kOnDevice = "IA da Apple (no Mac)";

// Environment variables changed for one test and put back afterwards.
class Environment {
 public:
  ~Environment() {
    for (auto& [name, value] : saved_) put(name, value);
  }
  void set(const std::string& name, const std::optional<std::string>& value) {
    if (!saved_.count(name)) {
      const char* old = std::getenv(name.c_str());
      saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
    }
    put(name, value);
  }

 private:
  static void put(const std::string& name, const std::optional<std::string>& value) {
    value ? setenv(name.c_str(), value->c_str(), 1) : unsetenv(name.c_str());
  }
  std::map<std::string, std::optional<std::string>> saved_;
};

Meeting meeting() {
  Meeting m;
  m.meta = meta("Revisão do cache");
  m.notes = "- cache\n";
  m.segments = {segment(Speaker::them, 0, 5, "O cache expira a cada minuto."),
                segment(Speaker::me, 6, 9, "Vamos aumentar para dez.")};
  return m;
}

// A provider of its own id, so no keychain item can stand in for the key.
ProviderConfig anthropicAt(const std::string& baseURL) {
  return {"test-" + Uuid::random().string(), "Claude (teste)", ProviderKind::anthropic, baseURL, "claude-test",
          true, std::nullopt};
}

class NoteWriterTest : public ::testing::Test {
 protected:
  void SetUp() override { env.set("QUILLET_API_KEY", kKey); }
  Environment env;
};

}  // namespace

TEST_F(NoteWriterTest, ReturnsTheRemoteNotesWithTheClientLabel) {
  LoopbackServer server =
      answering(200, eventStream({anthropicText("\n## Cache\n"), anthropicText("- dez minutos\n")}));
  auto model = ScriptedModel::available({"never"});
  OnDeviceModel::Override installed(model);
  std::vector<std::string> partials;
  NoteWriter::Result result = NoteWriter::write(meeting(), anthropicAt(server.url()), true,
                                                [&](const std::string& t) { partials.push_back(t); });
  EXPECT_EQ(result, (NoteWriter::Result{"## Cache\n- dez minutos", "Anthropic · claude-test"}));
  EXPECT_EQ(partials, (std::vector<std::string>{"\n## Cache\n", "\n## Cache\n- dez minutos\n"}));
  EXPECT_EQ(model->sessions(), 0);
  ASSERT_EQ(server.requests().size(), 1u);
  EXPECT_EQ(server.requests()[0].header("x-api-key"), kKey);
}

// Every way a remote run can fail, with and without a fallback that may run.
TEST_F(NoteWriterTest, FallsBackExactlyOnRecoverableErrors) {
  struct Case {
    std::string name;
    int status;  // what the server answers; 0: no server is reached
    std::string body;
    std::string message;
    bool recoverable;
    std::string baseURL = {};  // instead of the server's
    bool withoutKey = false;
  };
  auto error = [](const std::string& message) { return json{{"error", {{"message", message}}}}.dump(); };
  const std::vector<Case> cases = {
      {"401", 401, error("invalid x-api-key"), "HTTP 401: invalid x-api-key", true},
      {"429", 429, error("rate limited"), "HTTP 429: rate limited", true},
      {"500", 500, error("internal"), "HTTP 500: internal", true},
      {"503", 503, error("overloaded"), "HTTP 503: overloaded", true},
      {"error event", 200,
       eventStream({anthropicText("Par"), {{"type", "error"}, {"error", {{"message", "Overloaded"}}}}}),
       "HTTP 529: Overloaded", true},
      {"connection refused", 0, "", "Não foi possível conectar ao servidor.", true,
       "http://127.0.0.1:" + std::to_string(closedPort())},
      {"missing key", 0, "", "Falta a chave de API de Anthropic. Coloque em Ajustes › IA.", true, {}, true},
      {"400", 400, error("prompt is too long"), "HTTP 400: prompt is too long", false},
      {"404", 404, error("model not found"), "HTTP 404: model not found", false},
      {"refusal", 200,
       eventStream({anthropicText("x"), {{"type", "message_delta"}, {"delta", {{"stop_reason", "refusal"}}}}}),
       "O modelo se recusou a responder.", false},
      {"bad address", 0, "", "Endereço inválido: api.example.com", false, "api.example.com"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LoopbackServer server = answering(c.status, c.body);
    ProviderConfig provider = anthropicAt(c.baseURL.empty() ? server.url() : c.baseURL);
    Environment keyless;
    if (c.withoutKey) {
      // No key in the environment and no Secret Service to ask.
      keyless.set("QUILLET_API_KEY", "");
      keyless.set("DBUS_SESSION_BUS_ADDRESS", std::nullopt);
    }
    auto expectFirstError = [&](bool localFallback, std::shared_ptr<ScriptedModel> model) {
      OnDeviceModel::Override installed(model);
      try {
        NoteWriter::write(meeting(), provider, localFallback, nullptr);
        ADD_FAILURE() << "no error";
      } catch (const LLMError& e) {
        EXPECT_EQ(e.what(), c.message);
      }
      EXPECT_EQ(model->sessions(), 0);
    };

    auto available = ScriptedModel::available({"Notas", "Notas locais"});
    if (c.recoverable) {
      OnDeviceModel::Override installed(available);
      EXPECT_EQ(NoteWriter::write(meeting(), provider, true, nullptr), (NoteWriter::Result{"Notas locais", kOnDevice}));
      EXPECT_EQ(available->sessions(), 1);
    } else {
      expectFirstError(true, available);
    }
    expectFirstError(false, ScriptedModel::available({"never"}));
    expectFirstError(
        true, std::make_shared<ScriptedModel>(OnDeviceAvailability::unavailable(Reason::appleIntelligenceNotEnabled),
                                              std::vector<std::string>{"never"}));
    if (c.withoutKey || c.status == 0) {
      EXPECT_TRUE(server.requests().empty());
    }
  }
}

TEST_F(NoteWriterTest, TheFallbackStartsAgainWithTheSamePrompts) {
  LoopbackServer server = answering(200, eventStream({anthropicText("Primeira "),
                                                      anthropicText("parte"),
                                                      {{"type", "error"}, {"error", {{"message", "Overloaded"}}}}}));
  auto model = ScriptedModel::available({"Notas", "Notas locais", "Notas locais\n"});
  OnDeviceModel::Override installed(model);
  Meeting m = meeting();
  std::vector<std::string> partials;
  NoteWriter::Result result = NoteWriter::write(
      m, anthropicAt(server.url()), true, [&](const std::string& t) { partials.push_back(t); }, {},
      [&](const LLMError& error) { partials.push_back("fallback after: " + std::string(error.what())); });
  EXPECT_EQ(partials, (std::vector<std::string>{"Primeira ", "Primeira parte", "fallback after: HTTP 529: Overloaded", "Notas",
                                                "Notas locais", "Notas locais\n"}));
  EXPECT_EQ(result, (NoteWriter::Result{"Notas locais", kOnDevice}));
  json sent = json::parse(server.requests().at(0).body);
  EXPECT_EQ(model->instructions(), sent["system"]);
  EXPECT_EQ(model->prompt(), sent["messages"][0]["content"]);
  EXPECT_EQ(model->prompt(), Enhancer::prompt(m.meta, m.notes, Transcript::plain(m.segments), false));
}

TEST_F(NoteWriterTest, TheOnDeviceProviderIsNeverRetriedWithItself) {
  ProviderConfig apple = Providers::apple();
  auto busy = ScriptedModel::available({"meio"}, std::make_exception_ptr(LLMError::unavailable("ocupado")));
  {
    OnDeviceModel::Override installed(busy);
    try {
      NoteWriter::write(meeting(), apple, true, nullptr);
      FAIL();
    } catch (const LLMError& e) {
      EXPECT_STREQ(e.what(), "ocupado");
    }
    EXPECT_EQ(busy->sessions(), 1);
  }
  auto fine = ScriptedModel::available({"Notas"});
  OnDeviceModel::Override installed(fine);
  EXPECT_EQ(NoteWriter::write(meeting(), apple, true, nullptr), (NoteWriter::Result{"Notas", kOnDevice}));
}

TEST_F(NoteWriterTest, AFailedFallbackThrowsItsOwnError) {
  LoopbackServer server = answering(500, R"({"error":{"message":"internal"}})");
  auto model =
      ScriptedModel::available({"Not"}, std::make_exception_ptr(std::runtime_error("exceeded context window")));
  OnDeviceModel::Override installed(model);
  try {
    NoteWriter::write(meeting(), anthropicAt(server.url()), true, nullptr);
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "exceeded context window");
  }
  EXPECT_EQ(model->sessions(), 1);
}

TEST_F(NoteWriterTest, CancellationIsNeverAnsweredWithAFallback) {
  std::promise<bool> closed;
  LoopbackServer server([&](Connection& c) {
    c.sendHead(200);
    c.sendChunk(eventStream({anthropicText("Primeira")}));
    closed.set_value(c.waitForClose(std::chrono::seconds(10)));
  });
  auto model = ScriptedModel::available({"never"});
  OnDeviceModel::Override installed(model);
  std::stop_source stop;
  std::vector<std::string> partials;
  auto started = std::chrono::steady_clock::now();
  EXPECT_THROW(NoteWriter::write(
                   meeting(), anthropicAt(server.url()), true,
                   [&](const std::string& t) {
                     partials.push_back(t);
                     stop.request_stop();
                   },
                   stop.get_token()),
               CancellationError);
  EXPECT_TRUE(closed.get_future().get()) << "the transfer was left open";
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
  EXPECT_EQ(partials, std::vector<std::string>{"Primeira"});
  EXPECT_EQ(model->sessions(), 0);

  // Stopped before it starts: nothing is sent at all.
  LoopbackServer unused = answering(401, "{}");
  EXPECT_THROW(NoteWriter::write(meeting(), anthropicAt(unused.url()), true, nullptr, stop.get_token()),
               CancellationError);
  EXPECT_TRUE(unused.requests().empty());
  EXPECT_EQ(model->sessions(), 0);
}
