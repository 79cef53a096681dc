#pragma once
// Where the freedesktop.org Trash keeps a folder moved into it: the home
// trash ($XDG_DATA_HOME/Trash) or the trash at the top of the folder's own
// file system (".Trash/<uid>" or ".Trash-<uid>"), found through the
// ".trashinfo" records that name its original path.
//
// Reads only; blocking; any thread; never throws.
#include <filesystem>
#include <optional>

namespace quillet {

struct Trash {
  Trash() = delete;

  // The trashed copy of `original` (an absolute path) moved there last,
  // absent when no trash holds one.
  static std::optional<std::filesystem::path> location(const std::filesystem::path& original);
};

}  // namespace quillet
