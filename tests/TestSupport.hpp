#pragma once
// Shared helpers of the test suite: throw-away folders and small builders.
#include <filesystem>
#include <fstream>
#include <string>

#include "QuilletKit/Meeting.hpp"

namespace quillet::test {

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "quillet-test-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all, ignored);
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

inline void writeFile(const std::filesystem::path& path, const std::string& bytes) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

inline std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline Segment segment(Speaker who, double start, double end, std::string text) {
  return Segment{Uuid::random(), who, start, end, std::move(text)};
}

inline MeetingMeta meta(std::string title, const char* iso = "2025-03-01T14:05:00Z") {
  MeetingMeta m;
  m.id = Uuid::random();
  m.title = std::move(title);
  m.start = *parseISO8601(iso);
  m.language = MeetingLanguage::pt();
  return m;
}

}  // namespace quillet::test
