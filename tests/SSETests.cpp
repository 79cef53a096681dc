#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "ClientTestSupport.hpp"
#include "QuilletKit/SSE.hpp"
#include "TestSupport.hpp"
#include "fuzz/FuzzSupport.hpp"

using namespace quillet;
using namespace quillet::test;
using namespace std::chrono_literals;

namespace {

// Events of these tests carry their piece in "t"; {"fail":1} ends the stream.
std::optional<std::string> tPiece(const nlohmann::json& event) {
  if (event.contains("fail")) throw LLMError::refused();
  return event.value("t", std::string());
}

// After the chunks: end the body, repeat the last chunk until the client hangs up, fall silent, or send no head.
enum class Tail { end, repeat, stall, raw };
struct Reply {
  std::string told = {};
  int status = 200;
  std::string contentType = "text/event-stream";
  std::vector<std::string> chunks = {};
  Tail tail = Tail::end;
  std::chrono::microseconds pause = 0us;  // before each chunk
  TransferLimits limits = {};
};

LoopbackServer serving(Reply r) {
  return LoopbackServer([r](Connection& c) {
    if (r.tail != Tail::raw) c.sendHead(r.status, r.contentType);
    for (const auto& chunk : r.chunks) {
      std::this_thread::sleep_for(r.pause);
      if (!(r.tail == Tail::raw ? c.send(chunk) : c.sendChunk(chunk))) return;
    }
    if (r.tail == Tail::end) c.endChunks();
    while (r.tail == Tail::repeat && !c.serverStopping() && c.sendChunk(r.chunks.back()))
      std::this_thread::sleep_for(2ms);
    while (r.tail == Tail::stall && !c.serverStopping() && !c.waitForClose(20ms)) {
    }
  });
}

// Every cut of this body matters: CR LF pairs, lone CR and LF, "data:" with and without its space, 2–4 byte UTF-8.
const std::string kMixedBody =
    ": comment\r\nevent: delta\r\n"
    "data: {\"t\":\"é\"}\r\n\r\n"
    "data:{\"t\":\"😀\"}\r"
    "data: \t{\"t\":\"a\"} \n"
    "id: 7\n"
    "data: not json\n"
    "data: [1,2]\n"
    "data: {\"t\":\"€\"}\r\n"
    "data:  [DONE]  \r\n"
    "data: {\"t\":\"after\"}\n";
const std::vector<std::string> kMixedPayloads = {"{\"t\":\"é\"}", "{\"t\":\"😀\"}", "{\"t\":\"a\"}", "not json",
                                                 "[1,2]",         "{\"t\":\"€\"}",  "[DONE]"};

}  // namespace

TEST(SSE, JoinsBaseAndPath) {
  EXPECT_EQ(SSE::url(" https://api.example.com/v1/ ", "/models"), "https://api.example.com/v1/models");
  // The placeholder of a custom provider: a URL without a host, which fails in transport.
  EXPECT_EQ(SSE::url("https://", "/chat/completions"), "https:/chat/completions");
  for (std::string bad : {"  api.example.com/v1 ", "", "/v1", "https://bad host/v1", "1http://x"})
    EXPECT_EQ(failure([&] { SSE::url(bad, "/models"); }), "Endereço inválido: " + bad);
}

// The key is masked before the body is cut, so no cut can show most of it.
TEST(SSE, ErrorMessagesAndModelIDs) {
  const std::string key = "sk-live-0123456789abcdefghij", pad(390, 'a');
  for (const auto& [body, message] : std::vector<std::pair<std::string, std::string>>{
           // A character cut at byte 400 becomes one replacement character.
           {std::string(399, 'a') + "é and more", std::string(399, 'a') + "\uFFFD"},
           {pad + key + " end", pad + "••• "},
           {errorBody("bad key " + key + " ends " + key.substr(0, 9)), "bad key ••• ends •••"},
       })
    EXPECT_EQ(SSE::errorMessage(body, key), message) << body.substr(0, 60);
  // Values too short to be secrets (a local server's "ollama") are left alone.
  EXPECT_EQ(SSE::errorMessage("token abcdefg refused", "abcdefg"), "token abcdefg refused");
  EXPECT_EQ(SSE::errorMessage("token abcdefgh refused abcdefgh", "abcdefgh"), "token ••• refused •••");

  for (const char* text : {"{}", R"({"data":{"id":"a"}})", R"({"data":[{"name":"x"},{"id":3},"s"]})"})
    EXPECT_TRUE(SSE::modelIDs(nlohmann::json::parse(text)).empty()) << text;
}

