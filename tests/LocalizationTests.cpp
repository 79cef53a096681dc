#include <gtest/gtest.h>

#include <functional>

#include "QuilletKit/Files.hpp"
#include "QuilletKit/LLMClient.hpp"
#include "QuilletKit/Localization.hpp"
#include "TestSupport.hpp"

using namespace quillet;
using namespace quillet::test;
namespace fs = std::filesystem;

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
    try {
      c.action();
      ADD_FAILURE() << c.text;
    } catch (const std::exception& error) {
      EXPECT_EQ(describe(error), c.text);
    }
  }
}

// The tool in English through its gettext catalog, and in Portuguese without.
TEST(EnglishMessages, FollowTheLanguageOfTheEnvironment) {
  TempDir dir;
  using Vars = std::map<std::string, std::string>;
  const std::vector<std::string> noMeeting = {"enhance", "/nonexistent"};
  for (auto [env, args, shown] : std::vector<std::tuple<Vars, std::vector<std::string>, std::string>>{
           {{{"LANGUAGE", "en"}}, {"doctor"}, "Chosen AI:    Claude (Anthropic) \u00B7 claude-opus-5-5 \u00B7 no key"},
           {{{"LANG", "en_US.UTF-8"}}, noMeeting, "no meta.json found in /nonexistent\n"},
           {{{"LC_MESSAGES", "en_GB.UTF-8"}, {"LANG", "pt_BR.UTF-8"}}, {}, "usage:\n"},
           {{{"LANG", "pt_BR.UTF-8"}}, noMeeting, "não achei meta.json em /nonexistent\n"},
           {{{"LANGUAGE", "en"}, {"QUILLET_LOCALEDIR", "/nonexistent"}}, noMeeting, "não achei meta.json em"},
           {{{"LC_ALL", "C"}}, {"doctor"}, "Notas:        "},
       }) {
    env.insert({{"HOME", dir.path().string()}, {"QUILLET_LOCALEDIR", QUILLET_CATALOG_DIR}});
    Outcome o = run(QUILLET_BINARY, args, env);
    EXPECT_NE((o.out + o.err).find(shown), std::string::npos) << o.out << o.err;
  }
}
