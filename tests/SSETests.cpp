#include <curl/curl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "ClientTestSupport.hpp"
#include "LoopbackServer.hpp"
#include "QuilletKit/LLMClient.hpp"
#include "QuilletKit/SSE.hpp"

using namespace quillet;
using namespace quillet::test;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// Events of these tests carry their piece in "t".
std::optional<std::string> tPiece(const nlohmann::json& event) {
  auto t = event.find("t");
  if (t == event.end() || !t->is_string()) return std::nullopt;
  return t->get<std::string>();
}

std::vector<std::string> payloadsOf(const std::vector<std::string>& parts, size_t maxLine = 1 << 20) {
  SSE::LineReader reader(maxLine);
  std::vector<std::string> payloads;
  auto collect = [&](std::string_view payload) {
    payloads.emplace_back(payload);
    return payload != "[DONE]";
  };
  for (const auto& part : parts)
    if (!reader.feed(part, collect)) return payloads;
  reader.finish(collect);
  return payloads;
}

HTTPRequest post(const std::string& url) {
  HTTPRequest request;
  request.url = url;
  request.method = "POST";
  request.body = "{}";
  return request;
}

// A server whose every reply is `status` with `body` in the given pieces,
// chunked, each piece sent on its own after `pause`.
LoopbackServer replying(int status, std::vector<std::string> pieces, std::chrono::microseconds pause = 0us) {
  return LoopbackServer([=](Connection& c) {
    c.sendHead(status);
    for (const auto& piece : pieces) {
      if (pause.count()) std::this_thread::sleep_for(pause);
      if (!c.sendChunk(piece)) return;
    }
    c.endChunks();
  });
}

std::vector<std::string> bytesOf(std::string_view body) {
  std::vector<std::string> bytes;
  for (char c : body) bytes.emplace_back(1, c);
  return bytes;
}

// Every way this body is cut matters: CR LF pairs, a lone CR, a lone LF,
// "data:" with and without its space, and characters of two to four bytes.
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
  EXPECT_EQ(SSE::url("http://127.0.0.1:11434/v1", "/models?limit=100"), "http://127.0.0.1:11434/v1/models?limit=100");
  // The placeholder of a custom provider: a URL without a host, which fails in transport.
  EXPECT_EQ(SSE::url("https://", "/chat/completions"), "https:/chat/completions");
  for (const char* bad : {"  api.example.com/v1 ", "", "/v1", "https://bad host/v1", "1http://x"}) {
    try {
      SSE::url(bad, "/models");
      ADD_FAILURE() << bad;
    } catch (const LLMError& error) {
      EXPECT_EQ(error.kind(), LLMError::Kind::badURL);
      EXPECT_EQ(error.payload(), bad);
    }
  }
}

TEST(SSE, ErrorMessagesAndModelIDs) {
  EXPECT_EQ(SSE::errorMessage(R"({"error":{"message":"bad key","type":"auth"}})"), "bad key");
  EXPECT_EQ(SSE::errorMessage(R"({"error":"overloaded","message":"other"})"), "overloaded");
  EXPECT_EQ(SSE::errorMessage(R"({"error":{"code":1},"message":"top"})"), "top");
  EXPECT_EQ(SSE::errorMessage(R"(["not","an","object"])"), R"(["not","an","object"])");
  std::string html = "<html>" + std::string(594, 'x');
  EXPECT_EQ(SSE::errorMessage(html), html.substr(0, 400));
  // A character cut at byte 400 becomes one replacement character.
  std::string cut = std::string(399, 'a') + "é and more";
  EXPECT_EQ(SSE::errorMessage(cut), std::string(399, 'a') + "\uFFFD");
  EXPECT_EQ(SSE::errorMessage("\xff\xfe"), "\uFFFD\uFFFD");

  auto list = nlohmann::json::parse(R"({"data":[{"id":"b"},{"id":"a"},{"name":"x"},{"id":3},"s"]})");
  EXPECT_EQ(SSE::modelIDs(list), (std::vector<std::string>{"a", "b"}));
  EXPECT_TRUE(SSE::modelIDs(nlohmann::json::object()).empty());
  EXPECT_TRUE(SSE::modelIDs(nlohmann::json::parse(R"({"data":{"id":"a"}})")).empty());
}