TEST(SSELineReader, SameDataLinesWhereverTheBodyIsCut) {
  auto payloads = [](std::vector<std::string_view> reads) { return eventPayloads(reads, 1 << 20); };
  const std::string_view body = kMixedBody;
  EXPECT_EQ(payloads({body}), kMixedPayloads);
  for (size_t i = 0; i <= body.size(); ++i)
    for (size_t j = i; j <= body.size(); j += 3)
      ASSERT_EQ(payloads({body.substr(0, i), body.substr(i, j - i), body.substr(j)}), kMixedPayloads) << i << " " << j;
  // The last line counts without a line end; a CR LF split across stretches is one line end.
  EXPECT_EQ(payloads({"data: 1\r", "\ndata: 2\r", "\r", "\ndata: 3"}), (std::vector<std::string>{"1", "2", "3"}));
  EXPECT_EQ(payloads({"DATA: 1\n", " data: 2\n", "dat", "a:3"}), (std::vector<std::string>{"3"}));
}

TEST(SSELineReader, KeepsOnlyTheLineBeingReadAndSkipsOverlongLines) {
  SSE::LineReader reader(1 << 20);
  std::vector<std::string> payloads;
  auto collect = [&](std::string_view p) {
    payloads.emplace_back(p);
    return true;
  };
  const std::string block(64 << 10, 'x');
  // A line that never ends is not kept once known to be no data line, nor past the limit.
  for (auto [start, most] : {std::pair{"event: ", size_t{1024}}, {"data: ", size_t{2} << 20}}) {
    reader.feed(start, collect);
    for (int i = 0; i < 256; ++i) ASSERT_TRUE(reader.feed(block, collect));
    EXPECT_LE(reader.bufferedBytes(), most);
    reader.feed("\n", collect);
  }
  reader.feed("data: ok\n", collect);
  EXPECT_EQ(payloads, (std::vector<std::string>{"ok"}));
}

