#include <gtest/gtest.h>

#include "ClientTestSupport.hpp"
#include "QuilletKit/AnthropicClient.hpp"

using namespace quillet;
using namespace quillet::test;
using nlohmann::json;

namespace {

const std::string kKey = "sk-ant-test-0123456789";

// Speaks the Messages API: `events` streamed to POST /v1/messages, the model
// list to GET /v1/models, and 401 echoing the key it was sent otherwise.
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
      {{"type", "message_start"}, {"message", {{"id", "msg_1"}}}},
      {{"type", "content_block_start"}, {"index", 0}, {"content_block", {{"type", "thinking"}}}},
      {{"type", "content_block_delta"}, {"delta", {{"type", "thinking_delta"}, {"thinking", "hmm"}}}},
      {{"type", "ping"}}, anthropicText("Olá, "), anthropicText(""),
      {{"type", "content_block_delta"}, {"delta", {{"type", "input_json_delta"}, {"partial_json", "{"}}}},
      anthropicText("mundo"), {{"type", "content_block_delta"}, {"delta", "text_delta"}},
      anthropicStop("end_turn"), {{"type", "message_stop"}},
  });
  AnthropicClient client(server.url() + "/", "claude-sonnet-5-5", kKey);
  EXPECT_EQ(client.label(), "Anthropic · claude-sonnet-5-5");
  EXPECT_EQ(summary(client.stream("Be brief.", "Resuma a reunião.")), "Olá, |mundo");
  EXPECT_EQ(client.models(), (std::vector<std::string>{"claude-haiku-5", "claude-sonnet-5-5"}));

  auto sent = server.requests();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[1].target, "/v1/models?limit=100");
  for (const auto& r : sent) EXPECT_EQ(r.header("x-api-key") + " " + r.header("anthropic-version"), kKey + " 2026-10-21");
  EXPECT_EQ(sent[0].header("content-type"), "application/json");
  EXPECT_FALSE(sent[0].hasHeader("Expect"));
  // A proxy gets the effort but not the first-party fallback.
  EXPECT_FALSE(sent[0].hasHeader("anthropic-beta"));
  EXPECT_EQ(json::parse(sent[0].body), (json{{"model", "claude-sonnet-5-5"}, {"max_tokens", 32000}, {"stream", true},
                                             {"system", "Be brief."},
                                             {"messages", {{{"role", "user"}, {"content", "Resuma a reunião."}}}},
                                             {"output_config", {{"effort", "medium"}}}}));
}

TEST(AnthropicClient, EffortAndServerFallbackByModelAndHost) {
  struct Case {
    const char *baseURL, *model;
    bool effort, fallback;
  };
  for (const Case& c : std::vector<Case>{
           {"https://api.anthropic.com", "claude-sonnet-5-5", true, true},
           {"https://api.anthropic.com/", "claude-opus-5", true, true},
           {"https://api.anthropic.com", "claude-fable-5-1", true, true},
           {"https://proxy.example.com", "claude-sonnet-5-5", true, false},
           {"https://API.anthropic.com", "claude-opus-5-5", true, false},
           {"https://api.anthropic.com.example.org", "claude-opus-5", true, false},
           {"https://api.anthropic.com", "claude-haiku-5", true, false},
           {"https://api.anthropic.com", "claude-opus-5-5-20270101", true, false},
           {"https://api.anthropic.com", "claude-3-7-sonnet", false, false},
       }) {
    SCOPED_TRACE(std::string(c.baseURL) + " " + c.model);
    HTTPRequest request = AnthropicClient(c.baseURL, c.model, kKey).messagesRequest("s", "p");
    json body = json::parse(request.body);
    EXPECT_EQ(body.contains("output_config"), c.effort);
    EXPECT_EQ(body.value("fallbacks", ""), c.fallback ? "default" : "");
    EXPECT_EQ(request.header("anthropic-beta"), c.fallback ? "server-side-fallback-2026-07-01" : "");
  }
  EXPECT_FALSE(AnthropicClient("not a url", "claude-opus-5", kKey).isFirstParty());
}

TEST(AnthropicClient, ErrorAndRefusalEventsEndTheStream) {
  for (const auto& [event, told] : std::vector<std::pair<json, std::string>>{
           {{{"type", "error"}, {"error", {{"type", "overloaded_error"}, {"message", "Overloaded"}}}},
            "kept ! HTTP 529: Overloaded"},
           {{{"type", "error"}}, "kept ! HTTP 529: erro"},
           {{{"type", "error"}, {"error", "flat"}}, "kept ! HTTP 529: erro"},
           {anthropicStop("refusal"), "kept ! O modelo se recusou a responder."},
       }) {
    LoopbackServer server = fakeAnthropic({anthropicText("kept"), event, anthropicText("never")});
    EXPECT_EQ(summary(AnthropicClient(server.url(), "m", kKey).stream("s", "p")), told);
  }
}

// Both calls fail alike, and the key shows in no error text, not even when
// the server echoes it.
TEST(AnthropicClient, FailuresOfStreamAndModelList) {
  LoopbackServer server = fakeAnthropic();
  struct Case {
    std::string baseURL, key, told;
    size_t requests;  // that have reached the server so far
  };
  for (const Case& c : std::vector<Case>{
           {server.url(), "", " ! Falta a chave de API de Anthropic. Coloque em Ajustes › IA.", 0},
           {" api.anthropic.com ", kKey, " ! Endereço inválido:  api.anthropic.com ", 0},
           {server.url() + "/elsewhere", kKey, " ! HTTP 401: invalid x-api-key •••", 2},
           // A key that would break the header block is never sent.
           {server.url(), kKey + "\r\nX-Injected: 1", " ! Um cabeçalho da requisição contém uma quebra de linha.", 2},
       }) {
    SCOPED_TRACE(c.baseURL);
    AnthropicClient client(c.baseURL, "m", c.key);
    std::string told = summary(client.stream("s", "p"));
    EXPECT_EQ(told, c.told);
    try {
      client.models();
      ADD_FAILURE() << "no error";
    } catch (const LLMError& error) {
      EXPECT_EQ(" ! " + std::string(error.what()), told);
    }
    EXPECT_EQ(server.requests().size(), c.requests);
  }
}