// The key is masked before the body is cut, so no cut can show most of it;
// values too short to be secrets are left alone.
TEST(SSE, ErrorMessagesNeverShowTheKey) {
  const std::string key = "sk-live-0123456789abcdefghij";
  const std::string pad(390, 'a');
  struct Case {
    std::string body, secret, message;
  };
  for (const Case& c : std::vector<Case>{
           {pad + key + " end", key, pad + "••• "},
           {"invalid key " + key.substr(0, 20), key, "invalid key •••"},
           {nlohmann::json{{"error", {{"message", "bad key " + key + " ends " + key.substr(0, 9)}}}}.dump(), key,
            "bad key ••• ends •••"},
           {"costs sk-", key, "costs sk-"},
           {"model ollama not found", "ollama", "model ollama not found"},
           {"token abcdefg refused", "abcdefg", "token abcdefg refused"},
           {"token abcdefgh refused abcdefgh", "abcdefgh", "token ••• refused •••"},
       }) {
    EXPECT_EQ(SSE::errorMessage(c.body, c.secret), c.message) << c.body.substr(0, 60);
  }
}

TEST(SSELineReader, SameDataLinesWhereverTheBodyIsCut) {
  EXPECT_EQ(payloadsOf({kMixedBody}), kMixedPayloads);
  EXPECT_EQ(payloadsOf(bytesOf(kMixedBody)), kMixedPayloads);
  for (size_t i = 0; i <= kMixedBody.size(); ++i)
    for (size_t j = i; j <= kMixedBody.size(); j += 3)
      ASSERT_EQ(payloadsOf({kMixedBody.substr(0, i), kMixedBody.substr(i, j - i), kMixedBody.substr(j)}),
                kMixedPayloads)
          << "cut at " << i << " and " << j;
  // The last line counts without a line end; a CR LF split across stretches is one line end.
  EXPECT_EQ(payloadsOf({"data: 1\r", "\ndata: 2\r", "\r", "\ndata: 3"}),
            (std::vector<std::string>{"1", "2", "3"}));
  EXPECT_EQ(payloadsOf({"DATA: 1\n", " data: 2\n", "dat", "a:3"}), (std::vector<std::string>{"3"}));
}

TEST(SSELineReader, KeepsOnlyTheLineBeingReadAndSkipsOverlongLines) {
  SSE::LineReader reader(1 << 20);
  std::vector<std::string> payloads;
  auto collect = [&](std::string_view p) {
    payloads.emplace_back(p);
    return true;
  };
  std::string block(64 << 10, 'x');
  // A line that never ends is not kept once it is known to be no data line...
  reader.feed("event: ", collect);
  for (int i = 0; i < 256; ++i) ASSERT_TRUE(reader.feed(block, collect));
  EXPECT_LT(reader.bufferedBytes(), 1024u);
  reader.feed("\n", collect);
  // ...nor once a data line has grown past the limit.
  reader.feed("data: ", collect);
  for (int i = 0; i < 256; ++i) reader.feed(block, collect);
  EXPECT_LE(reader.bufferedBytes(), 2u << 20);
  reader.feed("\ndata: ok\n", collect);
  EXPECT_EQ(payloads, (std::vector<std::string>{"ok"}));
}

TEST(SSEEvents, OneByteChunksWithEveryLineEnd) {
  auto server = replying(200, bytesOf(kMixedBody), 300us);
  StreamOutcome outcome = drain(SSE::events(post(server.url()), tPiece));
  EXPECT_FALSE(outcome.error);
  EXPECT_EQ(outcome.pieces, (std::vector<std::string>{"é", "😀", "a", "€"}));
}

