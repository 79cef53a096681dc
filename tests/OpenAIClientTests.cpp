#include <gtest/gtest.h>

#include "ClientTestSupport.hpp"
#include "QuilletKit/OpenAIClient.hpp"

using namespace quillet;
using namespace quillet::test;
using nlohmann::json;

namespace {

// Speaks chat completions under "/v1": `events` streamed to POST
// /v1/chat/completions and the model list to GET /v1/models.
LoopbackServer fakeChatCompletions(const std::vector<json>& events = {}) {
  return LoopbackServer([reply = eventStream(events, /*done=*/true)](Connection& c) {
    const ReceivedRequest& r = c.request();
    if (r.method == "POST" && r.target == "/v1/chat/completions") {
      c.sendHead(200);
      c.sendChunk(reply);
      c.endChunks();
    } else if (r.method == "GET" && r.target == "/v1/models") {
      c.respond(200, R"({"object":"list","data":[{"id":"llama3.2"},{"id":"gemma3"},{"object":"model"}]})");
    } else {
      c.respond(404, errorBody("not found"));
    }
  });
}

json chunk(json delta, json finishReason = nullptr) {
  return {{"id", "c1"}, {"choices", {{{"index", 0}, {"delta", std::move(delta)}, {"finish_reason", finishReason}}}}};
}

const std::vector<json> kReply = {
    chunk({{"role", "assistant"}}), chunk({{"content", nullptr}}), chunk({{"content", "Bom "}}), json::object(),
    {{"choices", json::array()}}, {{"choices", json::array({"not an object"})}},
    {{"choices", {{{"delta", {{"content", "dia"}}}}, {{"delta", {{"content", " ignored"}}}}}}},
    {{"error", "a string is no error object"}, {"choices", {{{"delta", {{"content", "!"}}}}}}},
    chunk(json::object(), "stop"), {{"choices", json::array()}, {"usage", {{"total_tokens", 9}}}},
};

std::string baseURL(const LoopbackServer& server) { return server.url() + "/v1"; }

}  // namespace

TEST(OpenAIClient, StreamsTheTextOfTheExactRequest) {
  LoopbackServer server = fakeChatCompletions(kReply);
  OpenAIClient client("Groq", baseURL(server), "llama-3.3-70b-versatile", "gsk-key", true);
  EXPECT_EQ(client.label(), "Groq · llama-3.3-70b-versatile");
  EXPECT_EQ(summary(client.stream("System.", "Prompt \"quoted\"\n")), "Bom |dia|!");

  ReceivedRequest sent = server.requests().at(0);
  EXPECT_EQ(sent.header("Authorization"), "Bearer gsk-key");
  EXPECT_EQ(sent.header("Content-Type"), "application/json");
  EXPECT_EQ(sent.header("X-Title"), "Quillet");
  EXPECT_EQ(json::parse(sent.body), (json{{"model", "llama-3.3-70b-versatile"}, {"stream", true},
                                          {"messages",
                                           {{{"role", "system"}, {"content", "System."}},
                                            {{"role", "user"}, {"content", "Prompt \"quoted\"\n"}}}}}));
}

// A key is sent whenever there is one, and missed only where it is required.
TEST(OpenAIClient, KeysAreSentWhenPresentAndRequiredOnlyWhenAsked) {
  LoopbackServer server = fakeChatCompletions(kReply);
  struct Case {
    std::string key;
    bool requiresKey;
    std::string authorization;  // "-": nothing reaches the server
  };
  for (const Case& c : std::vector<Case>{{"", false, ""}, {"local-key", false, "Bearer local-key"}, {"", true, "-"}}) {
    SCOPED_TRACE(c.authorization);
    size_t before = server.requests().size();
    OpenAIClient client("Groq", baseURL(server), "m", c.key, c.requiresKey);
    if (c.authorization == "-") {
      EXPECT_EQ(summary(client.stream("s", "p")), " ! Falta a chave de API de Groq. Coloque em Ajustes › IA.");
      EXPECT_THROW(client.models(), LLMError);
      EXPECT_EQ(server.requests().size(), before);
    } else {
      EXPECT_EQ(client.complete("s", "p"), "Bom dia!");
      EXPECT_EQ(server.requests().back().hasHeader("Authorization"), !c.authorization.empty());
      EXPECT_EQ(server.requests().back().header("Authorization"), c.authorization);
    }
  }
}

TEST(OpenAIClient, ErrorChunksAndTheContentFilterEndTheStream) {
  for (const auto& [event, told] : std::vector<std::pair<json, std::string>>{
           {{{"error", {{"message", "upstream failed"}, {"code", 502}}}}, "kept ! HTTP 500: upstream failed"},
           {{{"error", {{"code", 502}}}}, "kept ! HTTP 500: erro"},
           {chunk({{"content", "hidden"}}, "content_filter"), "kept ! O modelo se recusou a responder."},
       }) {
    LoopbackServer server = fakeChatCompletions({chunk({{"content", "kept"}}), event, chunk({{"content", "never"}})});
    EXPECT_EQ(summary(OpenAIClient("X", baseURL(server), "m", "k", true).stream("s", "p")), told);
  }
}

TEST(OpenAIClient, ListsModelsAndReportsTransportFailures) {
  LoopbackServer server = fakeChatCompletions();
  EXPECT_EQ(OpenAIClient("Ollama", baseURL(server) + "/", "m", "", false).models(),
            (std::vector<std::string>{"gemma3", "llama3.2"}));
  EXPECT_EQ(server.requests().at(0).target, "/v1/models");
  for (const auto& [url, kind] : std::vector<std::pair<std::string, LLMError::Kind>>{
           {"http://127.0.0.1:" + std::to_string(closedPort()) + "/v1", LLMError::Kind::unavailable},
           // The catalog's placeholder for a custom endpoint fails in transport, not as an address.
           {"https://", LLMError::Kind::unavailable},
           {"localhost/v1", LLMError::Kind::badURL},
       }) {
    OpenAIClient client("Outro", url, "m", "k", true);
    StreamOutcome outcome = drain(client.stream("s", "p"));
    ASSERT_TRUE(outcome.error) << url;
    EXPECT_EQ(outcome.error->kind(), kind) << url;
    EXPECT_THROW(client.models(), LLMError);
  }
}
