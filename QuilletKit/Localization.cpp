#include "QuilletKit/Localization.hpp"

#include <libintl.h>

#include <clocale>
#include <cstdlib>

namespace quillet {

static constexpr const char* kDomain = "quillet";

void setUpLocalization() {
  std::setlocale(LC_ALL, "");
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
