#pragma once
// A pull-based stream of text pieces with one producer of its own.
//
// The producer starts on a thread of its own when the stream is made and hands
// pieces to a `Sink`; the consumer pulls them with `next()`. The buffer in
// between is unbounded, so the producer never waits for the consumer. The
// stream ends exactly once: normally (the producer returns) or with the one
// exception that the producer threw.
//
// Ownership and threads: a TextStream is movable, not copyable, and is used by
// one consumer thread. Producers run on a shared pool of threads that are
// kept a while between producers. Destroying a stream, or calling `cancel()`,
// asks its producer to stop (its stop token fires) and waits for it to
// return; producers must therefore watch `Sink::stopToken()` and return soon
// after it fires.
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

namespace quillet {

class TextStream {
 public:
  class State;

  // The producer's side of a stream. Safe to use only from the producer.
  class Sink {
   public:
    // Queues `piece` for the consumer. False once the consumer has stopped
    // the stream; the piece is then dropped and the producer should return.
    bool yield(std::string piece);
    // Queues every piece of `pieces`, in order, with one wake-up of the
    // consumer; `pieces` is left empty. False as for `yield`.
    bool yield(std::vector<std::string>& pieces);
    bool stopped() const { return token_.stop_requested(); }
    std::stop_token stopToken() const { return token_; }

   private:
    friend class TextStream;
    Sink(State& state, std::stop_token token) : state_(state), token_(std::move(token)) {}
    State& state_;
    std::stop_token token_;
  };

  using Producer = std::function<void(Sink&)>;

  // Starts `producer` on a thread of its own at once.
  explicit TextStream(Producer producer);
  // A stream that holds `pieces` and then ends, normally or with `error`.
  // No thread is started.
  static TextStream of(std::vector<std::string> pieces, std::exception_ptr error = nullptr);
  // A stream that ends at once with `error`.
  static TextStream failing(std::exception_ptr error);
  template <typename Error>
  static TextStream failing(Error error) {
    return failing(std::make_exception_ptr(std::move(error)));
  }

  TextStream(TextStream&&) noexcept;
  TextStream& operator=(TextStream&&) noexcept;
  TextStream(const TextStream&) = delete;
  TextStream& operator=(const TextStream&) = delete;
  ~TextStream();

  // Blocks for the next piece. Absent at the normal end, and after the error
  // has been thrown once or the stream was cancelled.
  std::optional<std::string> next();

  // Stops the producer and drops every piece not yet returned by `next()`,
  // queued or already taken: from here on `next()` returns absent.
  void cancel();

  // Callable from any thread, also while the consumer waits in `next()`:
  // ends the stream for the consumer (a waiting `next()` returns absent, and
  // so does every later one) and asks the producer to stop. The destructor
  // still joins it.
  void interrupt();

 private:
  TextStream();
  // Asks the producer to stop and waits until it has returned.
  void stopProducer();

  std::shared_ptr<State> state_;
  // Absent when no producer runs for this stream.
  std::unique_ptr<std::stop_source> stop_;
};

}  // namespace quillet
