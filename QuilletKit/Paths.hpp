#pragma once
// The user's folders, from the XDG base-directory and user-dirs conventions.
// Read afresh from the environment on every call; nothing is created.
#include <filesystem>

namespace quillet::paths {

std::filesystem::path home();
// $XDG_CONFIG_HOME, else ~/.config.
std::filesystem::path configHome();
// $XDG_DATA_HOME, else ~/.local/share.
std::filesystem::path dataHome();
// XDG_DOCUMENTS_DIR of user-dirs.dirs, else ~/Documents.
std::filesystem::path documents();
// A leading "~" or "~/" replaced by the home folder.
std::filesystem::path expandingTilde(const std::string& path);

}  // namespace quillet::paths
