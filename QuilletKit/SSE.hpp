#pragma once
// What the two HTTP clients share: joining a base URL and a path, reading a
// server-sent-events response as a stream of text pieces, reading one JSON
// response, and pulling error messages and model lists out of bodies.
// Stateless; every operation may be used from any thread.
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "QuilletKit/HTTP.hpp"
#include "QuilletKit/TextStream.hpp"

namespace quillet {

struct SSE {
  SSE() = delete;

  // Maps one decoded event to the text piece it carries, if any. Runs on the
  // stream's producer thread, one event at a time, in body order; it may
  // throw to end the stream with that error.
  using EventHandler = std::function<std::optional<std::string>(const nlohmann::json& event)>;

  // `base` without surrounding spaces and tabs, then without surrounding
  // slashes, followed by `path`. Throws `LLMError::badURL` with `base` as
  // passed when the result is no URL with a scheme. "https://" gives a URL
  // without a host, which fails later, in transport.
  static std::string url(std::string_view base, std::string_view path);

  // Sends `request` at once and streams the pieces that `onEvent` draws from
  // its "data:" lines as they arrive. "[DONE]" or the end of the body ends the
  // stream; non-data lines and payloads that are no JSON object are skipped.
  // A status outside 200...299 ends it with `LLMError::http` and the message
  // of at most the first 8001 bytes of the body (for a redirect: where it
  // pointed); transport failures with `LLMError::unavailable`, and so do a
  // reply of more than `maxReplyBytes` of text and a reply that is no event
  // stream and carried no event. Dropping the stream aborts the transfer.
  static TextStream events(HTTPRequest request, EventHandler onEvent);

  // The JSON object of a whole response (an empty object when the top level
  // is something else). Throws `LLMError::http` for a status outside
  // 200...299, `LLMError::unavailable` for transport failures, and
  // `std::runtime_error` when the body is no JSON.
  static nlohmann::json json(const HTTPRequest& request);

  // The string "id" of every object of the array "data", sorted ascending.
  static std::vector<std::string> modelIDs(const nlohmann::json& object);

  // The message of an error body: "error.message", "error" or "message" of a
  // JSON object, else its first 400 bytes with invalid UTF-8 repaired.
  // `secret`, when it has 8 characters or more, is masked wherever it shows,
  // also where the text ends partway into it.
  static std::string errorMessage(std::string_view body, std::string_view secret = {});

  // Cuts an event-stream body into lines (ended by LF, CR or CR LF) as its
  // bytes arrive, and hands on the trimmed payload of each "data:" line. Only
  // the line being read is kept, and not even that once the line is known to
  // be no data line or to be longer than `maxLineBytes`; such lines are
  // skipped. A value used by one thread.
  class LineReader {
   public:
    // Returns false to stop reading.
    using OnPayload = std::function<bool(std::string_view payload)>;

    explicit LineReader(size_t maxLineBytes) : maxLineBytes_(maxLineBytes) {}
    // False once `onPayload` asked to stop; the reader takes no more bytes.
    bool feed(std::string_view bytes, const OnPayload& onPayload);
    // Ends the last line when the body ends without a line end.
    bool finish(const OnPayload& onPayload);
    size_t bufferedBytes() const { return line_.capacity(); }

   private:
    void absorb(std::string_view bytes);
    bool endLine(std::string_view line, const OnPayload& onPayload);

    size_t maxLineBytes_;
    std::string line_;
    size_t lineLength_ = 0;
    bool skipping_ = false;
    bool afterCR_ = false;
    bool stopped_ = false;
  };
};

}  // namespace quillet
