#include "QuilletKit/Files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "QuilletKit/Uuid.hpp"

namespace quillet::files {

namespace {

[[noreturn]] void throwErrno(const std::filesystem::path& path, int error) {
  throw std::filesystem::filesystem_error(std::generic_category().message(error), path,
                                          std::error_code(error, std::generic_category()));
}

struct Descriptor {
  int fd;
  ~Descriptor() {
    if (fd >= 0) ::close(fd);
  }
};

}  // namespace

std::optional<std::string> read(const std::filesystem::path& path) {
  std::string bytes;
  if (!readInto(path, bytes)) return std::nullopt;
  return bytes;
}

bool readInto(const std::filesystem::path& path, std::string& bytes) {
  Descriptor file{::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK)};
  if (file.fd < 0) return false;
  struct stat info;
  if (::fstat(file.fd, &info) != 0 || !S_ISREG(info.st_mode)) return false;
  bytes.resize(static_cast<size_t>(info.st_size));
  size_t filled = 0;
  for (;;) {
    if (filled == bytes.size()) bytes.resize(bytes.size() + 4096);  // the file grew
    ssize_t n = ::read(file.fd, bytes.data() + filled, bytes.size() - filled);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) break;
    filled += static_cast<size_t>(n);
  }
  bytes.resize(filled);
  return true;
}

void writeAll(int fd, std::string_view bytes, const std::filesystem::path& path) {
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      throwErrno(path, errno);
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
}

void writeAtomically(const std::filesystem::path& path, std::string_view bytes) {
  std::filesystem::path temporary = path;
  std::string name(1, '.');
  name += path.filename().string();
  name += '.';
  name += Uuid::random().string();
  name += ".tmp";
  temporary.replace_filename(name);
  // Mode 0666 lets the umask decide, as for any file the user creates.
  Descriptor file{::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666)};
  if (file.fd < 0) throwErrno(path, errno);
  try {
    writeAll(file.fd, bytes, path);
    if (::fsync(file.fd) != 0) throwErrno(path, errno);
    int fd = file.fd;
    file.fd = -1;
    if (::close(fd) != 0) throwErrno(path, errno);
    if (::rename(temporary.c_str(), path.c_str()) != 0) throwErrno(path, errno);
  } catch (...) {
    ::unlink(temporary.c_str());
    throw;
  }
}

}  // namespace quillet::files
