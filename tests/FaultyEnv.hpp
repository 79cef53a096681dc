#pragma once
// An Env over the real file system that fails one kind of operation with a
// chosen error from its nth call on, as a full disk, a failing device or a
// refusing file system would. A failing write stores half its bytes first.
#include <cerrno>
#include <mutex>
#include <system_error>

#include "QuilletKit/Env.hpp"

namespace quillet::test {

class FaultyEnv : public EnvWrapper {
 public:
  enum class Op { none, create, write, sync, rename, syncFolder };

  FaultyEnv() : EnvWrapper(Env::standard()) {}

  void failFrom(Op op, int error, int nth = 1) {
    std::lock_guard lock(mutex_);
    op_ = op;
    error_ = error;
    nth_ = nth;
    calls_ = 0;
  }

  std::unique_ptr<WritableFile> newWritableFile(const std::filesystem::path& path) override {
    check(Op::create, path);
    return std::make_unique<File>(*this, EnvWrapper::newWritableFile(path), path);
  }
  std::unique_ptr<WritableFile> newAppendableFile(const std::filesystem::path& path) override {
    check(Op::create, path);
    return std::make_unique<File>(*this, EnvWrapper::newAppendableFile(path), path);
  }
  void renameFile(const std::filesystem::path& from, const std::filesystem::path& to) override {
    check(Op::rename, to);
    EnvWrapper::renameFile(from, to);
  }
  void syncFolder(const std::filesystem::path& folder) override {
    check(Op::syncFolder, folder);
    EnvWrapper::syncFolder(folder);
  }

 private:
  class File : public WritableFile {
   public:
    File(FaultyEnv& env, std::unique_ptr<WritableFile> file, std::filesystem::path path)
        : env_(env), file_(std::move(file)), path_(std::move(path)) {}
    void append(std::string_view bytes) override {
      if (env_.trips(Op::write)) {
        file_->append(bytes.substr(0, bytes.size() / 2));
        env_.raise(path_);
      }
      file_->append(bytes);
    }
    void sync() override {
      env_.check(Op::sync, path_);
      file_->sync();
    }
    std::optional<char> lastByte() override { return file_->lastByte(); }

   private:
    FaultyEnv& env_;
    std::unique_ptr<WritableFile> file_;
    std::filesystem::path path_;
  };

  bool trips(Op op) {
    std::lock_guard lock(mutex_);
    return op == op_ && ++calls_ >= nth_;
  }
  [[noreturn]] void raise(const std::filesystem::path& path) {
    throw std::filesystem::filesystem_error(std::generic_category().message(error_), path,
                                            std::error_code(error_, std::generic_category()));
  }
  void check(Op op, const std::filesystem::path& path) {
    if (trips(op)) raise(path);
  }

  std::mutex mutex_;
  Op op_ = Op::none;
  int error_ = 0, nth_ = 1, calls_ = 0;
};

}  // namespace quillet::test
