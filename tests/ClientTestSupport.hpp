#pragma once
// Helpers of the model-client tests: provider bodies, one-answer servers, what a drained stream gave.
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "LoopbackServer.hpp"
#include "QuilletKit/HTTP.hpp"
#include "QuilletKit/LLMClient.hpp"
#include "TestSupport.hpp"

namespace quillet::test {

// "data: <event>" blocks, as a provider streams them.
inline std::string eventStream(const std::vector<nlohmann::json>& events, bool done = false) {
  std::string body;
  for (const auto& event : events) body += "data: " + event.dump() + "\n\n";
  return done ? body + "data: [DONE]\n\n" : body;
}

// Events of the Messages API.
inline nlohmann::json anthropicText(const std::string& text) {
  return {{"type", "content_block_delta"}, {"delta", {{"type", "text_delta"}, {"text", text}}}};
}
inline nlohmann::json anthropicStop(const std::string& reason) {
  return {{"type", "message_delta"}, {"delta", {{"stop_reason", reason}}}};
}

// An error body as every provider sends one.
inline std::string errorBody(const std::string& message) {
  return nlohmann::json{{"error", {{"message", message}}}}.dump();
}

// Answers every request with `body`: a chunked event stream with status 200, a whole JSON body otherwise.
inline LoopbackServer answering(int status, std::string body) {
  return LoopbackServer([status, body = std::move(body)](Connection& c) {
    if (status == 200) c.sendEvents(body);
    else c.respond(status, body);
  });
}

// A stream's pieces joined by "|", then " ! " and the message of the error that ended it, if one did.
inline std::string summary(TextStream stream) {
  std::string line;
  try {
    for (bool first = true; auto piece = stream.next(); first = false) line += (first ? "" : "|") + *piece;
  } catch (const LLMError& error) {
    line += std::string(" ! ") + error.what();
  }
  return line;
}

inline HTTPRequest post(const std::string& url, TransferLimits limits = {}) {
  return {.url = url, .method = "POST", .headers = {}, .body = "{}", .limits = limits, .secret = {}};
}

}  // namespace quillet::test
