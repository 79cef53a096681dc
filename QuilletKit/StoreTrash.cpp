// Moving a meeting to the Trash, kept apart from the rest of the store so that
// the tools that only read meetings do not load GIO.
#include <gio/gio.h>

#include <cerrno>

#include "QuilletKit/Store.hpp"

namespace quillet {

namespace fs = std::filesystem;

void Store::trash(const Meeting& meeting) const {
  GFile* file = g_file_new_for_path(meeting.folder.c_str());
  GError* error = nullptr;
  gboolean moved = g_file_trash(file, nullptr, &error);
  g_object_unref(file);
  if (!moved) {
    std::string message = error ? error->message : "trash failed";
    int code = error && error->code == G_IO_ERROR_NOT_FOUND ? ENOENT : EIO;
    if (error) g_error_free(error);
    throw fs::filesystem_error(message, meeting.folder, std::error_code(code, std::generic_category()));
  }
}

}  // namespace quillet
