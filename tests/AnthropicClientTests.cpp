#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "ClientTestSupport.hpp"
#include "LoopbackServer.hpp"
#include "QuilletKit/AnthropicClient.hpp"

using namespace quillet;
using namespace quillet::test;
using nlohmann::json;

namespace {

const char* kKey = "sk-ant-test-0123456789";

// Speaks the Messages API: a streamed reply to POST /v1/messages (the body
// given), the model list to GET /v1/models, 401 with the key echoed otherwise.
class FakeAnthropic {
 public:
  explicit FakeAnthropic(std::string reply)
      : server_([reply = std::move(reply)](Connection& c) {
          const ReceivedRequest& r = c.request();
          if (r.method == "POST" && r.target == "/v1/messages") {
            c.sendHead(200);
            c.sendChunk(reply);
            c.endChunks();
          } else if (r.method == "GET" && r.target.starts_with("/v1/models")) {
            c.respond(200, R"({"data":[{"id":"claude-sonnet-5-5"},{"id":"claude-haiku-5"}],"has_more":true})");
          } else {
            c.respond(401, json{{"error", {{"message", "invalid x-api-key " + r.header("x-api-key")}}}}.dump());
          }
        }) {}

  std::string url() const { return server_.url(); }
  std::vector<ReceivedRequest> requests() const { return server_.requests(); }

 private:
  LoopbackServer server_;
};

const std::string kReply = eventStream({
    {{"type", "message_start"}, {"message", {{"id", "msg_1"}, {"content", json::array()}}}},
    {{"type", "content_block_start"}, {"index", 0}, {"content_block", {{"type", "thinking"}}}},
    {{"type", "content_block_delta"}, {"delta", {{"type", "thinking_delta"}, {"thinking", "hmm"}}}},
    {{"type", "ping"}},
    {{"type", "content_block_delta"}, {"delta", {{"type", "text_delta"}, {"text", "Olá, "}}}},
    {{"type", "content_block_delta"}, {"delta", {{"type", "text_delta"}, {"text", ""}}}},
    {{"type", "content_block_delta"}, {"delta", {{"type", "input_json_delta"}, {"partial_json", "{"}}}},
    {{"type", "content_block_delta"}, {"delta", {{"type", "text_delta"}, {"text", "mundo"}}}},
    {{"type", "content_block_delta"}, {"delta", "text_delta"}},
    {{"type", "message_delta"}, {"delta", {{"stop_reason", "end_turn"}}}},
    {{"type", "message_stop"}},
});

}  // namespace

