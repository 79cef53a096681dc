#include <gtest/gtest.h>

#include "ClientTestSupport.hpp"
#include "QuilletKit/NoteWriter.hpp"
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
  std::vector<std::string> ignored;
  auto keep = [&](const std::string& t) { (partials ? *partials : ignored).push_back(t); };
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

// The on-device model answers only recoverable failures of other providers, when asked and available.
TEST_F(NoteWriterTest, FallsBackExactlyOnRecoverableErrors) {
  enum Model { unavailable, answers, fails };
  const std::string ok = eventStream({anthropicText("\n## Cache\n"), anthropicText("- dez\n")});
  const std::string unauthorized = errorBody("invalid x-api-key"), local = "Notas locais" + kOnDevice;
  using Case = std::tuple<int, std::string, bool, Model, std::string>;
  for (const auto& [status, body, fallback, model, told] : std::vector<Case>{
           {200, ok, true, answers, "## Cache\n- dez (Anthropic · claude-test)"},
           {401, unauthorized, true, answers, local},
           {401, unauthorized, false, answers, "! HTTP 401: invalid x-api-key"},
           {401, unauthorized, true, unavailable, "! HTTP 401: invalid x-api-key"},
           {400, errorBody("prompt is too long"), true, answers, "! HTTP 400: prompt is too long"},
           {500, errorBody("internal"), true, fails, "! ocupado"},
           {0, "", true, fails, "! ocupado"},  // status 0: the on-device provider itself
       }) {
    SCOPED_TRACE(told);
    LoopbackServer server = answering(status, body);
    auto scripted = std::make_shared<ScriptedModel>(
        model == unavailable ? OnDeviceAvailability::unavailable(OnDeviceAvailability::Reason::modelNotReady)
                             : OnDeviceAvailability::available(),
        std::vector<std::string>{"Notas", "Notas locais"},
        model == fails ? std::make_exception_ptr(LLMError::unavailable("ocupado")) : nullptr);
    OnDeviceModel::Override installed(scripted);
    EXPECT_EQ(written(status ? anthropicAt(server.url()) : Providers::apple(), fallback), told);
    EXPECT_EQ(scripted->sessions, told == local || model == fails ? 1 : 0);
  }
}

// The fallback's partials start again, from the same prompts; a stop is never answered with a fallback.
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
  EXPECT_EQ(model->instructions, sent["system"]);
  EXPECT_EQ(model->prompt, sent["messages"][0]["content"]);

  std::stop_source stopped;
  stopped.request_stop();
  EXPECT_EQ(written(anthropicAt(server.url()), true, nullptr, stopped.get_token()), "! cancelado");
  EXPECT_EQ(server.requests().size(), 1u);
  EXPECT_EQ(model->sessions, 1);
}
