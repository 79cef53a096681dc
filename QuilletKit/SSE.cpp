#include "QuilletKit/SSE.hpp"

#include <algorithm>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "QuilletKit/JSON.hpp"
#include "QuilletKit/LLMClient.hpp"
#include "QuilletKit/Localization.hpp"
#include "QuilletKit/Text.hpp"
#include "QuilletKit/URL.hpp"

namespace quillet {

namespace {

constexpr std::string_view kData = "data:";
// An error body is read up to the first byte past 8000.
constexpr size_t kErrorBodyLimit = 8001;
// A line buffer that held a huge line is given back rather than kept.
constexpr size_t kKeptLineCapacity = size_t{1} << 20;

bool isSuccess(long status) { return status >= 200 && status <= 299; }

// Whether `url` has an RFC 3986 scheme and, when it names an authority
// ("scheme://..."), whether libcurl can read it.
bool isURL(const std::string& url) {
  if (URL::scheme(url).empty()) return false;
  if (!URL::hasAuthority(url)) {
    // A URL without a host, such as "https:/v1/models": no spaces or controls.
    return std::none_of(url.begin(), url.end(), [](char c) {
      auto u = static_cast<unsigned char>(c);
      return u <= 0x20 || u == 0x7f || std::strchr("<>\"{}|\\^`", c);
    });
  }
  return URL::parse(url, URL::Schemes::any).has_value();
}

// Where the next line end (CR or LF) lies at or after `from`. memchr, not a
// byte loop: event bodies can hold megabytes on one line.
size_t findLineEnd(std::string_view bytes, size_t from) {
  const char* begin = bytes.data() + from;
  size_t length = bytes.size() - from;
  auto* lf = static_cast<const char*>(std::memchr(begin, '\n', length));
  auto* cr = static_cast<const char*>(std::memchr(begin, '\r', lf ? static_cast<size_t>(lf - begin) : length));
  const char* end = cr ? cr : lf;
  return end ? static_cast<size_t>(end - bytes.data()) : std::string_view::npos;
}

std::string_view trimASCII(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

constexpr std::string_view kMask = "•••";
// Shorter values are no secrets (a local server's "ollama"), and masking them
// would garble the server's words.
constexpr size_t kMinSecretCharacters = 8;
// The shortest start of a key, cut off at the end of a text, that is masked.
constexpr size_t kMinCutSecretBytes = 4;
// The most of an error body, or of a redirect's target, that reaches a message.
constexpr size_t kMessageBytes = 400;

bool isSecret(std::string_view secret) { return text::characterCount(secret) >= kMinSecretCharacters; }

// `message` with `secret` masked wherever a server echoed it, and also where
// the text ends partway into it.
std::string redacted(std::string message, std::string_view secret) {
  if (!isSecret(secret)) return message;
  for (auto at = message.find(secret); at != std::string::npos; at = message.find(secret, at + kMask.size()))
    message.replace(at, secret.size(), kMask);
  for (size_t n = std::min(secret.size() - 1, message.size()); n >= kMinCutSecretBytes; --n) {
    if (message.ends_with(secret.substr(0, n))) {
      message.replace(message.size() - n, n, kMask);
      break;
    }
  }
  return message;
}

// The first bytes of `text`, masked before they are cut so that a key across
// the cut cannot show all but its last characters.
std::string cutRedacted(std::string_view text, std::string_view secret) {
  std::string masked = redacted(std::string(text), secret);
  return redacted(text::repairUtf8(std::string_view(masked).substr(0, kMessageBytes)), secret);
}

bool isRedirect(const HTTPReply& reply) {
  return reply.status >= 300 && reply.status <= 399 && !reply.redirectURL.empty();
}

LLMError httpError(const HTTPReply& reply, std::string_view body, const std::string& secret) {
  std::string message = isRedirect(reply)
                            ? trFormat("o servidor redirecionou para %s; confira o endereço base.",
                                       cutRedacted(reply.redirectURL, secret))
                            : SSE::errorMessage(body, secret);
  return LLMError::http(static_cast<int>(reply.status), std::move(message));
}

// Lets an event handler's http error through without an echoed key.
[[noreturn]] void rethrowRedacted(const std::string& secret) {
  try {
    throw;
  } catch (const LLMError& error) {
    if (error.kind() != LLMError::Kind::http || !isSecret(secret)) throw;
    throw LLMError::http(error.status(), redacted(error.payload(), secret));
  }
}

// Whether the reply says it is an event stream, whatever its parameters.
bool isEventStream(std::string_view contentType) {
  std::string_view type = trimASCII(contentType.substr(0, contentType.find(';')));
  constexpr std::string_view kEventStream = "text/event-stream";
  return std::equal(type.begin(), type.end(), kEventStream.begin(), kEventStream.end(),
                    [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) == b; });
}

// The body of one event stream, read on the stream's producer thread.
void readEvents(const HTTPRequest& request, const SSE::EventHandler& onEvent, TextStream::Sink& sink) {
  SSE::LineReader reader(request.limits.maxLineBytes);
  // The pieces of one stretch of bytes reach the consumer together: one
  // wake-up per network read rather than per event.
  std::vector<std::string> pieces;
  bool sawEvent = false;
  size_t delivered = 0;
  auto onPayload = [&](std::string_view payload) {
    if (payload == "[DONE]") return false;
    auto event = parseJSON(payload);
    if (!event.is_object()) return true;
    sawEvent = true;
    std::optional<std::string> piece;
    try {
      piece = onEvent(event);
    } catch (...) {
      rethrowRedacted(request.secret);
    }
    if (piece && !piece->empty()) {
      delivered += piece->size();
      if (delivered > request.limits.maxReplyBytes)
        throw LLMError::unavailable(tr("A resposta do modelo passou do tamanho máximo e foi interrompida."));
      pieces.push_back(std::move(*piece));
    }
    return !sink.stopped();
  };
  // Runs when a stretch has been read, and also when an error ends it: what
  // came before the error stays delivered.
  struct Flush {
    std::vector<std::string>& pieces;
    TextStream::Sink& sink;
    ~Flush() { sink.yield(pieces); }
  };
  std::string errorBody;
  bool ended = false;  // "[DONE]" came, or the consumer went away
  HTTPReply reply;
  long status = HTTP::perform(
      request,
      [&](long status, std::string_view bytes) {
        if (!isSuccess(status)) {
          errorBody.append(bytes.substr(0, kErrorBodyLimit - errorBody.size()));
          return errorBody.size() < kErrorBodyLimit;
        }
        Flush flush{pieces, sink};
        ended = !reader.feed(bytes, onPayload);
        return !ended;
      },
      sink.stopToken(), &reply);
  if (sink.stopped() || ended) return;
  if (!isSuccess(status)) throw httpError(reply, errorBody, request.secret);
  {
    Flush flush{pieces, sink};
    if (!reader.finish(onPayload)) return;
  }
  // A proxy's login page or an empty body is no reply of a model, and must
  // not pass for empty notes.
  if (!sawEvent && !isEventStream(reply.contentType))
    throw LLMError::unavailable(tr("O servidor deu uma resposta inválida."));
}

}  // namespace

std::string SSE::url(std::string_view base, std::string_view path) {
  std::string trimmed = text::trimSpaces(base);
  auto first = trimmed.find_first_not_of('/');
  auto last = trimmed.find_last_not_of('/');
  std::string joined = first == std::string::npos ? std::string() : trimmed.substr(first, last - first + 1);
  joined.append(path);
  if (!isURL(joined)) throw LLMError::badURL(std::string(base));
  return joined;
}

TextStream SSE::events(HTTPRequest request, EventHandler onEvent) {
  return TextStream([request = std::move(request), onEvent = std::move(onEvent)](TextStream::Sink& sink) {
    readEvents(request, onEvent, sink);
  });
}

nlohmann::json SSE::json(const HTTPRequest& request) {
  std::string body;
  bool unreadable = false;
  JSONNesting nesting;
  HTTPReply reply;
  long status = HTTP::perform(
      request,
      [&](long status, std::string_view bytes) {
        // A body nested too deep is refused as it arrives, before it is kept.
        if (body.size() + bytes.size() > request.limits.maxLineBytes || (isSuccess(status) && !nesting.feed(bytes))) {
          unreadable = true;
          return false;
        }
        body.append(bytes);
        return true;
      },
      {}, &reply);
  if (!isSuccess(status)) throw httpError(reply, body, request.secret);
  auto parsed = unreadable ? nlohmann::json(nlohmann::json::value_t::discarded) : parseJSON(body);
  if (parsed.is_discarded())
    throw std::runtime_error(tr("Não foi possível ler os dados porque eles não estão no formato correto."));
  if (!parsed.is_object()) return nlohmann::json::object();
  return parsed;
}

std::vector<std::string> SSE::modelIDs(const nlohmann::json& object) {
  std::vector<std::string> ids;
  if (!object.is_object()) return ids;
  auto data = object.find("data");
  if (data == object.end() || !data->is_array()) return ids;
  for (const auto& entry : *data)
    if (entry.is_object())
      if (const std::string* id = stringMember(entry, "id")) ids.push_back(*id);
  std::sort(ids.begin(), ids.end());
  return ids;
}

std::string SSE::errorMessage(std::string_view body, std::string_view secret) {
  auto parsed = parseJSON(body);
  if (parsed.is_object()) {
    if (const nlohmann::json* error = objectMember(parsed, "error"))
      if (const std::string* message = stringMember(*error, "message")) return redacted(*message, secret);
    if (const std::string* error = stringMember(parsed, "error")) return redacted(*error, secret);
    if (const std::string* message = stringMember(parsed, "message")) return redacted(*message, secret);
  }
  return cutRedacted(body, secret);
}

bool SSE::LineReader::feed(std::string_view bytes, const OnPayload& onPayload) {
  if (stopped_) return false;
  size_t at = 0;
  if (afterCR_ && !bytes.empty()) {
    if (bytes.front() == '\n') at = 1;
    afterCR_ = false;
  }
  while (at < bytes.size()) {
    size_t end = findLineEnd(bytes, at);
    if (end == std::string_view::npos) {
      absorb(bytes.substr(at));
      break;
    }
    std::string_view rest = bytes.substr(at, end - at);
    bool whole = lineLength_ == 0;  // the line lies inside this stretch: no copy
    if (!whole) absorb(rest);
    if (!endLine(whole ? rest : std::string_view(line_), onPayload)) return false;
    if (bytes[end] == '\r') {
      if (end + 1 == bytes.size()) afterCR_ = true;
      else if (bytes[end + 1] == '\n') ++end;
    }
    at = end + 1;
  }
  return true;
}

bool SSE::LineReader::finish(const OnPayload& onPayload) {
  if (stopped_ || lineLength_ == 0) return !stopped_;
  return endLine(line_, onPayload);
}

void SSE::LineReader::absorb(std::string_view bytes) {
  lineLength_ += bytes.size();
  if (skipping_) return;
  if (lineLength_ > maxLineBytes_) {
    skipping_ = true;
    std::string().swap(line_);
    return;
  }
  line_.append(bytes);
  size_t known = std::min(line_.size(), kData.size());
  if (line_.compare(0, known, kData.substr(0, known)) != 0) {
    skipping_ = true;
    line_.clear();
  }
}

bool SSE::LineReader::endLine(std::string_view line, const OnPayload& onPayload) {
  bool keepReading = true;
  bool isData = !skipping_ && line.size() <= maxLineBytes_ && line.substr(0, kData.size()) == kData;
  if (isData) {
    std::string_view payload = trimASCII(line.substr(kData.size()));
    std::string wide;
    if (!payload.empty() && (static_cast<unsigned char>(payload.front()) >= 0x80 ||
                             static_cast<unsigned char>(payload.back()) >= 0x80)) {
      // Other space separators (no-break space and the like) need ICU.
      wide = text::trimSpaces(payload);
      payload = wide;
    }
    keepReading = onPayload(payload);
  }
  if (line_.capacity() > kKeptLineCapacity) std::string().swap(line_);
  line_.clear();
  lineLength_ = 0;
  skipping_ = false;
  stopped_ = !keepReading;
  return keepReading;
}

}  // namespace quillet