TEST(AnthropicClient, StreamsTheReplyOfTheExactRequest) {
  FakeAnthropic server(kReply);
  AnthropicClient client(server.url() + "/", "claude-sonnet-5-5", kKey);
  EXPECT_EQ(client.label(), "Anthropic · claude-sonnet-5-5");
  EXPECT_EQ(client.maxPromptCharacters(), std::nullopt);

  TextStream stream = client.stream("Be brief.", "Resuma a reunião.");
  // The request goes out when the stream is made, before anything is pulled.
  for (int i = 0; i < 400 && server.requests().empty(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(server.requests().size(), 1u);
  StreamOutcome outcome = drain(std::move(stream));
  EXPECT_FALSE(outcome.error);
  EXPECT_EQ(outcome.pieces, (std::vector<std::string>{"Olá, ", "mundo"}));

  ASSERT_EQ(server.requests().size(), 1u);
  ReceivedRequest sent = server.requests().at(0);
  EXPECT_EQ(sent.method, "POST");
  EXPECT_EQ(sent.target, "/v1/messages");
  EXPECT_EQ(sent.header("x-api-key"), kKey);
  EXPECT_EQ(sent.header("anthropic-version"), "2026-10-21");
  EXPECT_EQ(sent.header("content-type"), "application/json");
  EXPECT_FALSE(sent.hasHeader("anthropic-beta"));
  EXPECT_FALSE(sent.hasHeader("Expect"));
  // A proxy gets the effort but not the first-party fallback.
  EXPECT_EQ(json::parse(sent.body), (json{{"model", "claude-sonnet-5-5"},
                                          {"max_tokens", 32000},
                                          {"stream", true},
                                          {"system", "Be brief."},
                                          {"messages", {{{"role", "user"}, {"content", "Resuma a reunião."}}}},
                                          {"output_config", {{"effort", "medium"}}}}));
}

TEST(AnthropicClient, EffortAndServerFallbackByModelAndHost) {
  struct Case {
    const char* baseURL;
    const char* model;
    bool effort;
    bool fallback;
  };
  for (const Case& c : std::vector<Case>{
           {"https://api.anthropic.com", "claude-sonnet-5-5", true, true},
           {"https://api.anthropic.com/", "claude-opus-5", true, true},
           {"https://api.anthropic.com", "claude-fable-5-1", true, true},
           {"https://proxy.example.com", "claude-sonnet-5-5", true, false},
           {"https://API.anthropic.com", "claude-opus-5-5", true, false},
           {"https://api.anthropic.com", "claude-haiku-5", true, false},
           {"https://api.anthropic.com", "claude-opus-5-5-20270101", true, false},
           {"https://api.anthropic.com", "claude-3-7-sonnet", false, false},
       }) {
    SCOPED_TRACE(std::string(c.baseURL) + " " + c.model);
    HTTPRequest request = AnthropicClient(c.baseURL, c.model, kKey).messagesRequest("s", "p");
    json body = json::parse(request.body);
    EXPECT_EQ(body.contains("output_config"), c.effort);
    EXPECT_EQ(body.contains("fallbacks"), c.fallback);
    if (c.fallback) {
      EXPECT_EQ(body["fallbacks"], "default");
      EXPECT_EQ(request.headers.back(), (std::pair<std::string, std::string>{"anthropic-beta",
                                                                             "server-side-fallback-2026-07-01"}));
    } else {
      EXPECT_EQ(request.header("anthropic-beta"), "");
    }
  }
  EXPECT_FALSE(AnthropicClient("not a url", "claude-opus-5", kKey).isFirstParty());
  EXPECT_FALSE(AnthropicClient("https://api.anthropic.com.example.org", "claude-opus-5", kKey).isFirstParty());
}

TEST(AnthropicClient, ErrorAndRefusalEvents) {
  struct Case {
    json event;
    std::string message;
    bool recoverable;
  };
  for (const Case& c : std::vector<Case>{
           {{{"type", "error"}, {"error", {{"type", "overloaded_error"}, {"message", "Overloaded"}}}},
            "HTTP 529: Overloaded", true},
           {{{"type", "error"}}, "HTTP 529: erro", true},
           {{{"type", "error"}, {"error", "flat"}}, "HTTP 529: erro", true},
           {{{"type", "message_delta"}, {"delta", {{"stop_reason", "refusal"}}}},
            "O modelo se recusou a responder.", false},
       }) {
    json before = {{"type", "content_block_delta"}, {"delta", {{"type", "text_delta"}, {"text", "kept"}}}};
    json after = {{"type", "content_block_delta"}, {"delta", {{"type", "text_delta"}, {"text", "never"}}}};
    FakeAnthropic server(eventStream({before, c.event, after}));
    StreamOutcome outcome = drain(AnthropicClient(server.url(), "m", kKey).stream("s", "p"));
    EXPECT_EQ(outcome.pieces, std::vector<std::string>{"kept"});
    ASSERT_TRUE(outcome.error);
    EXPECT_EQ(outcome.error->what(), c.message);
    EXPECT_EQ(outcome.error->isRecoverableLocally(), c.recoverable);
  }
}

TEST(AnthropicClient, ListsOnePageOfModels) {
  FakeAnthropic server("");
  EXPECT_EQ(AnthropicClient(server.url(), "m", kKey).models(),
            (std::vector<std::string>{"claude-haiku-5", "claude-sonnet-5-5"}));
  ASSERT_EQ(server.requests().size(), 1u);
  EXPECT_EQ(server.requests()[0].target, "/v1/models?limit=100");
  EXPECT_EQ(server.requests()[0].header("x-api-key"), kKey);
}

TEST(AnthropicClient, MissingKeyAndBadAddressFailBeforeAnyRequest) {
  FakeAnthropic server(kReply);
  AnthropicClient keyless(server.url(), "m", "");
  StreamOutcome outcome = drain(keyless.stream("s", "p"));
  ASSERT_TRUE(outcome.error);
  EXPECT_STREQ(outcome.error->what(), "Falta a chave de API de Anthropic. Coloque em Ajustes › IA.");
  EXPECT_THROW(keyless.models(), LLMError);
  EXPECT_TRUE(server.requests().empty());

  AnthropicClient misplaced(" api.anthropic.com ", "m", kKey);
  outcome = drain(misplaced.stream("s", "p"));
  ASSERT_TRUE(outcome.error);
  EXPECT_STREQ(outcome.error->what(), "Endereço inválido:  api.anthropic.com ");
  EXPECT_FALSE(outcome.error->isRecoverableLocally());
  try {
    misplaced.models();
    FAIL();
  } catch (const LLMError& error) {
    EXPECT_EQ(error.kind(), LLMError::Kind::badURL);
  }
}

TEST(AnthropicClient, TheKeyAppearsInNoErrorText) {
  FakeAnthropic server(kReply);
  // The fake answers 401 on any other path, echoing the key it was sent.
  AnthropicClient client(server.url() + "/elsewhere", "m", kKey);
  StreamOutcome outcome = drain(client.stream("s", "p"));
  ASSERT_TRUE(outcome.error);
  EXPECT_EQ(outcome.error->status(), 401);
  EXPECT_EQ(std::string(outcome.error->what()).find(kKey), std::string::npos) << outcome.error->what();
  EXPECT_NE(std::string(outcome.error->what()).find("invalid x-api-key"), std::string::npos);

  // A key that would break the request's header block is never sent.
  outcome = drain(AnthropicClient(server.url(), "m", std::string(kKey) + "\r\nX-Injected: 1").stream("s", "p"));
  ASSERT_TRUE(outcome.error);
  EXPECT_EQ(outcome.error->kind(), LLMError::Kind::unavailable);
  EXPECT_EQ(std::string(outcome.error->what()).find(kKey), std::string::npos);
  EXPECT_EQ(server.requests().size(), 1u);
}
