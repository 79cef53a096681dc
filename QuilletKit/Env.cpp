#include "QuilletKit/Env.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace quillet {

namespace fs = std::filesystem;

namespace {

[[noreturn]] void throwErrno(const fs::path& path, int error) {
  throw fs::filesystem_error(std::generic_category().message(error), path,
                             std::error_code(error, std::generic_category()));
}

class PosixFile final : public WritableFile {
 public:
  PosixFile(int fd, fs::path path) : fd_(fd), path_(std::move(path)) {}
  ~PosixFile() override { ::close(fd_); }

  void append(std::string_view bytes) override {
    while (!bytes.empty()) {
      ssize_t n = ::write(fd_, bytes.data(), bytes.size());
      if (n < 0) {
        if (errno == EINTR) continue;
        throwErrno(path_, errno);
      }
      bytes.remove_prefix(static_cast<size_t>(n));
    }
  }

  void sync() override {
    if (::fsync(fd_) != 0) throwErrno(path_, errno);
  }

  std::optional<char> lastByte() override {
    struct stat info;
    if (::fstat(fd_, &info) != 0) throwErrno(path_, errno);
    if (info.st_size == 0) return std::nullopt;
    char last = 0;
    if (::pread(fd_, &last, 1, info.st_size - 1) != 1) throwErrno(path_, errno ? errno : EIO);
    return last;
  }

 private:
  int fd_;
  fs::path path_;
};

int lock(int fd, int how) {
  int result;
  while ((result = ::flock(fd, how)) != 0 && errno == EINTR) {
  }
  return result;
}

class PosixEnv final : public Env {
 public:
  std::unique_ptr<WritableFile> newWritableFile(const fs::path& path) override {
    // A remover may take the name between our create and our lock; the file
    // we then hold has no name left, so make it again.
    for (int attempt = 0; attempt < 8; ++attempt) {
      int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      if (fd < 0) throwErrno(path, errno);
      // Where the file system has no locks, removers cannot lock either and
      // so leave the file alone.
      lock(fd, LOCK_EX);
      struct stat info;
      if (::fstat(fd, &info) == 0 && info.st_nlink > 0) return std::make_unique<PosixFile>(fd, path);
      ::close(fd);
    }
    throwErrno(path, ENOENT);
  }

  std::unique_ptr<WritableFile> newAppendableFile(const fs::path& path) override {
    // Read access only for the last byte.
    int fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) throwErrno(path, errno);
    return std::make_unique<PosixFile>(fd, path);
  }

  void renameFile(const fs::path& from, const fs::path& to) override {
    if (::rename(from.c_str(), to.c_str()) != 0) throwErrno(to, errno);
  }

  void syncFolder(const fs::path& folder) override {
    int fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) throwErrno(folder, errno);
    int result = ::fsync(fd);
    int error = errno;
    ::close(fd);
    // Some file systems cannot sync a folder at all; that is no failure of ours.
    if (result != 0 && error != EINVAL && error != ENOTSUP) throwErrno(folder, error);
  }

  void removeFile(const fs::path& path) noexcept override { ::unlink(path.c_str()); }

  void removeIfAbandoned(const fs::path& path) noexcept override {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return;
    struct stat held, named;
    // The writer's lock goes with its process, so a lock we can take means
    // nobody is writing this file any more.
    if (::fstat(fd, &held) == 0 && S_ISREG(held.st_mode) && lock(fd, LOCK_EX | LOCK_NB) == 0 &&
        ::lstat(path.c_str(), &named) == 0 && named.st_dev == held.st_dev && named.st_ino == held.st_ino)
      ::unlink(path.c_str());
    ::close(fd);
  }

  std::vector<std::string> children(const fs::path& folder) noexcept override {
    std::vector<std::string> names;
    DIR* dir = ::opendir(folder.empty() ? "." : folder.c_str());
    if (!dir) return names;
    try {
      while (const dirent* entry = ::readdir(dir)) {
        std::string_view name = entry->d_name;
        if (name != "." && name != "..") names.emplace_back(name);
      }
    } catch (...) {
      names.clear();
    }
    ::closedir(dir);
    return names;
  }
};

}  // namespace

Env& Env::standard() {
  static PosixEnv env;
  return env;
}

}  // namespace quillet
