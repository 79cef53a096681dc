#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <future>
#include <thread>

#include "ClientTestSupport.hpp"

using namespace quillet;
using namespace quillet::test;
using namespace std::chrono_literals;

// Pieces in order (single and batched), then the error once; the producer starts before the first pull.
TEST(TextStream, DeliversPiecesInOrderThenTheErrorOnce) {
  std::promise<void> started;
  std::vector<TextStream> streams;
  streams.emplace_back([&](TextStream::Sink& sink) {
    started.set_value();
    std::vector<std::string> batch;  // the second half in one go
    for (int i = 0; i < 1000; ++i) i < 500 ? (void)sink.yield(std::to_string(i)) : batch.push_back(std::to_string(i));
    sink.yield(batch);
    throw LLMError::refused();
  });
  EXPECT_EQ(started.get_future().wait_for(10s), std::future_status::ready);
  streams.push_back(TextStream::of({"0", "1"}, std::make_exception_ptr(LLMError::http(503, "x"))));
  streams.push_back(TextStream::failing(LLMError::badURL("x")));
  const size_t pieces[] = {1000, 2, 0};
  for (size_t i = 0; i < streams.size(); ++i) {
    for (size_t n = 0; n < pieces[i]; ++n) ASSERT_EQ(streams[i].next(), std::to_string(n));
    EXPECT_THROW(streams[i].next(), LLMError);
    EXPECT_EQ(streams[i].next(), std::nullopt);
  }
}

// Dropping, cancelling, interrupting (also mid-pull) or moving over a stream stops its producer; then nothing comes.
TEST(TextStream, StoppingAWaitingProducer) {
  std::atomic<int> stops = 0;
  const std::vector<std::function<void(std::optional<TextStream>&)>> ways = {
      [](auto& s) { s.reset(); },
      [](auto& s) { s->cancel(); },
      [](auto& s) {
        EXPECT_EQ(s->next(), "second");
        std::jthread interrupter([&] {
          std::this_thread::sleep_for(20ms);
          s->interrupt();
        });
        EXPECT_EQ(s->next(), std::nullopt);
      },
      [](auto& s) { *s = TextStream::of({}); },
      [](auto& s) { EXPECT_EQ(TextStream(std::move(*s)).next(), "second"); },
  };
  for (size_t i = 0; i < ways.size(); ++i) {
    SCOPED_TRACE(i);
    // Hands over "first" and "second" in one batch, waits to be stopped, then finds the stream closed.
    std::optional<TextStream> stream = TextStream([&stops](TextStream::Sink& sink) {
      std::vector<std::string> batch = {"first", "second"};
      sink.yield(batch);
      while (!sink.stopped()) std::this_thread::sleep_for(1ms);
      batch = {"late"};
      EXPECT_FALSE(sink.yield("late") | sink.yield(batch));
      ++stops;
    });
    EXPECT_EQ(stream->next(), "first");
    ways[i](stream);
    if (stream) {
      EXPECT_EQ(stream->next(), std::nullopt);
    }
    stream.reset();
    EXPECT_EQ(stops, static_cast<int>(i) + 1);
  }
}
