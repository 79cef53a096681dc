#include "QuilletKit/Trash.hpp"

#include <glib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "QuilletKit/Files.hpp"
#include "QuilletKit/Paths.hpp"

namespace quillet {

namespace fs = std::filesystem;

namespace {

// The original path a ".trashinfo" record names, percent escapes undone;
// empty for a record that does not parse or escapes a NUL.
std::string recordedPath(const std::string& record) {
  g_autoptr(GKeyFile) keys = g_key_file_new();
  if (!g_key_file_load_from_data(keys, record.data(), record.size(), G_KEY_FILE_NONE, nullptr)) return {};
  g_autofree char* escaped = g_key_file_get_string(keys, "Trash Info", "Path", nullptr);
  g_autofree char* path = escaped ? g_uri_unescape_string(escaped, nullptr) : nullptr;
  return path ? path : "";
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
      std::string path = recordedPath(*record);
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
