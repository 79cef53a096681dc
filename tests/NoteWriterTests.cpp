#include <gtest/gtest.h>

#include <future>
#include <stdexcept>

#include "ClientTestSupport.hpp"
#include "QuilletKit/Cancellation.hpp"
#include "QuilletKit/NoteWriter.hpp"
#include "QuilletKit/Transcript.hpp"
#include "ScriptedModel.hpp"
#include "TestSupport.hpp"

using namespace quillet;
using namespace quillet::test;
using nlohmann::json;

namespace {

const char* kKey = "sk-ant-notewriter-0123";

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

// The notes and who wrote them, or "! " and the message of what was thrown.
std::string written(const ProviderConfig& provider, bool localFallback, const Enhancer::Partial& onPartial = nullptr) {
  try {
    NoteWriter::Result result = NoteWriter::write(meeting(), provider, localFallback, onPartial);
    return result.text + " (" + result.usedLabel + ")";
  } catch (const std::exception& e) {
    return std::string("! ") + e.what();
  }
}

class NoteWriterTest : public ::testing::Test {
 protected:
  ScopedEnv env{{"QUILLET_API_KEY", kKey}};
};

}  // namespace

TEST_F(NoteWriterTest, ReturnsTheRemoteNotesWithTheClientLabel) {
  LoopbackServer server = answering(200, eventStream({anthropicText("\n## Cache\n"), anthropicText("- dez minutos\n")}));
  auto model = ScriptedModel::available({"never"});
  OnDeviceModel::Override installed(model);
  std::vector<std::string> partials;
  EXPECT_EQ(written(anthropicAt(server.url()), true, [&](const std::string& t) { partials.push_back(t); }),
            "## Cache\n- dez minutos (Anthropic · claude-test)");
  EXPECT_EQ(partials, (std::vector<std::string>{"\n## Cache\n", "\n## Cache\n- dez minutos\n"}));
  EXPECT_EQ(model->sessions(), 0);
  EXPECT_EQ(server.requests().at(0).header("x-api-key"), kKey);
}

// Every way a remote run can fail: the on-device model answers exactly the
// recoverable ones, and only when asked to and available.
TEST_F(NoteWriterTest, FallsBackExactlyOnRecoverableErrors) {
  struct Case {
    int status;  // what the server answers; 0: no server is reached
    std::string body, message;
    bool recoverable;
    std::string baseURL = {};  // instead of the server's
  };
  const std::string refused = "http://127.0.0.1:" + std::to_string(closedPort());
  const std::string overloaded =
      eventStream({anthropicText("Par"), {{"type", "error"}, {"error", {{"message", "Overloaded"}}}}});
  for (const Case& c : std::vector<Case>{
           {401, errorBody("invalid x-api-key"), "HTTP 401: invalid x-api-key", true},
           {503, errorBody("overloaded"), "HTTP 503: overloaded", true},
           {200, overloaded, "HTTP 529: Overloaded", true},
           {0, "", "Não foi possível conectar ao servidor.", true, refused},
           {0, "", "Falta a chave de API de Anthropic. Coloque em Ajustes › IA.", true},
           {400, errorBody("prompt is too long"), "HTTP 400: prompt is too long", false},
           {200, eventStream({anthropicText("x"), anthropicStop("refusal")}), "O modelo se recusou a responder.", false},
           {0, "", "Endereço inválido: api.example.com", false, "api.example.com"},
       }) {
    SCOPED_TRACE(c.message);
    LoopbackServer server = answering(c.status, c.body);
    ProviderConfig provider = anthropicAt(c.baseURL.empty() ? server.url() : c.baseURL);
    ScopedEnv keyless;
    if (c.message.starts_with("Falta")) {
      // No key in the environment and no Secret Service to ask.
      keyless.set("QUILLET_API_KEY", "");
      keyless.set("DBUS_SESSION_BUS_ADDRESS", std::nullopt);
    }
    auto available = ScriptedModel::available({"Notas", "Notas locais"});
    {
      OnDeviceModel::Override installed(available);
      EXPECT_EQ(written(provider, true), c.recoverable ? "Notas locais (IA da Apple (no Mac))" : "! " + c.message);
      EXPECT_EQ(written(provider, false), "! " + c.message);
    }
    OnDeviceModel::Override disabled(std::make_shared<ScriptedModel>(
        OnDeviceAvailability::unavailable(OnDeviceAvailability::Reason::appleIntelligenceNotEnabled),
        std::vector<std::string>{"never"}));
    EXPECT_EQ(written(provider, true), "! " + c.message);
    EXPECT_EQ(available->sessions(), c.recoverable ? 1 : 0);
    EXPECT_EQ(server.requests().empty(), c.status == 0);
  }
}