TEST(SSEEvents, ConcurrentStreamsShareTheSession) {
  std::string body;
  for (int i = 0; i < 300; ++i) body += "data: {\"t\":\"" + std::to_string(i) + ",\"}\n";
  auto server = replying(200, {body.substr(0, 1000), body.substr(1000)}, 1ms);
  std::vector<std::thread> consumers;
  std::vector<std::string> texts(6);
  for (size_t i = 0; i < texts.size(); ++i)
    consumers.emplace_back([&, i] {
      for (int round = 0; round < 3; ++round) texts[i] = drain(SSE::events(post(server.url()), tPiece)).text();
    });
  for (auto& consumer : consumers) consumer.join();
  std::string expected;
  for (int i = 0; i < 300; ++i) expected += std::to_string(i) + ",";
  for (const auto& text : texts) EXPECT_EQ(text, expected);
}

TEST(SSEEvents, DoneEndsTheStreamWhileTheServerKeepsSending) {
  std::atomic<bool> sawClose = false;
  LoopbackServer server([&](Connection& c) {
    c.sendHead(200);
    c.sendChunk("data: {\"t\":\"a\"}\n\ndata:  [DONE] \n\n");
    for (int i = 0; i < 500 && !c.serverStopping(); ++i) {
      if (!c.sendChunk("data: {\"t\":\"more\"}\n\n")) break;
      std::this_thread::sleep_for(2ms);
    }
    sawClose = c.waitForClose(2s);
  });
  StreamOutcome outcome = drain(SSE::events(post(server.url()), tPiece));
  EXPECT_FALSE(outcome.error);
  EXPECT_EQ(outcome.pieces, (std::vector<std::string>{"a"}));
  for (int i = 0; i < 200 && !sawClose; ++i) std::this_thread::sleep_for(5ms);
  EXPECT_TRUE(sawClose);
}

TEST(SSEEvents, ErrorStatusesCarryTheBodyMessage) {
  struct Case {
    int status;
    std::string body;
    std::string message;
    bool recoverable;
  };
  std::string html = "<!doctype html><html><body>" + std::string(600, 'x') + "</body></html>";
  for (const Case& c : std::vector<Case>{
           {400, R"({"error":{"message":"prompt too long"}})", "prompt too long", false},
           {401, R"({"error":{"type":"auth","message":"invalid x-api-key"}})", "invalid x-api-key", true},
           {429, R"({"error":"rate limited"})", "rate limited", true},
           {500, html, html.substr(0, 400), true},
           {503, R"({"message":"overloaded"})", "overloaded", true},
       }) {
    auto server = replying(c.status, {c.body.substr(0, 7), c.body.substr(7)});
    StreamOutcome outcome = drain(SSE::events(post(server.url()), tPiece));
    ASSERT_TRUE(outcome.error) << c.status;
    EXPECT_EQ(outcome.error->kind(), LLMError::Kind::http);
    EXPECT_EQ(outcome.error->what(), "HTTP " + std::to_string(c.status) + ": " + c.message);
    EXPECT_EQ(outcome.error->isRecoverableLocally(), c.recoverable);
  }
}

TEST(SSEEvents, ReadsAtMost8001BytesOfAnErrorBody) {
  // Read whole, this body would parse and give "late"; cut after 8001 bytes,
  // its first 400 bytes are the message.
  std::string big = R"({"padding":")" + std::string(100'000, 'p') + R"(","error":{"message":"late"}})";
  auto server = replying(500, {big});
  StreamOutcome outcome = drain(SSE::events(post(server.url()), tPiece));
  ASSERT_TRUE(outcome.error);
  EXPECT_EQ(outcome.error->payload(), big.substr(0, 400));

  // An error body that never ends still ends the stream.
  LoopbackServer endless([](Connection& c) {
    c.sendHead(503);
    while (!c.serverStopping() && c.sendChunk(std::string(4096, 'z'))) {
    }
  });
  outcome = drain(SSE::events(post(endless.url()), tPiece));
  ASSERT_TRUE(outcome.error);
  EXPECT_EQ(outcome.error->status(), 503);
}

