#pragma once
// The file operations that the store and the preferences write with, behind
// one interface so that tests can make any of them fail as a full disk or a
// failing device would.
//
// `Env::standard()` works on the real file system and lives for the whole
// process. Every Env is safe to use from several threads at once; a
// WritableFile is used by one thread at a time. Failures are thrown as
// std::filesystem::filesystem_error carrying the system's error code and the
// path the operation was given.
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillet {

// An open file; closed, and its lock released, when destroyed.
class WritableFile {
 public:
  virtual ~WritableFile() = default;
  // Writes all of `bytes` at the end of the file.
  virtual void append(std::string_view bytes) = 0;
  // Returns once the contents are on the device.
  virtual void sync() = 0;
  // The file's last byte; absent when it is empty.
  virtual std::optional<char> lastByte() = 0;
};

class Env {
 public:
  virtual ~Env() = default;
  static Env& standard();

  // Creates `path`, which must not exist, and holds it locked for this
  // process until the file is destroyed (see `removeIfAbandoned`).
  virtual std::unique_ptr<WritableFile> newWritableFile(const std::filesystem::path& path) = 0;
  // Opens `path` for appending, creating it when missing.
  virtual std::unique_ptr<WritableFile> newAppendableFile(const std::filesystem::path& path) = 0;
  // Replaces `to` with `from` in one step.
  virtual void renameFile(const std::filesystem::path& from, const std::filesystem::path& to) = 0;
  // Makes the entries of `folder` (a rename into it) survive a power loss.
  virtual void syncFolder(const std::filesystem::path& folder) = 0;
  // Removes `path`; a missing file or any failure is ignored.
  virtual void removeFile(const std::filesystem::path& path) noexcept = 0;
  // Removes `path` unless a live process holds it through `newWritableFile`.
  virtual void removeIfAbandoned(const std::filesystem::path& path) noexcept = 0;
  // The entry names of `folder`; empty when it cannot be listed.
  virtual std::vector<std::string> children(const std::filesystem::path& folder) noexcept = 0;
};

// Forwards every operation to `target`; derive and override what differs.
class EnvWrapper : public Env {
 public:
  explicit EnvWrapper(Env& target) : target_(target) {}
  std::unique_ptr<WritableFile> newWritableFile(const std::filesystem::path& path) override {
    return target_.newWritableFile(path);
  }
  std::unique_ptr<WritableFile> newAppendableFile(const std::filesystem::path& path) override {
    return target_.newAppendableFile(path);
  }
  void renameFile(const std::filesystem::path& from, const std::filesystem::path& to) override {
    target_.renameFile(from, to);
  }
  void syncFolder(const std::filesystem::path& folder) override { target_.syncFolder(folder); }
  void removeFile(const std::filesystem::path& path) noexcept override { target_.removeFile(path); }
  void removeIfAbandoned(const std::filesystem::path& path) noexcept override { target_.removeIfAbandoned(path); }
  std::vector<std::string> children(const std::filesystem::path& folder) noexcept override {
    return target_.children(folder);
  }

 private:
  Env& target_;
};

}  // namespace quillet
