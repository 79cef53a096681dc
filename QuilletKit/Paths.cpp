#include "QuilletKit/Paths.hpp"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>

#include "QuilletKit/Files.hpp"

namespace quillet::paths {

namespace fs = std::filesystem;

static fs::path fromVariable(const char* name) {
  const char* value = std::getenv(name);
  // The base-directory convention ignores relative values.
  if (value && *value == '/') return value;
  return {};
}

fs::path home() {
  const char* value = std::getenv("HOME");
  if (value && *value) return value;
  if (const passwd* entry = getpwuid(getuid()); entry && entry->pw_dir) return entry->pw_dir;
  return "/";
}

fs::path configHome() {
  fs::path p = fromVariable("XDG_CONFIG_HOME");
  return p.empty() ? home() / ".config" : p;
}

fs::path dataHome() {
  fs::path p = fromVariable("XDG_DATA_HOME");
  return p.empty() ? home() / ".local" / "share" : p;
}

// One line of user-dirs.dirs: XDG_DOCUMENTS_DIR="$HOME/Documentos".
static fs::path documentsFromUserDirs() {
  auto contents = files::read(configHome() / "user-dirs.dirs", files::kSmallFileLimit);
  if (!contents) return {};
  std::istringstream lines(*contents);
  std::string line;
  const std::string key = "XDG_DOCUMENTS_DIR=\"";
  while (std::getline(lines, line)) {
    if (line.rfind(key, 0) != 0) continue;
    auto close = line.rfind('"');
    if (close == std::string::npos || close < key.size()) continue;
    std::string value = line.substr(key.size(), close - key.size());
    if (value.rfind("$HOME", 0) == 0) return home().string() + value.substr(5);
    if (!value.empty() && value[0] == '/') return value;
  }
  return {};
}

fs::path documents() {
  fs::path p = documentsFromUserDirs();
  return p.empty() ? home() / "Documents" : p;
}

fs::path expandingTilde(const std::string& path) {
  if (path == "~") return home();
  if (path.rfind("~/", 0) == 0) return home() / path.substr(2);
  return path;
}

}  // namespace quillet::paths