TEST(SSEEvents, TransportFailuresAreUnavailable) {
  // Nothing listens.
  StreamOutcome refused = drain(SSE::events(post("http://127.0.0.1:" + std::to_string(closedPort())), tPiece));
  ASSERT_TRUE(refused.error);
  EXPECT_EQ(refused.error->kind(), LLMError::Kind::unavailable);
  EXPECT_STREQ(refused.error->what(), "Não foi possível conectar ao servidor.");
  EXPECT_TRUE(refused.error->isRecoverableLocally());

  // A URL without a host never leaves the machine.
  StreamOutcome hostless = drain(SSE::events(post(SSE::url("https://", "/v1/messages")), tPiece));
  ASSERT_TRUE(hostless.error);
  EXPECT_EQ(hostless.error->kind(), LLMError::Kind::unavailable);

  // A server that falls silent mid-reply times out.
  LoopbackServer stalling([](Connection& c) {
    c.sendHead(200);
    c.sendChunk("data: {\"t\":\"a\"}\n");
    while (!c.serverStopping() && !c.waitForClose(20ms)) {
    }
  });
  HTTPRequest request = post(stalling.url());
  request.limits.idle = 300ms;
  auto started = Clock::now();
  StreamOutcome stalled = drain(SSE::events(request, tPiece));
  EXPECT_GE(Clock::now() - started, 300ms);
  EXPECT_EQ(stalled.pieces, std::vector<std::string>{"a"});
  ASSERT_TRUE(stalled.error);
  EXPECT_STREQ(stalled.error->what(), "A solicitação expirou.");

  // A body that never ends is cut by the whole-transfer limit.
  LoopbackServer chatty([](Connection& c) {
    c.sendHead(200);
    while (!c.serverStopping() && c.sendChunk(": ping\n")) std::this_thread::sleep_for(5ms);
  });
  request = post(chatty.url());
  request.limits.whole = 400ms;
  StreamOutcome cut = drain(SSE::events(request, tPiece));
  ASSERT_TRUE(cut.error);
  EXPECT_EQ(cut.error->kind(), LLMError::Kind::unavailable);
}

TEST(SSEEvents, SelfSignedCertificateIsNotTrusted) {
  LoopbackServer server([](Connection& c) { c.respond(200, "data: {\"t\":\"trusted\"}\n", "text/event-stream"); },
                        /*https=*/true);
  // The server does answer a client that was told to trust its certificate.
  CURL* curl = curl_easy_init();
  std::string received;
  curl_easy_setopt(curl, CURLOPT_URL, server.url().c_str());
  curl_easy_setopt(curl, CURLOPT_CAINFO, server.certificateFile().c_str());
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, +[](char* d, size_t s, size_t n, void* out) {
    static_cast<std::string*>(out)->append(d, s * n);
    return s * n;
  });
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &received);
  EXPECT_EQ(curl_easy_perform(curl), CURLE_OK);
  curl_easy_cleanup(curl);
  EXPECT_NE(received.find("trusted"), std::string::npos);

  StreamOutcome outcome = drain(SSE::events(post(server.url()), tPiece));
  EXPECT_TRUE(outcome.pieces.empty());
  ASSERT_TRUE(outcome.error);
  EXPECT_EQ(outcome.error->kind(), LLMError::Kind::unavailable);
  EXPECT_THROW(SSE::json(post(server.url())), LLMError);
}

TEST(SSEEvents, DroppingTheStreamClosesTheConnectionAtOnce) {
  std::atomic<bool> closed = false;
  std::atomic<Clock::rep> closedAt = 0;
  LoopbackServer server([&](Connection& c) {
    c.sendHead(200);
    c.sendChunk("data: {\"t\":\"first\"}\n");
    closed = c.waitForClose(3s);
    closedAt = Clock::now().time_since_epoch().count();
  });
  Clock::time_point dropped;
  {
    TextStream stream = SSE::events(post(server.url()), tPiece);
    EXPECT_EQ(stream.next(), "first");
    dropped = Clock::now();
  }
  for (int i = 0; i < 400 && !closedAt; ++i) std::this_thread::sleep_for(5ms);
  ASSERT_TRUE(closed);
  auto delay = Clock::time_point(Clock::duration(closedAt.load())) - dropped;
  EXPECT_LT(delay, 100ms) << std::chrono::duration_cast<std::chrono::microseconds>(delay).count() << " µs";
}

