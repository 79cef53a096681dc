#pragma once
// Bounded whole-file and line-by-line reading, and atomic whole-file writing.
// Stateless, thread-safe.
//
// No read trusts the size a file reports: a sparse file can claim any size,
// so each kind of file has a bound and what exceeds it counts as unreadable.
#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "QuilletKit/Env.hpp"

namespace quillet::files {

// Far above anything the product writes, far below what would hurt.
inline constexpr size_t kSmallFileLimit = size_t{4} << 20;   // metadata, preferences, user-dirs.dirs
inline constexpr size_t kTextFileLimit = size_t{64} << 20;   // notes and other text files
inline constexpr size_t kLineLimit = size_t{4} << 20;        // one transcript line

// Reading a store's folders on several threads: every core, up to a bound,
// and one thread per so many folders, since a small store is read at once.
inline constexpr size_t kMaxReaders = 8;
inline constexpr size_t kFoldersPerReader = 32;

// The bytes of a regular file; absent when it is missing, unreadable, not a
// regular file (a folder or a pipe never blocks or throws here) or longer
// than `limit` bytes.
std::optional<std::string> read(const std::filesystem::path& path, size_t limit = kTextFileLimit);
// The same into `bytes`, whose memory is reused: reading many files one
// after another then costs no fresh pages. False where `read` is absent.
bool readInto(const std::filesystem::path& path, std::string& bytes, size_t limit);

// Calls `visit` with each line of a regular file in order, without its line
// feed, the last one also when no line feed ends it. Lines longer than
// `lineLimit` bytes are skipped whole, so memory stays bounded whatever the
// file holds. `buffer` is working memory, reused across calls. False when
// the file cannot be opened as a regular file.
bool forEachLine(const std::filesystem::path& path, size_t lineLimit, std::string& buffer,
                 const std::function<void(std::string_view)>& visit);

// Replaces `path` with `bytes` so that readers see the old or the new content,
// never a mix, and the new content survives a power loss once this returns: a
// temporary file ".name.UUID.tmp" in the same folder is written, synced and
// renamed over it, then the folder is synced. Temporary files of `path` that
// killed writers left behind are removed first. Throws
// std::filesystem::filesystem_error naming `path`; a failure before the
// rename leaves `path` untouched and no temporary file behind.
void writeAtomically(const std::filesystem::path& path, std::string_view bytes, Env& env = Env::standard());
// Removes the temporary files of `path` whose writers are gone.
void removeAbandonedTemporaries(const std::filesystem::path& path, Env& env = Env::standard());

// How many threads are worth reading `folders` folders at once, the calling
// one included.
size_t readers(size_t folders);
// Up to `count` threads running `work`. Past the process limit, those that
// started, perhaps none: the caller then does the work itself.
std::vector<std::jthread> startThreads(size_t count, const std::function<void()>& work);

}  // namespace quillet::files
