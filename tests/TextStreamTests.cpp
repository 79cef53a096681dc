#include <gtest/gtest.h>

#include <atomic>
#include <future>
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

// Hands over "first", waits to be stopped, then finds the stream closed.
TextStream waiting(std::atomic<bool>& stopped) {
  return TextStream([&stopped](TextStream::Sink& sink) {
    sink.yield("first");
    while (!sink.stopped()) std::this_thread::sleep_for(1ms);
    std::vector<std::string> batch = {"late"};
    EXPECT_FALSE(sink.yield("late") | sink.yield(batch));
    stopped = true;
  });
}

}  // namespace

TEST(TextStream, DeliversPiecesInOrderThenEndsOnce) {
  TextStream stream([](TextStream::Sink& sink) {
    std::vector<std::string> batch;  // the second half in one go
    for (int i = 0; i < 500; ++i) sink.yield(std::to_string(i));
    for (int i = 500; i < 1000; ++i) batch.push_back(std::to_string(i));
    sink.yield(batch);
  });
  std::vector<std::string> expected;
  for (int i = 0; i < 1000; ++i) expected.push_back(std::to_string(i));
  EXPECT_EQ(drain(stream), expected);
  EXPECT_EQ(stream.next(), std::nullopt);
}

// However it was made, a stream delivers its pieces, then throws its error once.
TEST(TextStream, ErrorComesAfterTheDeliveredPiecesAndOnlyOnce) {
  std::vector<TextStream> streams;
  streams.emplace_back([](TextStream::Sink& sink) {
    sink.yield("a");
    sink.yield("b");
    throw LLMError::refused();
  });
  streams.push_back(TextStream::of({"a", "b"}, std::make_exception_ptr(LLMError::http(503, "x"))));
  streams.push_back(TextStream::failing(LLMError::badURL("x")));
  for (size_t i = 0; i < streams.size(); ++i) {
    TextStream& stream = streams[i];
    if (i < 2) {
      EXPECT_EQ(stream.next(), "a");
      EXPECT_EQ(stream.next(), "b");
    }
    EXPECT_THROW(stream.next(), LLMError);
    EXPECT_EQ(stream.next(), std::nullopt);
  }
}

TEST(TextStream, TheProducerStartsBeforeTheFirstPull) {
  std::promise<void> started;
  TextStream stream([&](TextStream::Sink&) { started.set_value(); });
  EXPECT_EQ(started.get_future().wait_for(10s), std::future_status::ready);
}

// Dropping, cancelling and moving over a stream stop its producer and wait
// for it; interrupting from another thread ends a waiting pull.
TEST(TextStream, StoppingAWaitingProducer) {
  std::atomic<bool> stopped = false;
  {
    TextStream dropped = waiting(stopped);
    EXPECT_EQ(dropped.next(), "first");
  }
  EXPECT_TRUE(stopped.exchange(false));
  TextStream stream = waiting(stopped);
  EXPECT_EQ(stream.next(), "first");
  stream.cancel();
  EXPECT_TRUE(stopped.exchange(false));
  EXPECT_EQ(stream.next(), std::nullopt);

  TextStream moved = waiting(stopped);
  EXPECT_EQ(moved.next(), "first");
  stream = std::move(moved);
  EXPECT_FALSE(stopped);
  EXPECT_EQ(moved.next(), std::nullopt);  // NOLINT(bugprone-use-after-move)
  std::thread interrupter([&] {
    std::this_thread::sleep_for(20ms);
    stream.interrupt();
  });
  EXPECT_EQ(stream.next(), std::nullopt);
  interrupter.join();
  stream = TextStream::of({});
  EXPECT_TRUE(stopped);
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

