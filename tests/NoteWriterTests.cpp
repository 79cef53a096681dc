#include <gtest/gtest.h>

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
std::string written(const ProviderConfig& provider, bool localFallback, std::vector<std::string>* partials = nullptr,
                    std::stop_token stop = {}) {
  auto keep = [&](const std::string& t) {
    if (partials) partials->push_back(t);
  };
  auto fellBack = [&](const LLMError& e) { keep(std::string("fallback after: ") + e.what()); };
  try {
    NoteWriter::Result result = NoteWriter::write(meeting(), provider, localFallback, keep, stop, fellBack);
    return result.text + " (" + result.usedLabel + ")";
  } catch (const std::exception& e) {
    return std::string("! ") + e.what();
  }
}

const std::string kOnDevice = " (IA da Apple (no Mac))";

class NoteWriterTest : public ::testing::Test {
 protected:
  ScopedEnv env{{"QUILLET_API_KEY", "sk-ant-notewriter"}};
};

}  // namespace

// The on-device model answers exactly the recoverable failures, and only when
// asked to and available.
TEST_F(NoteWriterTest, FallsBackExactlyOnRecoverableErrors) {
  for (const auto& [status, body, remote, recoverable] : std::vector<std::tuple<int, std::string, std::string, bool>>{
           {200, eventStream({anthropicText("\n## Cache\n"), anthropicText("- dez\n")}),
            "## Cache\n- dez (Anthropic · claude-test)", false},
           {401, errorBody("invalid x-api-key"), "! HTTP 401: invalid x-api-key", true},
           {400, errorBody("prompt is too long"), "! HTTP 400: prompt is too long", false},
       }) {
    SCOPED_TRACE(remote);
    LoopbackServer server = answering(status, body);
    auto available = ScriptedModel::available({"Notas", "Notas locais"});
    {
      OnDeviceModel::Override installed(available);
      EXPECT_EQ(written(anthropicAt(server.url()), true), recoverable ? "Notas locais" + kOnDevice : remote);
      EXPECT_EQ(written(anthropicAt(server.url()), false), remote);
    }
    OnDeviceModel::Override disabled(std::make_shared<ScriptedModel>(
        OnDeviceAvailability::unavailable(OnDeviceAvailability::Reason::modelNotReady), std::vector<std::string>{}));
    EXPECT_EQ(written(anthropicAt(server.url()), true), remote);
    EXPECT_EQ(available->sessions(), recoverable ? 1 : 0);
  }
}

// The fallback's partials start again, from the same prompts; a stop is never
// answered with a fallback.
TEST_F(NoteWriterTest, TheFallbackStartsAgainWithTheSamePrompts) {
  LoopbackServer server = answering(200, eventStream({anthropicText("Primeira "), anthropicText("parte"),
                                                      {{"type", "error"}, {"error", {{"message", "Overloaded"}}}}}));
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

  std::stop_source stopped;
  stopped.request_stop();
  EXPECT_EQ(written(anthropicAt(server.url()), true, nullptr, stopped.get_token()), "! cancelado");
  EXPECT_EQ(server.requests().size(), 1u);
  EXPECT_EQ(model->sessions(), 1);
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
