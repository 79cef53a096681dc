#include "QuilletKit/Localization.hpp"

#include <libintl.h>

#include <clocale>
#include <cstdlib>
#include <cstring>
#include <string>

namespace quillet {

static constexpr const char* kDomain = "quillet";

namespace {

// The language the environment asks messages in ("en" of "en_US.UTF-8").
std::string messagesLanguage() {
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(name);
    if (value && *value) return std::string(value).substr(0, std::string(value).find_first_of(".@"));
  }
  return {};
}

bool isPlainC(const char* locale) {
  return !locale || std::strcmp(locale, "C") == 0 || std::strcmp(locale, "POSIX") == 0;
}

}  // namespace

void setUpLocalization() {
  const char* chosen = std::setlocale(LC_ALL, "");
  // gettext ignores LANGUAGE under the plain C locale, and a locale that is
  // not installed leaves us there: use C.UTF-8 and ask for the language by
  // name, so messages still follow the user's language.
  if (!chosen || isPlainC(std::setlocale(LC_MESSAGES, nullptr))) {
    const char* language = std::getenv("LANGUAGE");
    std::string wanted = messagesLanguage();
    if ((language && *language) || (!wanted.empty() && wanted != "C" && wanted != "POSIX")) {
      if (std::setlocale(LC_ALL, "C.UTF-8") && !(language && *language)) setenv("LANGUAGE", wanted.c_str(), 1);
    }
  }
  // Numbers must keep their C form in JSON and in the "%.1f" timings.
  std::setlocale(LC_NUMERIC, "C");
  const char* dir = std::getenv("QUILLET_LOCALEDIR");
  bindtextdomain(kDomain, dir && *dir ? dir : QUILLET_LOCALEDIR);
  bind_textdomain_codeset(kDomain, "UTF-8");
}

std::string tr(const char* portuguese) { return dgettext(kDomain, portuguese); }

std::string trFormat(const char* format, const std::string& a) {
  std::string text = tr(format);
  auto at = text.find("%s");
  if (at != std::string::npos) text.replace(at, 2, a);
  return text;
}

}  // namespace quillet
