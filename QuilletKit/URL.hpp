#pragma once
// URLs as libcurl reads them, for the checks made before a request is sent
// and before a link is shown. Value type; nothing here throws or keeps state,
// so any thread may call it. Internal; not installed.
#include <optional>
#include <string>
#include <string_view>

namespace quillet {

struct URL {
  // The schemes that a parse accepts: those libcurl can fetch, or any.
  enum class Schemes { fetchable, any };

  std::string host;  // empty when libcurl finds none

  // Absent when libcurl does not read `text` as a URL of those schemes.
  static std::optional<URL> parse(const std::string& text, Schemes schemes = Schemes::fetchable);
  // The RFC 3986 scheme before the first colon, lower-cased; empty when
  // there is none.
  static std::string scheme(std::string_view text);
  // Whether a scheme is followed by "//": libcurl would read "https:/v1"
  // as the host "v1", which nobody meant.
  static bool hasAuthority(std::string_view text);
};

}  // namespace quillet
