#include "QuilletKit/URL.hpp"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <memory>

namespace quillet {

namespace {

bool isSchemeCharacter(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.';
}

}  // namespace

std::optional<URL> URL::parse(const std::string& text, Schemes schemes) {
  std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> parsed(curl_url(), curl_url_cleanup);
  if (!parsed) return std::nullopt;
  unsigned flags = schemes == Schemes::any ? CURLU_NON_SUPPORT_SCHEME : 0;
  if (curl_url_set(parsed.get(), CURLUPART_URL, text.c_str(), flags) != CURLUE_OK) return std::nullopt;
  URL url;
  char* host = nullptr;
  if (curl_url_get(parsed.get(), CURLUPART_HOST, &host, 0) == CURLUE_OK && host) url.host = host;
  curl_free(host);
  return url;
}

std::string URL::scheme(std::string_view text) {
  auto colon = text.find(':');
  if (colon == 0 || colon == std::string_view::npos || !std::isalpha(static_cast<unsigned char>(text[0]))) return {};
  std::string scheme(text.substr(0, colon));
  if (!std::all_of(scheme.begin(), scheme.end(), isSchemeCharacter)) return {};
  for (char& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return scheme;
}

bool URL::hasAuthority(std::string_view text) {
  std::string_view rest = text.substr(scheme(text).size());
  return rest.size() != text.size() && rest.starts_with("://");
}

}  // namespace quillet
