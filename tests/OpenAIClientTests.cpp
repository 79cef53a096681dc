#include <gtest/gtest.h>

#include "ClientTestSupport.hpp"
#include "QuilletKit/OpenAIClient.hpp"

using namespace quillet;
using namespace quillet::test;
using nlohmann::json;

namespace {

json chunk(json delta, json finishReason = nullptr) {
  return {{"id", "c1"}, {"choices", {{{"index", 0}, {"delta", std::move(delta)}, {"finish_reason", finishReason}}}}};
}

}  // namespace

// The model list, and a local server without a key, are checked where the tool runs against one.
TEST(OpenAIClient, StreamsTheTextOfTheExactRequest) {
  LoopbackServer server = answering(200, eventStream({
      chunk({{"role", "assistant"}}), chunk({{"content", "Bom "}}), json::object(), {{"choices", json::array()}},
      {{"choices", json::array({"not an object"})}}, {{"choices", {{{"finish_reason", "stop"}}}}},
      {{"choices", {{{"delta", {{"content", "dia"}}}}, {{"delta", {{"content", " ignored"}}}}}}},
      {{"error", "a string is no error object"}, {"choices", {{{"delta", {{"content", "!"}}}}}}},
  }, /*done=*/true));
  OpenAIClient client("Groq", server.url() + "/v1/", "llama-3.3-70b-versatile", "gsk-key", true);
  EXPECT_EQ(summary(client.stream("System.", "P")), "Bom |dia|!");
  const ReceivedRequest sent = server.requests().at(0);
  EXPECT_EQ(sent.target + " " + sent.header("Authorization") + " " + sent.header("X-Title"),
            "/v1/chat/completions Bearer gsk-key Quillet");
  json body = json::parse(sent.body);
  EXPECT_EQ(body["model"].get<std::string>() + " " + body["stream"].dump(), "llama-3.3-70b-versatile true");
  EXPECT_EQ(body["messages"], json::parse(R"([{"role":"system","content":"System."},{"role":"user","content":"P"}])"));
}

// Text before the end is delivered; a missing key never reaches the server, nor the model list.
TEST(OpenAIClient, ErrorChunksTheContentFilterAndMissingKeysEndTheStream) {
  for (const auto& [event, key, told] : std::vector<std::tuple<json, std::string, std::string>>{
           {{{"error", {{"message", "upstream failed"}, {"code", 502}}}}, "k", "kept ! HTTP 500: upstream failed"},
           {chunk({{"content", "hidden"}}, "content_filter"), "k", "kept ! O modelo se recusou a responder."},
           {{}, "", " ! Falta a chave de API de X. Coloque em Ajustes › IA."},
       }) {
    std::vector<json> events = {chunk({{"content", "kept"}}), event, chunk({{"content", "never"}})};
    LoopbackServer server = answering(200, eventStream(events, /*done=*/true));
    OpenAIClient client("X", server.url() + "/v1", "m", key, true);
    EXPECT_EQ(summary(client.stream("s", "p")), told);
    if (event.is_null()) {
      EXPECT_EQ(" ! " + failure([&] { client.models(); }), told);
    }
    EXPECT_EQ(server.requests().empty(), event.is_null());
  }
}
