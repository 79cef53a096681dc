#include <gtest/gtest.h>

#include "ClientTestSupport.hpp"
#include "QuilletKit/OpenAIClient.hpp"

using namespace quillet;
using namespace quillet::test;
using nlohmann::json;

namespace {

// `events` to POST /v1/chat/completions and the model list to GET /v1/models.
LoopbackServer fakeChatCompletions(const std::vector<json>& events = {}) {
  return LoopbackServer([reply = eventStream(events, /*done=*/true)](Connection& c) {
    if (c.request().target == "/v1/chat/completions") {
      c.sendHead(200);
      c.sendChunk(reply);
      c.endChunks();
    } else {
      c.respond(200, R"({"object":"list","data":[{"id":"llama3.2"},{"id":"gemma3"},{"object":"model"}]})");
    }
  });
}

json chunk(json delta, json finishReason = nullptr) {
  return {{"id", "c1"}, {"choices", {{{"index", 0}, {"delta", std::move(delta)}, {"finish_reason", finishReason}}}}};
}

}  // namespace

TEST(OpenAIClient, StreamsTheTextOfTheExactRequest) {
  LoopbackServer server = fakeChatCompletions({
      chunk({{"role", "assistant"}}), chunk({{"content", "Bom "}}), json::object(), {{"choices", json::array()}},
      {{"choices", json::array({"not an object"})}}, {{"choices", {{{"finish_reason", "stop"}}}}},
      {{"choices", {{{"delta", {{"content", "dia"}}}}, {{"delta", {{"content", " ignored"}}}}}}},
      {{"error", "a string is no error object"}, {"choices", {{{"delta", {{"content", "!"}}}}}}},
  });
  OpenAIClient client("Groq", server.url() + "/v1/", "llama-3.3-70b-versatile", "gsk-key", true);
  EXPECT_EQ(summary(client.stream("System.", "Prompt \"quoted\"\n")), "Bom |dia|!");
  EXPECT_EQ(client.models(), (std::vector<std::string>{"gemma3", "llama3.2"}));

  auto sent = server.requests();
  EXPECT_EQ(sent.at(1).method + " " + sent.at(1).target, "GET /v1/models");
  EXPECT_EQ(sent[0].header("Authorization") + " " + sent[0].header("X-Title"), "Bearer gsk-key Quillet");
  EXPECT_EQ(sent[0].header("Content-Type"), "application/json");
  EXPECT_EQ(json::parse(sent[0].body), (json{{"model", "llama-3.3-70b-versatile"}, {"stream", true},
                                             {"messages",
                                              {{{"role", "system"}, {"content", "System."}},
                                               {{"role", "user"}, {"content", "Prompt \"quoted\"\n"}}}}}));
  // A key is sent whenever there is one, and missed only where it is required.
  EXPECT_EQ(OpenAIClient("Ollama", server.url() + "/v1", "m", "", false).complete("s", "p"), "Bom dia!");
  EXPECT_EQ(server.requests().back().header("Authorization"), "");
}

// Text before the end is delivered; a missing key or bad address never reaches the server, nor the model list.
TEST(OpenAIClient, ErrorChunksTheContentFilterMissingKeysAndBadAddressesEndTheStream) {
  for (const auto& [event, url, key, told] : std::vector<std::tuple<json, std::string, std::string, std::string>>{
           {{{"error", {{"message", "upstream failed"}, {"code", 502}}}}, "", "k", "kept ! HTTP 500: upstream failed"},
           {{{"error", {{"code", 502}}}}, "", "k", "kept ! HTTP 500: erro"},
           {chunk({{"content", "hidden"}}, "content_filter"), "", "k", "kept ! O modelo se recusou a responder."},
           {{}, "", "", " ! Falta a chave de API de X. Coloque em Ajustes › IA."},
           {{}, "localhost/v1", "k", " ! Endereço inválido: localhost/v1"},
       }) {
    LoopbackServer server = fakeChatCompletions({chunk({{"content", "kept"}}), event, chunk({{"content", "never"}})});
    OpenAIClient client("X", url.empty() ? server.url() + "/v1" : url, "m", key, true);
    EXPECT_EQ(summary(client.stream("s", "p")), told);
    if (event.is_null()) {
      EXPECT_EQ(" ! " + failure([&] { client.models(); }), told);
    }
    EXPECT_EQ(server.requests().empty(), event.is_null());
  }
}
