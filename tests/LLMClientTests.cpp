#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "QuilletKit/LLMClient.hpp"

using namespace quillet;
using namespace std::chrono_literals;

namespace {

std::vector<std::string> drain(TextStream& stream) {
  std::vector<std::string> pieces;
  while (auto piece = stream.next()) pieces.push_back(*piece);
  return pieces;
}

class ScriptedClient : public LLMClient {
 public:
  explicit ScriptedClient(std::vector<std::string> pieces, std::exception_ptr error = nullptr)
      : pieces_(std::move(pieces)), error_(error) {}
  std::string label() const override { return "scripted"; }
  TextStream stream(const std::string&, const std::string&) const override { return TextStream::of(pieces_, error_); }

 private:
  std::vector<std::string> pieces_;
  std::exception_ptr error_;
};

}  // namespace

TEST(TextStream, DeliversPiecesInOrderThenEndsOnce) {
  TextStream stream([](TextStream::Sink& sink) {
    for (int i = 0; i < 1000; ++i) sink.yield(std::to_string(i));
  });
  auto pieces = drain(stream);
  ASSERT_EQ(pieces.size(), 1000u);
  EXPECT_EQ(pieces.front(), "0");
  EXPECT_EQ(pieces.back(), "999");
  EXPECT_EQ(stream.next(), std::nullopt);
}

TEST(TextStream, ErrorComesAfterTheDeliveredPiecesAndOnlyOnce) {
  TextStream stream([](TextStream::Sink& sink) {
    sink.yield("partial");
    throw LLMError::refused();
  });
  EXPECT_EQ(stream.next(), "partial");
  EXPECT_THROW(stream.next(), LLMError);
  EXPECT_EQ(stream.next(), std::nullopt);

  TextStream scripted = TextStream::of({"a", "b"}, std::make_exception_ptr(LLMError::http(503, "x")));
  EXPECT_EQ(scripted.next(), "a");
  EXPECT_EQ(scripted.next(), "b");
  EXPECT_THROW(scripted.next(), LLMError);
  TextStream failed = TextStream::failing(LLMError::badURL("x"));
  EXPECT_THROW(failed.next(), LLMError);
}

TEST(TextStream, ProducerStartsBeforeTheFirstPull) {
  std::atomic<bool> started = false;
  TextStream stream([&](TextStream::Sink&) { started = true; });
  for (int i = 0; i < 200 && !started; ++i) std::this_thread::sleep_for(5ms);
  EXPECT_TRUE(started);
}

TEST(TextStream, DroppingOrCancellingStopsAWaitingProducer) {
  std::atomic<bool> stopped = false;
  auto endless = [&](TextStream::Sink& sink) {
    sink.yield("first");
    while (!sink.stopped()) std::this_thread::sleep_for(1ms);
    stopped = true;
    EXPECT_FALSE(sink.yield("late"));
  };
  {
    TextStream stream(endless);
    EXPECT_EQ(stream.next(), "first");
  }
  EXPECT_TRUE(stopped);

  stopped = false;
  TextStream stream(endless);
  EXPECT_EQ(stream.next(), "first");
  stream.cancel();
  EXPECT_TRUE(stopped);
  EXPECT_EQ(stream.next(), std::nullopt);

  // A moved-from stream is empty, and moving keeps the producer running.
  TextStream moved = std::move(stream);
  EXPECT_EQ(stream.next(), std::nullopt);  // NOLINT(bugprone-use-after-move)
}

// A batch already taken by the consumer is dropped as well: a stopped stream
// delivers nothing more, from this thread or another.
TEST(TextStream, NothingIsDeliveredAfterAStop) {
  for (bool fromAnotherThread : {false, true}) {
    TextStream stream([](TextStream::Sink& sink) {
      std::vector<std::string> batch = {"a", "b", "c"};
      sink.yield(batch);
      while (!sink.stopped()) std::this_thread::sleep_for(1ms);
    });
    EXPECT_EQ(stream.next(), "a");
    if (fromAnotherThread) std::thread([&] { stream.interrupt(); }).join();
    else stream.cancel();
    EXPECT_EQ(stream.next(), std::nullopt);
    EXPECT_EQ(stream.next(), std::nullopt);
  }
}

TEST(LLMError, MessagesAndRecoverability) {
  EXPECT_STREQ(LLMError::missingKey("Groq").what(), "Falta a chave de API de Groq. Coloque em Ajustes › IA.");
  EXPECT_STREQ(LLMError::http(401, "bad key").what(), "HTTP 401: bad key");
  EXPECT_STREQ(LLMError::badURL(" api.x.com ").what(), "Endereço inválido:  api.x.com ");
  EXPECT_STREQ(LLMError::unavailable("sem rede").what(), "sem rede");
  EXPECT_STREQ(LLMError::refused().what(), "O modelo se recusou a responder.");

  EXPECT_TRUE(LLMError::missingKey("x").isRecoverableLocally());
  EXPECT_TRUE(LLMError::unavailable("x").isRecoverableLocally());
  EXPECT_FALSE(LLMError::badURL("x").isRecoverableLocally());
  EXPECT_FALSE(LLMError::refused().isRecoverableLocally());
  for (int status : {401, 429, 500, 503, 529, 600}) EXPECT_TRUE(LLMError::http(status, "").isRecoverableLocally());
  for (int status : {0, 200, 400, 403, 404, 499}) EXPECT_FALSE(LLMError::http(status, "").isRecoverableLocally());
}

TEST(LLMClient, CompleteJoinsAndTrimsOrFailsWithoutPartialText) {
  EXPECT_EQ(ScriptedClient({"  Hello", " world\n"}).complete("s", "p"), "Hello world");
  EXPECT_EQ(ScriptedClient({}).complete("s", "p"), "");
  ScriptedClient failing({"lost"}, std::make_exception_ptr(LLMError::http(429, "slow down")));
  try {
    failing.complete("s", "p");
    FAIL();
  } catch (const LLMError& error) {
    EXPECT_EQ(error.kind(), LLMError::Kind::http);
    EXPECT_EQ(error.status(), 429);
  }
  EXPECT_EQ(ScriptedClient({}).maxPromptCharacters(), std::nullopt);
}
