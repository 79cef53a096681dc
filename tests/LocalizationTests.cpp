#include <gtest/gtest.h>

#include <functional>

#include "QuilletKit/Files.hpp"
#include "QuilletKit/LLMClient.hpp"
#include "QuilletKit/Localization.hpp"

using namespace quillet;
namespace fs = std::filesystem;

namespace {

std::string describeFailureOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const std::exception& error) {
    return describe(error);
  }
  return "(no failure)";
}

}  // namespace

// The system's reason and the path once, however the error was made.
TEST(Localization, DescribesFileErrorsOnce) {
  const std::string missing = "/nonexistent/quillet/notas.md";
  std::error_code full(ENOSPC, std::generic_category());
  struct Case {
    std::function<void()> action;
    std::string text;
  };
  for (const Case& c : std::vector<Case>{
           {[&] { files::writeAtomically(missing, "x"); }, missing + ": No such file or directory"},
           {[&] { throw fs::filesystem_error(full.message(), missing, full); }, missing + ": No space left on device"},
           {[&] { throw fs::filesystem_error("rename", "/a", "/b", full); }, "/a, /b: No space left on device"},
           {[&] { (void)fs::file_size(missing); }, missing + ": No such file or directory"},
           {[] { throw LLMError::http(401, "bad key"); }, "HTTP 401: bad key"},
       }) {
    EXPECT_EQ(describeFailureOf(c.action), c.text);
  }
}
