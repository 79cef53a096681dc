#include <gtest/gtest.h>

#include "ClientTestSupport.hpp"
#include "QuilletKit/AnthropicClient.hpp"
#include "QuilletKit/ClientWire.hpp"

using namespace quillet;
using namespace quillet::test;
using nlohmann::json;

const std::string kKey = "sk-ant-test-0123456789";

TEST(AnthropicClient, StreamsTheTextOfTheExactRequest) {
  LoopbackServer server = answering(200, eventStream({
      {{"type", "message_start"}, {"message", {{"id", "msg_1"}}}}, {{"message", "no type"}}, anthropicText("Olá, "),
      {{"type", "content_block_delta"}, {"delta", {{"type", "thinking_delta"}, {"thinking", "hmm"}}}},
      anthropicText("mundo"), {{"type", "content_block_delta"}, {"delta", "text_delta"}}, anthropicStop("end_turn"),
  }));
  AnthropicClient client(server.url() + "/", "claude-sonnet-5-5", kKey);
  EXPECT_EQ(summary(client.stream("Be brief.", "Resuma a reunião.")), "Olá, |mundo");
  // The model, the prompts, the key and the model list are checked where the tool runs against such a server.
  const ReceivedRequest sent = server.requests().at(0);
  EXPECT_EQ(sent.target + " " + sent.header("anthropic-version") + " " + json::parse(sent.body)["stream"].dump(),
            "/v1/messages 2026-10-21 true");
}

TEST(AnthropicClient, EffortAndServerFallbackByModelAndHost) {
  const std::string first = "https://api.anthropic.com";
  for (const auto& [url, model, effort, fallback] : std::vector<std::tuple<std::string, std::string, bool, bool>>{
           {first + "/", "claude-opus-5", true, true}, {"https://proxy.example.com", "claude-sonnet-5-5", true, false},
           {first, "claude-haiku-5", true, false}, {first, "claude-3-7-sonnet", false, false}}) {
    HTTPRequest request = AnthropicWire::messagesRequest(AnthropicClient(url, model, kKey), "s", "p");
    json body = json::parse(request.body);
    EXPECT_EQ(body.contains("output_config"), effort) << url << " " << model;
    EXPECT_EQ(body.value("fallbacks", "") + "|" + request.header("anthropic-beta"),
              fallback ? "default|server-side-fallback-2026-07-01" : "|") << url << " " << model;
  }
  EXPECT_FALSE(AnthropicClient("not a url", "claude-opus-5", kKey).isFirstParty());
}

// Text before an error is delivered, nothing after it; the model list fails alike, never showing the key.
TEST(AnthropicClient, FailuresEndTheStream) {
  const std::string leak = kKey + "\r\nX-Injected: 1";  // never sent: it would break the header block
  const json text = anthropicText("kept"), never = anthropicText("never");
  struct Case {
    int status;
    std::string reply, key, told;  // only the right key reaches the server
  };
  for (const Case& c : std::vector<Case>{
           {200, eventStream({text, {{"type", "error"}, {"error", {{"message", "Overloaded"}}}}, never}), kKey,
            "kept ! HTTP 529: Overloaded"},
           {200, eventStream({text, {{"type", "error"}}}), kKey, "kept ! HTTP 529: erro"},
           {200, eventStream({text, anthropicStop("refusal"), never}), kKey, "kept ! O modelo se recusou a responder."},
           {401, errorBody("invalid x-api-key " + kKey), kKey, " ! HTTP 401: invalid x-api-key •••"},
           {200, "", "", " ! Falta a chave de API de Anthropic. Coloque em Ajustes › IA."},
           {200, "", leak, " ! Um cabeçalho da requisição contém uma quebra de linha."},
       }) {
    SCOPED_TRACE(c.told);
    LoopbackServer server = answering(c.status, c.reply);
    AnthropicClient client(server.url(), "m", c.key);
    EXPECT_EQ(summary(client.stream("s", "p")), c.told);
    if (!c.told.starts_with("kept")) {
      EXPECT_EQ(" ! " + failure([&] { client.models(); }), c.told);
    }
    EXPECT_EQ(server.requests().empty(), c.key != kKey);
  }
}
