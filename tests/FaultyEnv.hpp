#pragma once
// An Env over the real file system that fails one kind of operation with a chosen error from its nth call on
// (for `times` calls), as a full disk, a failing device or a refusing file system would. A failing write stores
// half its bytes first. For one thread at a time.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <string>
#include <system_error>
#include <vector>

#include "QuilletKit/Env.hpp"

namespace quillet::test {

class FaultyEnv : public EnvWrapper {
 public:
  enum class Op { none, create, write, sync, rename, syncFolder };
  struct Fault {
    Op op;
    int error;
    std::string name() const { return std::to_string(static_cast<int>(op)) + ": " + std::strerror(error); }
  };
  // Every kind of failure a whole-file write can meet.
  static inline const std::vector<Fault> kFaults = {{Op::create, ENOSPC}, {Op::write, ENOSPC},
                                                    {Op::write, EIO},     {Op::sync, EIO},
                                                    {Op::rename, EIO},    {Op::syncFolder, EIO}};

  FaultyEnv() : EnvWrapper(Env::standard()) {}

  void failFrom(Op op, int error, int nth = 1, int times = 1 << 30) {
    op_ = op;
    error_ = error;
    nth_ = nth;
    times_ = times;
    calls_ = 0;
  }

  // Runs `write` through this Env: it must fail with the chosen error, naming `path`.
  void expectFailure(const std::function<void(Env&)>& write, const std::filesystem::path& path) {
    try {
      write(*this);
      ADD_FAILURE() << "no error";
    } catch (const std::filesystem::filesystem_error& error) {
      EXPECT_EQ(error.code(), std::error_code(error_, std::generic_category()));
      EXPECT_EQ(error.path1(), path);
    }
  }

  std::unique_ptr<WritableFile> newWritableFile(const std::filesystem::path& path) override {
    check(Op::create, path);
    return std::make_unique<File>(*this, EnvWrapper::newWritableFile(path), path);
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
  struct File : WritableFile {
    File(FaultyEnv& env, std::unique_ptr<WritableFile> file, std::filesystem::path path)
        : env(env), file(std::move(file)), path(std::move(path)) {}
    void append(std::string_view bytes) override {
      bool fails = env.trips(Op::write);
      file->append(fails ? bytes.substr(0, bytes.size() / 2) : bytes);
      if (fails) env.raise(path);
    }
    void sync() override {
      env.check(Op::sync, path);
      file->sync();
    }
    std::optional<char> lastByte() override { return file->lastByte(); }
    FaultyEnv& env;
    std::unique_ptr<WritableFile> file;
    std::filesystem::path path;
  };

  bool trips(Op op) { return op == op_ && ++calls_ >= nth_ && calls_ < nth_ + times_; }
  [[noreturn]] void raise(const std::filesystem::path& path) {
    throw std::filesystem::filesystem_error(std::generic_category().message(error_), path,
                                            std::error_code(error_, std::generic_category()));
  }
  void check(Op op, const std::filesystem::path& path) {
    if (trips(op)) raise(path);
  }

  Op op_ = Op::none;
  int error_ = 0, nth_ = 1, times_ = 0, calls_ = 0;
};

}  // namespace quillet::test