// Whatever the server does, the stream gives its pieces, then at most one error.
TEST(SSEEvents, WhatEachReplyGives) {
  std::string deep, sized;
  for (int i = 0; i < 100'000; ++i) deep += "{\"a\":";
  deep += "1" + std::string(100'000, '}');
  for (int i = 0; i < 10; ++i) sized += "data: {\"t\":\"" + std::string(3, 'a' + i) + "\"}\n";
  for (const Reply& r : std::vector<Reply>{
           // Cut inside a character and inside a CR LF pair.
           {.told = "é|😀|a|€", .chunks = {kMixedBody.substr(0, 38), kMixedBody.substr(38, 4), kMixedBody.substr(42)},
            .pause = 20ms},
           {" ! HTTP 503: " + std::string(400, 'z'), 503, "", {std::string(4096, 'z')}, Tail::repeat},
           {.told = "a ! A solicitação expirou.", .chunks = {"data: {\"t\":\"a\"}\n"}, .tail = Tail::stall,
            .limits = {.idle = 300ms}},
           {.told = " ! A solicitação expirou.", .chunks = {": ping\n"}, .tail = Tail::repeat,
            .limits = {.whole = 400ms}},
           {.told = " ! A resposta do servidor não foi entendida: não é HTTP.", .chunks = {"SSH-2.0-OpenSSH_9.2\r\n"},
            .tail = Tail::raw},
           {.told = "ok",
            .chunks = {"data: " + std::string(50 << 20, 'x') + "\n",
                       "data: " + std::string(100'000, '[') + std::string(100'000, ']') + "\n", "data: " + deep + "\n",
                       "data: " + std::string(100'000, '[') + "\n", "data: {\"t\":\"\xff\xfe\"}\n",
                       "data: {\"t\":\"\xc3\"}\n", ": \xff\xff\n", "data: {\"t\":\"ok\"}\n"}},
           {.told = "aaa|bbb|ccc ! A resposta do modelo passou do tamanho máximo e foi interrompida.",
            .chunks = {sized}, .limits = {.maxReplyBytes = 10}},
           {.told = "a ! O modelo se recusou a responder.",
            .chunks = {"data: {\"t\":\"\"}\ndata: {\"t\":\"a\"}\ndata: {\"fail\":1}\ndata: {\"t\":\"b\"}\n"}},
           // A proxy's login page or a body without events must not pass for an empty reply.
           {" ! O servidor deu uma resposta inválida.", 200, "application/json", {"data: [1]\n"}},
           {"", 200, "Text/Event-Stream; charset=utf-8", {": ping\n"}},
           {"a", 200, "application/json", {"data: {\"t\":\"a\"}\n"}},
       }) {
    LoopbackServer server = serving(r);
    EXPECT_EQ(summary(SSE::events(post(server.url(), r.limits), tPiece)), r.told) << r.contentType << " " << r.status;
  }
}

// OpenSSL's test server with a certificate of its own making, which our clients never trust.
TEST(SSEEvents, ASelfSignedCertificateIsNotTrusted) {
  TempDir dir;
  const std::string pem = (dir.path() / "cert.pem").string(), key = (dir.path() / "key.pem").string();
  ASSERT_EQ(run("/usr/bin/openssl", {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
                                     "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1", "-keyout", key,
                                     "-out", pem}, {}).status, 0);
  const std::string address = "127.0.0.1:" + std::to_string(closedPort()), url = "https://" + address;
  Running server(
      spawnChild("/usr/bin/openssl", {"s_server", "-accept", address, "-cert", pem, "-key", key, "-www"}, {}));
  ASSERT_TRUE(server.waitForOutput("ACCEPT", 10s)) << server.seen.err;
  EXPECT_EQ(summary(SSE::events(post(url), tPiece)),
            " ! Ocorreu um erro de SSL e não é possível estabelecer uma conexão segura com o servidor.");
  server.signal(SIGTERM);
  server.end();
}

TEST(SSEEvents, ConcurrentStreamsShareTheSession) {
  std::string body, expected;
  for (int i = 0; i < 300; ++i) body += "data: {\"t\":\"" + std::to_string(i) + ",\"}\n";
  for (int i = 0; i < 300; ++i) expected += std::to_string(i) + ",";
  LoopbackServer server = serving({.chunks = {body.substr(0, 1000), body.substr(1000)}, .pause = 1ms});
  std::vector<std::thread> consumers;
  std::vector<std::string> texts(6);
  for (size_t i = 0; i < texts.size(); ++i)
    consumers.emplace_back([&, i] {
      for (int round = 0; round < 3; ++round) texts[i] = summary(SSE::events(post(server.url()), tPiece));
      std::erase(texts[i], '|');
    });
  for (auto& consumer : consumers) consumer.join();
  for (const auto& text : texts) EXPECT_EQ(text, expected);
}

// "[DONE]" and dropping the stream both hang up on a server that keeps sending.
TEST(SSEEvents, DoneOrDroppingClosesTheConnection) {
  for (bool drop : {false, true}) {
    std::promise<bool> closed;
    LoopbackServer server([&](Connection& c) {
      c.sendHead(200);
      c.sendChunk(drop ? "data: {\"t\":\"a\"}\n\n" : "data: {\"t\":\"a\"}\n\ndata:  [DONE] \n\n");
      for (int i = 0; i < 500 && !c.serverStopping() && c.sendChunk(":\n\n"); ++i) std::this_thread::sleep_for(2ms);
      closed.set_value(c.waitForClose(3s));
    });
    {
      TextStream stream = SSE::events(post(server.url()), tPiece);
      EXPECT_EQ(stream.next(), "a");
      if (!drop) {
        EXPECT_EQ(stream.next(), std::nullopt);
      }
    }
    EXPECT_TRUE(closed.get_future().get()) << drop;
  }
}

// Refused on the first stretch that nests too deep, without waiting for the rest.
TEST(SSEJson, RefusesDeepTextAtOnce) {
  std::promise<bool> hungUp;
  LoopbackServer server([&](Connection& c) {
    c.sendHead(200, "application/json");
    c.sendChunk(std::string(64 << 10, '['));
    hungUp.set_value(c.waitForClose(10s));
  });
  EXPECT_EQ(failure([&] { SSE::json(post(server.url())); }),
            "Não foi possível ler os dados porque eles não estão no formato correto.");
  EXPECT_TRUE(hungUp.get_future().get());
}
