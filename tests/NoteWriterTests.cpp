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

Meeting meeting() {
  Meeting m;
  m.meta = meta("Revisão do cache");
  m.notes = "- cache\n";
  m.segments = {segment(Speaker::them, 0, 5, "O cache expira."), segment(Speaker::me, 6, 9, "Vamos aumentar.")};
  return m;
}

// A provider of its own id, so no keychain item can stand in for the key.
ProviderConfig anthropicAt(const std::string& baseURL) {
  return {"test-" + Uuid::random().string(), "Claude", ProviderKind::anthropic, baseURL, "claude-test", true, {}};
}

// The notes and who wrote them, or "! " and the message of what was thrown.
std::string written(const ProviderConfig& provider, bool localFallback, std::vector<std::string>* partials = nullptr) {
  try {
    NoteWriter::Result result = NoteWriter::write(
        meeting(), provider, localFallback, [&](const std::string& t) { if (partials) partials->push_back(t); }, {},
        [&](const LLMError& e) { if (partials) partials->push_back(std::string("fallback after: ") + e.what()); });
    return result.text + " (" + result.usedLabel + ")";
  } catch (const std::exception& e) {
    return std::string("! ") + e.what();
  }
}

const std::string kOverloaded =
    eventStream({anthropicText("Primeira "), anthropicText("parte"), {{"type", "error"}, {"error", {{"message", "Overloaded"}}}}});
const std::string kOnDevice = " (IA da Apple (no Mac))";

class NoteWriterTest : public ::testing::Test {
 protected:
  ScopedEnv env{{"QUILLET_API_KEY", "sk-ant-notewriter"}};
};

}  // namespace

// The on-device model answers exactly the recoverable failures, and only when
// asked to and available.
TEST_F(NoteWriterTest, FallsBackExactlyOnRecoverableErrors) {
  struct Case {
    int status;  // what the server answers; 0: nothing reaches it
    std::string body, remote;  // `remote`: what a run without a fallback gives
    bool recoverable;
    std::string url = {};  // instead of the server's
  };
  for (const Case& c : std::vector<Case>{
           {200, eventStream({anthropicText("\n## Cache\n"), anthropicText("- dez\n")}),
            "## Cache\n- dez (Anthropic · claude-test)", false},
           {401, errorBody("invalid x-api-key"), "! HTTP 401: invalid x-api-key", true},
           {503, errorBody("overloaded"), "! HTTP 503: overloaded", true},
           {200, kOverloaded, "! HTTP 529: Overloaded", true},
           {0, "", "! Não foi possível conectar ao servidor.", true, "http://127.0.0.1:" + std::to_string(closedPort())},
           {0, "", "! Falta a chave de API de Anthropic. Coloque em Ajustes › IA.", true},
           {400, errorBody("prompt is too long"), "! HTTP 400: prompt is too long", false},
           {200, eventStream({anthropicText("x"), anthropicStop("refusal")}), "! O modelo se recusou a responder.", false},
           {0, "", "! Endereço inválido: api.example.com", false, "api.example.com"},
       }) {
    SCOPED_TRACE(c.remote);
    LoopbackServer server = answering(c.status, c.body);
    ProviderConfig provider = anthropicAt(c.url.empty() ? server.url() : c.url);
    ScopedEnv keyless;
    if (c.remote.starts_with("! Falta")) {
      // No key in the environment and no Secret Service to ask.
      keyless.set("QUILLET_API_KEY", "");
      keyless.set("DBUS_SESSION_BUS_ADDRESS", std::nullopt);
    }
    auto available = ScriptedModel::available({"Notas", "Notas locais"});
    {
      OnDeviceModel::Override installed(available);
      EXPECT_EQ(written(provider, true), c.recoverable ? "Notas locais" + kOnDevice : c.remote);
      EXPECT_EQ(written(provider, false), c.remote);
    }
    OnDeviceModel::Override disabled(std::make_shared<ScriptedModel>(
        OnDeviceAvailability::unavailable(OnDeviceAvailability::Reason::modelNotReady), std::vector<std::string>{}));
    EXPECT_EQ(written(provider, true), c.remote);
    EXPECT_EQ(available->sessions(), c.recoverable ? 1 : 0);
    EXPECT_EQ(server.requests().empty(), c.status == 0);
  }
}

// The fallback's partials start again, from the same prompts.
TEST_F(NoteWriterTest, TheFallbackStartsAgainWithTheSamePrompts) {
  LoopbackServer server = answering(200, kOverloaded);
  auto model = ScriptedModel::available({"Notas", "Notas locais", "Notas locais\n"});
  OnDeviceModel::Override installed(model);
  std::vector<std::string> partials;
  EXPECT_EQ(written(anthropicAt(server.url()), true, &partials), "Notas locais" + kOnDevice);
  EXPECT_EQ(partials, (std::vector<std::string>{"Primeira ", "Primeira parte", "fallback after: HTTP 529: Overloaded",
                                                "Notas", "Notas locais", "Notas locais\n"}));
  json sent = json::parse(server.requests().at(0).body);
  EXPECT_EQ(model->instructions(), sent["system"]);
  EXPECT_EQ(model->prompt(), sent["messages"][0]["content"]);
  Meeting m = meeting();
  EXPECT_EQ(model->prompt(), Enhancer::prompt(m.meta, m.notes, Transcript::plain(m.segments), false));
}

// The on-device provider is never retried with itself, and a failed fallback
// throws its own error.
TEST_F(NoteWriterTest, OnDeviceFailuresAreFinal) {
  LoopbackServer server = answering(500, errorBody("internal"));
  for (const auto& [provider, failure] : std::vector<std::pair<ProviderConfig, std::exception_ptr>>{
           {Providers::apple(), std::make_exception_ptr(LLMError::unavailable("ocupado"))},
           {anthropicAt(server.url()), std::make_exception_ptr(std::runtime_error("ocupado"))}}) {
    auto model = ScriptedModel::available({"meio"}, failure);
    OnDeviceModel::Override installed(model);
    EXPECT_EQ(written(provider, true), "! ocupado");
    EXPECT_EQ(model->sessions(), 1);
  }
  OnDeviceModel::Override installed(ScriptedModel::available({"Notas"}));
  EXPECT_EQ(written(Providers::apple(), true), "Notas" + kOnDevice);
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