TEST(SSEEvents, HostileBodiesAreSkippedSafely) {
  std::string huge = "data: " + std::string(50 << 20, 'x') + "\n";
  std::string deepObject;
  for (int i = 0; i < 100'000; ++i) deepObject += "{\"a\":";
  deepObject += "1" + std::string(100'000, '}');
  std::vector<std::string> parts = {
      huge,
      "data: " + std::string(100'000, '[') + std::string(100'000, ']') + "\n",
      "data: " + deepObject + "\n",
      "data: " + std::string(100'000, '[') + "\n",
      "data: {\"t\":\"\xff\xfe\"}\n",
      "data: {\"t\":\"\xc3\"}\n",
      ": \xff\xff\n",
      "data: {\"t\":\"ok\"}\n",
  };
  auto server = replying(200, parts);
  StreamOutcome outcome = drain(SSE::events(post(server.url()), tPiece));
  EXPECT_FALSE(outcome.error);
  EXPECT_EQ(outcome.pieces, std::vector<std::string>{"ok"});

  // A line longer than the limit is skipped without being kept.
  auto longLine = replying(200, {"data: {\"t\":\"" + std::string(4 << 20, 'y'), "\"}\ndata: {\"t\":\"next\"}\n"});
  HTTPRequest request = post(longLine.url());
  request.limits.maxLineBytes = 1 << 20;
  outcome = drain(SSE::events(request, tPiece));
  EXPECT_EQ(outcome.pieces, std::vector<std::string>{"next"});
}

TEST(SSEEvents, AReplyPastItsSizeLimitEndsWithAnError) {
  std::string body;
  for (int i = 0; i < 10; ++i) body += "data: {\"t\":\"" + std::string(100, 'a' + i) + "\"}\n";
  auto server = replying(200, {body});
  HTTPRequest request = post(server.url());
  request.limits.maxReplyBytes = 350;
  StreamOutcome outcome = drain(SSE::events(request, tPiece));
  EXPECT_EQ(outcome.text(), std::string(100, 'a') + std::string(100, 'b') + std::string(100, 'c'));
  ASSERT_TRUE(outcome.error);
  EXPECT_EQ(outcome.error->kind(), LLMError::Kind::unavailable);
  EXPECT_STREQ(outcome.error->what(), "A resposta do modelo passou do tamanho máximo e foi interrompida.");
}

// A proxy's login page or an empty body must not pass for an empty reply.
TEST(SSEEvents, ASuccessThatIsNoEventStreamAndCarriesNoEventFails) {
  struct Case {
    std::string contentType, body;
    std::vector<std::string> pieces;
    bool fails;
  };
  for (const Case& c : std::vector<Case>{
           {"text/html", "<html><body>Entre na rede</body></html>", {}, true},
           {"application/json", "", {}, true},
           {"application/json", "data: [1]\n", {}, true},
           {"text/event-stream", "", {}, false},
           {"Text/Event-Stream; charset=utf-8", ": ping\n", {}, false},
           {"application/json", "data: {\"t\":\"a\"}\n", {"a"}, false},
           {"text/plain", "data: [DONE]\n", {}, false},
       }) {
    LoopbackServer server([&](Connection& conn) { conn.respond(200, c.body, c.contentType); });
    StreamOutcome outcome = drain(SSE::events(post(server.url()), tPiece));
    EXPECT_EQ(outcome.pieces, c.pieces) << c.contentType << " " << c.body;
    ASSERT_EQ(outcome.error.has_value(), c.fails) << c.contentType << " " << c.body;
    if (c.fails) EXPECT_STREQ(outcome.error->what(), "O servidor deu uma resposta inválida.");
  }
}

TEST(SSEEvents, RedirectsSayWhereAndAnswersThatAreNoHTTPSaySo) {
  LoopbackServer server([](Connection& c) {
    if (c.request().target == "/moved")
      c.send("HTTP/1.1 308 Permanent Redirect\r\nLocation: /v1/moved\r\nContent-Length: 9\r\n"
             "Connection: close\r\n\r\nelsewhere");
    else
      c.send("SSH-2.0-OpenSSH_9.2\r\n");
  });
  HTTPRequest request = post(server.url() + "/moved");
  const std::string redirect =
      "HTTP 308: o servidor redirecionou para " + server.url() + "/v1/moved; confira o endereço base.";
  StreamOutcome moved = drain(SSE::events(request, tPiece));
  ASSERT_TRUE(moved.error);
  EXPECT_EQ(moved.error->what(), redirect);
  request.method = "GET";
  try {
    SSE::json(request);
    ADD_FAILURE();
  } catch (const LLMError& error) {
    EXPECT_EQ(error.what(), redirect);
  }
  StreamOutcome garbled = drain(SSE::events(post(server.url() + "/ssh"), tPiece));
  ASSERT_TRUE(garbled.error);
  EXPECT_EQ(garbled.error->kind(), LLMError::Kind::unavailable);
  EXPECT_STREQ(garbled.error->what(), "A resposta do servidor não foi entendida: não é HTTP.");
}

// The reader hangs up on the first stretch that nests too deep, without
// waiting for the rest of the body.
TEST(SSEJson, ABodyNestedTooDeepIsRefusedAsItArrives) {
  std::atomic<bool> hungUp = false;
  LoopbackServer server([&](Connection& c) {
    c.sendHead(200, "application/json");
    c.sendChunk(std::string(64 << 10, '['));
    hungUp = c.waitForClose(std::chrono::seconds(10));
  });
  HTTPRequest request;
  request.url = server.url();
  EXPECT_THROW(SSE::json(request), std::runtime_error);
  for (int i = 0; i < 400 && !hungUp; ++i) std::this_thread::sleep_for(5ms);
  EXPECT_TRUE(hungUp);
}

TEST(SSEEvents, HandlerErrorsEndTheStreamAndEmptyPiecesAreDropped) {
  auto server = replying(200, {"data: {\"t\":\"\"}\ndata: {\"t\":\"a\"}\ndata: {\"fail\":1}\ndata: {\"t\":\"b\"}\n"});
  StreamOutcome outcome = drain(SSE::events(post(server.url()), [](const nlohmann::json& event) {
    if (event.contains("fail")) throw LLMError::refused();
    return tPiece(event);
  }));
  EXPECT_EQ(outcome.pieces, std::vector<std::string>{"a"});
  ASSERT_TRUE(outcome.error);
  EXPECT_EQ(outcome.error->kind(), LLMError::Kind::refused);
}

TEST(SSEJson, ReadsOneObjectOrFails) {
  LoopbackServer server([](Connection& c) {
    const std::string& path = c.request().target;
    if (path == "/list") c.respond(200, R"({"data":[{"id":"m2"},{"id":"m1"}]})");
    else if (path == "/array") c.respond(200, "[1]");
    else if (path == "/html") c.respond(200, "<html>", "text/html");
    else c.respond(404, R"({"error":{"message":"no such path"}})");
  });
  HTTPRequest request;
  request.url = server.url() + "/list";
  EXPECT_EQ(SSE::modelIDs(SSE::json(request)), (std::vector<std::string>{"m1", "m2"}));
  request.url = server.url() + "/array";
  EXPECT_EQ(SSE::json(request), nlohmann::json::object());
  request.url = server.url() + "/html";
  EXPECT_THROW(SSE::json(request), std::runtime_error);
  request.url = server.url() + "/missing";
  try {
    SSE::json(request);
    FAIL();
  } catch (const LLMError& error) {
    EXPECT_STREQ(error.what(), "HTTP 404: no such path");
  }
  EXPECT_EQ(server.requests().at(0).method, "GET");
}
