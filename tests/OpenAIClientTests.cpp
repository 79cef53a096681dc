#include <gtest/gtest.h>

#include "ClientTestSupport.hpp"
#include "LoopbackServer.hpp"
#include "QuilletKit/OpenAIClient.hpp"

using namespace quillet;
using namespace quillet::test;
using nlohmann::json;

namespace {

// Speaks chat completions under "/v1": a streamed reply (the body given) to
// POST /v1/chat/completions and the model list to GET /v1/models.
class FakeChatCompletions {
 public:
  explicit FakeChatCompletions(std::string reply)
      : server_([reply = std::move(reply)](Connection& c) {
          const ReceivedRequest& r = c.request();
          if (r.method == "POST" && r.target == "/v1/chat/completions") {
            c.sendHead(200);
            c.sendChunk(reply);
            c.endChunks();
          } else if (r.method == "GET" && r.target == "/v1/models") {
            c.respond(200, R"({"object":"list","data":[{"id":"llama3.2"},{"id":"gemma3"},{"object":"model"}]})");
          } else {
            c.respond(404, R"({"error":{"message":"not found"}})");
          }
        }) {}

  std::string baseURL() const { return server_.url() + "/v1"; }
  std::vector<ReceivedRequest> requests() const { return server_.requests(); }

 private:
  LoopbackServer server_;
};

json chunk(json delta, json finishReason = nullptr) {
  return {{"id", "c1"}, {"object", "chat.completion.chunk"},
          {"choices", {{{"index", 0}, {"delta", std::move(delta)}, {"finish_reason", std::move(finishReason)}}}}};
}

const std::string kReply = eventStream(
    {
        chunk({{"role", "assistant"}}),
        chunk({{"content", nullptr}}),
        chunk({{"content", "Bom "}}),
        json::object(),
        {{"choices", json::array()}},
        {{"choices", {{{"delta", {{"content", "dia"}}}}, {{"delta", {{"content", " ignored"}}}}}}},
        {{"error", "a string is no error object"}, {"choices", {{{"delta", {{"content", "!"}}}}}}},
        chunk(json::object(), "stop"),
        {{"choices", json::array()}, {"usage", {{"total_tokens", 9}}}},
    },
    /*done=*/true);

}  // namespace

TEST(OpenAIClient, StreamsTheReplyOfTheExactRequest) {
  FakeChatCompletions server(kReply);
  OpenAIClient client("Groq", server.baseURL(), "llama-3.3-70b-versatile", "gsk-key", true);
  EXPECT_EQ(client.label(), "Groq · llama-3.3-70b-versatile");

  StreamOutcome outcome = drain(client.stream("System.", "Prompt \"quoted\"\n"));
  EXPECT_FALSE(outcome.error);
  EXPECT_EQ(outcome.pieces, (std::vector<std::string>{"Bom ", "dia", "!"}));

  ASSERT_EQ(server.requests().size(), 1u);
  ReceivedRequest sent = server.requests().at(0);
  EXPECT_EQ(sent.header("Authorization"), "Bearer gsk-key");
  EXPECT_EQ(sent.header("Content-Type"), "application/json");
  EXPECT_EQ(sent.header("X-Title"), "Quillet");
  EXPECT_EQ(json::parse(sent.body), (json{{"model", "llama-3.3-70b-versatile"},
                                          {"stream", true},
                                          {"messages",
                                           {{{"role", "system"}, {"content", "System."}},
                                            {{"role", "user"}, {"content", "Prompt \"quoted\"\n"}}}}}));
}

TEST(OpenAIClient, KeysAreSentOnlyWhenPresentAndRequiredOnlyWhenAsked) {
  FakeChatCompletions server(kReply);
  // A local server without a key: no "Authorization" header at all.
  EXPECT_EQ(OpenAIClient("Ollama (local)", server.baseURL(), "", "", false).complete("s", "p"), "Bom dia!");
  // A key given to a provider that needs none is still sent.
  OpenAIClient("LM Studio (local)", server.baseURL(), "m", "local-key", false).complete("s", "p");
  auto sent = server.requests();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_FALSE(sent[0].hasHeader("Authorization"));
  EXPECT_EQ(json::parse(sent[0].body)["model"], "");
  EXPECT_EQ(sent[1].header("Authorization"), "Bearer local-key");

  OpenAIClient groq("Groq", server.baseURL(), "m", "", true);
  StreamOutcome outcome = drain(groq.stream("s", "p"));
  ASSERT_TRUE(outcome.error);
  EXPECT_STREQ(outcome.error->what(), "Falta a chave de API de Groq. Coloque em Ajustes › IA.");
  try {
    groq.models();
    FAIL();
  } catch (const LLMError& error) {
    EXPECT_EQ(error.kind(), LLMError::Kind::missingKey);
  }
  EXPECT_EQ(server.requests().size(), 2u);
}

TEST(OpenAIClient, ErrorChunksAndTheContentFilter) {
  struct Case {
    json event;
    std::string message;
    bool recoverable;
  };
  for (const Case& c : std::vector<Case>{
           {{{"error", {{"message", "upstream failed"}, {"code", 502}}}}, "HTTP 500: upstream failed", true},
           {{{"error", {{"code", 502}}}}, "HTTP 500: erro", true},
           {chunk({{"content", "hidden"}}, "content_filter"), "O modelo se recusou a responder.", false},
       }) {
    FakeChatCompletions server(eventStream({chunk({{"content", "kept"}}), c.event, chunk({{"content", "never"}})}));
    StreamOutcome outcome = drain(OpenAIClient("X", server.baseURL(), "m", "k", true).stream("s", "p"));
    EXPECT_EQ(outcome.pieces, std::vector<std::string>{"kept"});
    ASSERT_TRUE(outcome.error);
    EXPECT_EQ(outcome.error->what(), c.message);
    EXPECT_EQ(outcome.error->isRecoverableLocally(), c.recoverable);
  }
}

TEST(OpenAIClient, ListsModelsAndReportsTransportFailures) {
  FakeChatCompletions server("");
  OpenAIClient ollama("Ollama (local)", server.baseURL() + "/", "llama3.2", "", false);
  EXPECT_EQ(ollama.models(), (std::vector<std::string>{"gemma3", "llama3.2"}));
  EXPECT_EQ(server.requests().at(0).method, "GET");
  EXPECT_EQ(server.requests().at(0).target, "/v1/models");

  OpenAIClient stopped("Ollama (local)", "http://127.0.0.1:" + std::to_string(closedPort()) + "/v1", "m", "", false);
  StreamOutcome outcome = drain(stopped.stream("s", "p"));
  ASSERT_TRUE(outcome.error);
  EXPECT_EQ(outcome.error->kind(), LLMError::Kind::unavailable);
  EXPECT_TRUE(outcome.error->isRecoverableLocally());
  EXPECT_THROW(stopped.models(), LLMError);

  // The catalog's placeholder for a custom endpoint fails in transport, not as an address.
  outcome = drain(OpenAIClient("Outro", "https://", "m", "k", true).stream("s", "p"));
  ASSERT_TRUE(outcome.error);
  EXPECT_EQ(outcome.error->kind(), LLMError::Kind::unavailable);
  outcome = drain(OpenAIClient("Outro", "localhost/v1", "m", "k", true).stream("s", "p"));
  ASSERT_TRUE(outcome.error);
  EXPECT_EQ(outcome.error->kind(), LLMError::Kind::badURL);
}
