#include "QuilletKit/Files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

#include "QuilletKit/Uuid.hpp"

namespace quillet::files {

namespace fs = std::filesystem;

namespace {

struct Descriptor {
  int fd;
  ~Descriptor() {
    if (fd >= 0) ::close(fd);
  }
};

// Opened only when it is a regular file, so that a pipe never blocks us.
int openRegular(const fs::path& path, struct stat& info) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return -1;
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// ".name.<UUID>.tmp", the temporary name `writeAtomically` gives `name`.
bool isTemporaryOf(std::string_view entry, std::string_view name) {
  constexpr std::string_view kSuffix = ".tmp";
  constexpr size_t kUuidLength = 36;
  if (entry.size() != 1 + name.size() + 1 + kUuidLength + kSuffix.size()) return false;
  if (entry[0] != '.' || entry.substr(1, name.size()) != name || entry[1 + name.size()] != '.' ||
      !entry.ends_with(kSuffix))
    return false;
  return Uuid::parse(entry.substr(name.size() + 2, kUuidLength)).has_value();
}

}  // namespace

std::optional<std::string> read(const fs::path& path, size_t limit) {
  std::string bytes;
  if (!readInto(path, bytes, limit)) return std::nullopt;
  return bytes;
}

bool readInto(const fs::path& path, std::string& bytes, size_t limit) {
  struct stat info;
  Descriptor file{openRegular(path, info)};
  if (file.fd < 0 || static_cast<uint64_t>(info.st_size) > limit) return false;
  bytes.resize(static_cast<size_t>(info.st_size));
  size_t filled = 0;
  for (;;) {
    if (filled == bytes.size()) {
      // The file grew since fstat; one byte past the limit is enough to know.
      if (filled > limit) return false;
      bytes.resize(std::min(bytes.size() + 4096, limit + 1));
    }
    ssize_t n = ::read(file.fd, bytes.data() + filled, bytes.size() - filled);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) break;
    filled += static_cast<size_t>(n);
  }
  if (filled > limit) return false;
  bytes.resize(filled);
  return true;
}

bool forEachLine(const fs::path& path, size_t lineLimit, std::string& buffer,
                 const std::function<void(std::string_view)>& visit) {
  constexpr size_t kChunk = size_t{256} << 10;
  struct stat info;
  Descriptor file{openRegular(path, info)};
  if (file.fd < 0) return false;
  const size_t window = std::max(kChunk, lineLimit + 1);
  if (buffer.size() < kChunk) buffer.resize(kChunk);
  size_t begin = 0, end = 0;  // the unfinished line
  bool skipping = false;      // inside a line over the limit
  for (;;) {
    if (end == buffer.size()) {
      if (begin > 0) {
        std::memmove(buffer.data(), buffer.data() + begin, end - begin);
        end -= begin;
        begin = 0;
      } else {
        buffer.resize(std::min(buffer.size() * 2, window));
      }
    }
    ssize_t n = ::read(file.fd, buffer.data() + end, buffer.size() - end);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    size_t scan = end;
    end += static_cast<size_t>(n);
    while (const void* found = std::memchr(buffer.data() + scan, '\n', end - scan)) {
      size_t at = static_cast<size_t>(static_cast<const char*>(found) - buffer.data());
      if (!skipping && at - begin <= lineLimit) visit(std::string_view(buffer.data() + begin, at - begin));
      skipping = false;
      begin = scan = at + 1;
    }
    if (!skipping && end - begin > lineLimit) skipping = true;
    if (skipping) {
      begin = end = 0;
      // A hole in a sparse file holds no line feed: go on at the next data.
      off_t here = ::lseek(file.fd, 0, SEEK_CUR);
      if (here >= 0 && ::lseek(file.fd, here, SEEK_DATA) < 0 && errno == ENXIO) break;
    }
  }
  if (!skipping && begin < end && end - begin <= lineLimit)
    visit(std::string_view(buffer.data() + begin, end - begin));
  return true;
}

void removeAbandonedTemporaries(const fs::path& path, Env& env) {
  const std::string name = path.filename().string();
  const fs::path folder = path.parent_path();
  for (const std::string& entry : env.children(folder))
    if (isTemporaryOf(entry, name)) env.removeIfAbandoned(folder / entry);
}

void writeAtomically(const fs::path& path, std::string_view bytes, Env& env) {
  const fs::path folder = path.parent_path();
  try {
    removeAbandonedTemporaries(path, env);
    const fs::path temporary = folder / ("." + path.filename().string() + "." + Uuid::random().string() + ".tmp");
    // Held open, and so locked as ours, until the new content is in place.
    std::unique_ptr<WritableFile> file = env.newWritableFile(temporary);
    try {
      file->append(bytes);
      file->sync();
      env.renameFile(temporary, path);
    } catch (...) {
      env.removeFile(temporary);
      throw;
    }
    env.syncFolder(folder);
  } catch (const fs::filesystem_error& error) {
    // The user knows the file, not its temporary name.
    if (error.path1() == path) throw;
    throw fs::filesystem_error(error.code().message(), path, error.code());
  }
}

size_t readers(size_t folders) {
  return std::min<size_t>({std::max(1u, std::thread::hardware_concurrency()), kMaxReaders,
                           folders / kFoldersPerReader + 1});
}

std::vector<std::jthread> startThreads(size_t count, const std::function<void()>& work) {
  std::vector<std::jthread> threads;
  threads.reserve(count);
  try {
    for (size_t i = 0; i < count; ++i) threads.emplace_back(work);
  } catch (const std::system_error&) {
  }
  return threads;
}

}  // namespace quillet::files
