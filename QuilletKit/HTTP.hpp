#pragma once
// HTTP transfers for the language-model clients, over libcurl.
//
// Every transfer of the process goes through one session: a shared DNS and
// TLS-session cache, and a pool of idle connections that later transfers to
// the same server reuse. TLS peers are always verified; redirects are not
// followed, so a key header never reaches a host it was not meant for.
//
// Threads: `perform` runs the transfer on the calling thread; any number of
// threads may call it at once.
#include <chrono>
#include <functional>
#include <stop_token>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quillet {

struct TransferLimits {
  // Longest silence, without a byte sent or received, before the transfer
  // fails as timed out; connecting counts as silence.
  std::chrono::milliseconds idle = std::chrono::seconds(60);
  // Longest whole transfer.
  std::chrono::milliseconds whole = std::chrono::seconds(900);
  // Longest line of an event stream that is read; longer lines are skipped
  // without being kept. Also the largest whole body that is read for a JSON
  // response.
  size_t maxLineBytes = size_t{64} << 20;
  // Most text that one streamed reply may deliver: far beyond any notes, so
  // that a runaway or hostile server cannot fill the memory.
  size_t maxReplyBytes = size_t{32} << 20;
};

// A prepared request: a value, built by a client and handed to `HTTP` or `SSE`.
struct HTTPRequest {
  std::string url;
  std::string method = "GET";
  // Sent in this order. Names and values may not hold line breaks.
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  TransferLimits limits;
  // A value, such as the API key, that no error text may show.
  std::string secret;

  // The value of the first header named `name` (case-insensitive), or "".
  std::string header(std::string_view name) const;
};

// What a reply said besides its body.
struct HTTPReply {
  long status = 0;
  // The media type as sent ("text/event-stream; charset=utf-8"), or "".
  std::string contentType;
  // Where a redirect pointed, made absolute; "" when the reply was none.
  std::string redirectURL;
};

struct HTTP {
  HTTP() = delete;

  // Gets each stretch of the response body as it arrives, with the final
  // status code (0 when the reply was not HTTP). Returning false stops the
  // transfer at once; its connection is closed, and that is no failure.
  using BodyHandler = std::function<bool(long status, std::string_view bytes)>;

  // Sends `request` and feeds its response body to `onBody`; returns the
  // status code. Transport failures (no connection, TLS, time-outs, a lost
  // connection, an answer that is no HTTP) throw `LLMError::unavailable`
  // with a Portuguese description; whatever `onBody` throws is passed on.
  // When `stop` fires the transfer is aborted at once and `perform` returns.
  // `reply`, when given, receives what the reply's head said.
  static long perform(const HTTPRequest& request, const BodyHandler& onBody,
                      std::stop_token stop = {}, HTTPReply* reply = nullptr);
};

}  // namespace quillet
