#include "QuilletKit/Trash.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <string>
#include <vector>

#include "QuilletKit/Files.hpp"
#include "QuilletKit/Paths.hpp"
#include "QuilletKit/Text.hpp"

namespace quillet {

namespace fs = std::filesystem;

namespace {

// "%20" and friends undone, as the records escape their paths.
std::string unescaped(std::string_view s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size() && std::isxdigit(static_cast<unsigned char>(s[i + 1])) &&
        std::isxdigit(static_cast<unsigned char>(s[i + 2]))) {
      out.push_back(static_cast<char>(std::stoi(std::string(s.substr(i + 1, 2)), nullptr, 16)));
      i += 2;
    } else {
      out.push_back(s[i]);
    }
  }
  return out;
}

// The value of `key` in a record's lines.
std::string value(const std::string& record, std::string_view key) {
  std::string found;
  text::forEachLine(record, [&](std::string_view line) {
    if (found.empty() && line.starts_with(key) && line.size() > key.size() && line[key.size()] == '=')
      found = std::string(line.substr(key.size() + 1));
  });
  return found;
}

// The top of the file system that holds `path`.
fs::path mountTop(const fs::path& path) {
  struct stat here;
  if (::stat(path.c_str(), &here) != 0) return {};
  fs::path top = path;
  while (top.has_relative_path()) {
    struct stat above;
    if (::stat(top.parent_path().c_str(), &above) != 0 || above.st_dev != here.st_dev) break;
    top = top.parent_path();
  }
  return top;
}

}  // namespace

std::optional<fs::path> Trash::location(const fs::path& original) {
  const std::string uid = std::to_string(::getuid());
  const fs::path top = mountTop(original.parent_path());
  // Each trash with the path its records give for `original`.
  std::vector<std::pair<fs::path, std::string>> trashes = {{paths::dataHome() / "Trash", original.string()}};
  if (!top.empty()) {
    std::string relative = original.lexically_relative(top).string();
    trashes.push_back({top / ".Trash" / uid, relative});
    trashes.push_back({top / (".Trash-" + uid), relative});
  }
  std::optional<fs::path> newest;
  fs::file_time_type newestTime;
  const std::string stem = original.filename().string().substr(0, original.filename().string().find('.'));
  for (const auto& [trash, recorded] : trashes) {
    std::error_code error;
    for (fs::directory_iterator it(trash / "info", error), end; !error && it != end; it.increment(error)) {
      std::string name = it->path().filename().string();
      // Trashed names are the original's, perhaps with a number added.
      if (!name.starts_with(stem) || !name.ends_with(".trashinfo")) continue;
      auto record = files::read(it->path(), files::kSmallFileLimit);
      if (!record) continue;
      std::string path = unescaped(value(*record, "Path"));
      if (path != recorded && path != original.string()) continue;
      // The record's own time: its deletion date keeps whole seconds only.
      std::error_code unreadable;
      fs::file_time_type written = fs::last_write_time(it->path(), unreadable);
      if (unreadable) continue;
      fs::path kept = trash / "files" / name.substr(0, name.size() - std::string_view(".trashinfo").size());
      if (!newest || written >= newestTime) {
        newest = kept;
        newestTime = written;
      }
    }
  }
  return newest;
}

}  // namespace quillet
