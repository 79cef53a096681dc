#include <gtest/gtest.h>

#include "ClientTestSupport.hpp"
#include "QuilletKit/AnthropicClient.hpp"
#include "QuilletKit/ClientWire.hpp"

using namespace quillet;
using namespace quillet::test;
using nlohmann::json;

namespace {

const std::string kKey = "sk-ant-test-0123456789";

// `events` to POST /v1/messages, two models to GET /v1/models, and 401 echoing the key to anything else.
LoopbackServer fakeAnthropic(const std::vector<json>& events = {}) {
  return LoopbackServer([reply = eventStream(events)](Connection& c) {
    const ReceivedRequest& r = c.request();
    if (r.method == "POST" && r.target == "/v1/messages") {
      c.sendHead(200);
      c.sendChunk(reply);
      c.endChunks();
    } else if (r.method == "GET" && r.target.starts_with("/v1/models")) {
      c.respond(200, R"({"data":[{"id":"claude-sonnet-5-5"},{"id":"claude-haiku-5"}],"has_more":true})");
    } else {
      c.respond(401, errorBody("invalid x-api-key " + r.header("x-api-key")));
    }
  });
}

}  // namespace

TEST(AnthropicClient, StreamsTheTextOfTheExactRequest) {
  LoopbackServer server = fakeAnthropic({
      {{"type", "message_start"}, {"message", {{"id", "msg_1"}}}}, {{"message", "no type"}}, anthropicText("Olá, "),
      {{"type", "content_block_delta"}, {"delta", {{"type", "thinking_delta"}, {"thinking", "hmm"}}}},
      anthropicText("mundo"), {{"type", "content_block_delta"}, {"delta", "text_delta"}}, anthropicStop("end_turn"),
  });
  AnthropicClient client(server.url() + "/", "claude-sonnet-5-5", kKey);
  EXPECT_EQ(summary(client.stream("Be brief.", "Resuma a reunião.")), "Olá, |mundo");
  EXPECT_EQ(client.models(), (std::vector<std::string>{"claude-haiku-5", "claude-sonnet-5-5"}));

  auto sent = server.requests();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[1].target, "/v1/models?limit=100");
  for (const auto& r : sent) EXPECT_EQ(r.header("x-api-key") + " " + r.header("anthropic-version"), kKey + " 2026-10-21");
  EXPECT_EQ(sent[0].header("content-type") + "|" + sent[0].header("Expect"), "application/json|");
  EXPECT_EQ(json::parse(sent[0].body), (json{{"model", "claude-sonnet-5-5"}, {"max_tokens", 32000}, {"stream", true},
                                             {"system", "Be brief."},
                                             {"messages", {{{"role", "user"}, {"content", "Resuma a reunião."}}}},
                                             {"output_config", {{"effort", "medium"}}}}));
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
    std::vector<json> events;
    std::string url, key, told;  // a url of "/..." is a path on the server
    bool reachesServer;
  };
  for (const Case& c : std::vector<Case>{
           {{text, {{"type", "error"}, {"error", {{"message", "Overloaded"}}}}, never}, "", kKey,
            "kept ! HTTP 529: Overloaded", true},
           {{text, {{"type", "error"}}}, "", kKey, "kept ! HTTP 529: erro", true},
           {{text, anthropicStop("refusal"), never}, "", kKey, "kept ! O modelo se recusou a responder.", true},
           {{}, "/elsewhere", kKey, " ! HTTP 401: invalid x-api-key •••", true},
           {{}, "", "", " ! Falta a chave de API de Anthropic. Coloque em Ajustes › IA.", false},
           {{}, " api.anthropic.com ", kKey, " ! Endereço inválido:  api.anthropic.com ", false},
           {{}, "", leak, " ! Um cabeçalho da requisição contém uma quebra de linha.", false},
       }) {
    SCOPED_TRACE(c.told);
    LoopbackServer server = fakeAnthropic(c.events);
    AnthropicClient client(c.url.empty() || c.url[0] == '/' ? server.url() + c.url : c.url, "m", c.key);
    EXPECT_EQ(summary(client.stream("s", "p")), c.told);
    if (c.events.empty()) {
      EXPECT_EQ(" ! " + failure([&] { client.models(); }), c.told);
    }
    EXPECT_EQ(server.requests().empty(), !c.reachesServer);
  }
}