TEST_F(NoteWriterTest, TheFallbackStartsAgainWithTheSamePrompts) {
  LoopbackServer server = answering(200, eventStream({anthropicText("Primeira "), anthropicText("parte"),
                                                      {{"type", "error"}, {"error", {{"message", "Overloaded"}}}}}));
  auto model = ScriptedModel::available({"Notas", "Notas locais", "Notas locais\n"});
  OnDeviceModel::Override installed(model);
  std::vector<std::string> partials;
  EXPECT_EQ(written(anthropicAt(server.url()), true, [&](const std::string& t) { partials.push_back(t); }),
            "Notas locais (IA da Apple (no Mac))");
  EXPECT_EQ(partials,
            (std::vector<std::string>{"Primeira ", "Primeira parte", "Notas", "Notas locais", "Notas locais\n"}));
  json sent = json::parse(server.requests().at(0).body);
  EXPECT_EQ(model->instructions(), sent["system"]);
  EXPECT_EQ(model->prompt(), sent["messages"][0]["content"]);
  Meeting m = meeting();
  EXPECT_EQ(model->prompt(), Enhancer::prompt(m.meta, m.notes, Transcript::plain(m.segments), false));
}

// The on-device provider is never retried with itself, and a failed fallback
// throws its own error.
TEST_F(NoteWriterTest, OnDeviceFailuresAreFinal) {
  auto busy = ScriptedModel::available({"meio"}, std::make_exception_ptr(LLMError::unavailable("ocupado")));
  {
    OnDeviceModel::Override installed(busy);
    EXPECT_EQ(written(Providers::apple(), true), "! ocupado");
    EXPECT_EQ(busy->sessions(), 1);
  }
  {
    OnDeviceModel::Override installed(ScriptedModel::available({"Notas"}));
    EXPECT_EQ(written(Providers::apple(), true), "Notas (IA da Apple (no Mac))");
  }
  LoopbackServer server = answering(500, errorBody("internal"));
  auto failing = ScriptedModel::available({"Not"}, std::make_exception_ptr(std::runtime_error("exceeded context")));
  OnDeviceModel::Override installed(failing);
  EXPECT_EQ(written(anthropicAt(server.url()), true), "! exceeded context");
  EXPECT_EQ(failing->sessions(), 1);
}

TEST_F(NoteWriterTest, CancellationClosesTheTransferAndIsNeverAnsweredWithAFallback) {
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
  auto stopAtFirst = [&](const std::string& t) {
    partials.push_back(t);
    stop.request_stop();
  };
  EXPECT_THROW(NoteWriter::write(meeting(), anthropicAt(server.url()), true, stopAtFirst, stop.get_token()),
               CancellationError);
  EXPECT_TRUE(closed.get_future().get()) << "the transfer was left open";
  EXPECT_EQ(partials, std::vector<std::string>{"Primeira"});

  // Stopped before it starts: nothing is sent at all.
  LoopbackServer unused = answering(401, "{}");
  EXPECT_THROW(NoteWriter::write(meeting(), anthropicAt(unused.url()), true, nullptr, stop.get_token()),
               CancellationError);
  EXPECT_TRUE(unused.requests().empty());
  EXPECT_EQ(model->sessions(), 0);
}
