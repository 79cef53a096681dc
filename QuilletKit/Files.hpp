#pragma once
// Whole-file reading and atomic whole-file writing. Stateless, thread-safe.
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace quillet::files {

// The bytes of a regular file; absent when it is missing, unreadable or not a
// regular file (a folder or a pipe never blocks or throws here).
std::optional<std::string> read(const std::filesystem::path& path);
// The same into `bytes`, whose memory is reused: reading many files one
// after another then costs no fresh pages. False where `read` is absent.
bool readInto(const std::filesystem::path& path, std::string& bytes);

// Replaces `path` with `bytes` so that readers see the old or the new content,
// never a mix: a temporary file in the same folder is written, synced and
// renamed over it. Throws std::system_error; on failure `path` is untouched.
void writeAtomically(const std::filesystem::path& path, std::string_view bytes);

// Writes all of `bytes` to `fd`, retrying short writes; throws std::system_error.
void writeAll(int fd, std::string_view bytes, const std::filesystem::path& path);

}  // namespace quillet::files
