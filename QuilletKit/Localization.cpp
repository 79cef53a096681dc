#include "QuilletKit/Localization.hpp"

#include <libintl.h>

#include <unistd.h>

#include <clocale>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

namespace quillet {

static constexpr const char* kDomain = "quillet";

namespace {

bool isPlainC(const char* locale) {
  return !locale || std::strcmp(locale, "C") == 0 || std::strcmp(locale, "POSIX") == 0;
}

// The catalogs installed with this program: found from where the executable
// is, so that a tree installed or unpacked under another prefix still speaks
// its languages; the folder configured at build time otherwise.
std::string catalogFolder() {
  if (const char* dir = std::getenv("QUILLET_LOCALEDIR"); dir && *dir) return dir;
  namespace fs = std::filesystem;
  char buffer[4096];
  ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return QUILLET_LOCALEDIR;
  fs::path folder = fs::path(std::string(buffer, static_cast<size_t>(n))).parent_path();
  // The full program sits in <libexec>/quillet, the front end in <bin>.
  fs::path fromHere = folder.filename() == "quillet" ? QUILLET_LOCALEDIR_FROM_LIBEXEC : QUILLET_LOCALEDIR_FROM_BIN;
  std::error_code error;
  fs::path candidate = (folder / fromHere).lexically_normal();
  if (fs::is_directory(candidate, error)) return candidate.string();
  return QUILLET_LOCALEDIR;
}

}  // namespace

void setUpLocalization() {
  const char* chosen = std::setlocale(LC_ALL, "");
  // gettext ignores LANGUAGE under the plain C locale, and a locale that is
  // not installed leaves us there: use C.UTF-8 and ask for the language by
  // name, so messages still follow the user's language.
  if (!chosen || isPlainC(std::setlocale(LC_MESSAGES, nullptr))) {
    const char* language = std::getenv("LANGUAGE");
    std::string wanted = localeFromEnvironment("LC_MESSAGES").value_or("");
    if ((language && *language) || (!wanted.empty() && wanted != "C" && wanted != "POSIX")) {
      if (std::setlocale(LC_ALL, "C.UTF-8") && !(language && *language)) setenv("LANGUAGE", wanted.c_str(), 1);
    }
  }
  // Numbers must keep their C form in JSON and in the "%.1f" timings.
  std::setlocale(LC_NUMERIC, "C");
  bindtextdomain(kDomain, catalogFolder().c_str());
  bind_textdomain_codeset(kDomain, "UTF-8");
}

std::optional<std::string> localeFromEnvironment(const char* category) {
  for (const char* name : {"LC_ALL", category, "LANG"}) {
    const char* value = std::getenv(name);
    if (!value || !*value) continue;
    std::string locale = value;
    return locale.substr(0, locale.find_first_of(".@"));
  }
  return std::nullopt;
}

std::string tr(const char* portuguese) { return dgettext(kDomain, portuguese); }

std::string describe(const std::exception& error) {
  const auto* failure = dynamic_cast<const std::filesystem::filesystem_error*>(&error);
  if (!failure) return error.what();
  std::string paths = failure->path1().string();
  if (!failure->path2().empty()) paths += (paths.empty() ? "" : ", ") + failure->path2().string();
  return paths.empty() ? failure->code().message() : paths + ": " + failure->code().message();
}

std::string trFormat(const char* format, const std::string& a) {
  std::string text = tr(format);
  auto at = text.find("%s");
  if (at != std::string::npos) text.replace(at, 2, a);
  return text;
}

}  // namespace quillet
