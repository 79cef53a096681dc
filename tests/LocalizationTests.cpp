#include <gtest/gtest.h>

#include "TestSupport.hpp"

using namespace quillet::test;

// The tool in English through its gettext catalog, and in Portuguese without.
TEST(EnglishMessages, FollowTheLanguageOfTheEnvironment) {
  TempDir dir;
  using Vars = std::map<std::string, std::string>;
  const std::vector<std::string> noMeeting = {"enhance", "/nonexistent"};
  for (auto [env, args, shown] : std::vector<std::tuple<Vars, std::vector<std::string>, std::string>>{
           {{{"LANGUAGE", "en"}}, {"doctor"}, "Chosen AI:    Claude (Anthropic) \u00B7 claude-opus-5-5 \u00B7 no key"},
           {{{"LANG", "en_US.UTF-8"}}, noMeeting, "no meta.json found in /nonexistent\n"},
           {{{"LANGUAGE", "en"}, {"QUILLET_LOCALEDIR", "/nonexistent"}}, noMeeting, "não achei meta.json em"},
           {{{"LC_ALL", "C"}}, {"doctor"}, "Notas:        "},
       }) {
    env.insert({{"HOME", dir.path().string()}, {"QUILLET_LOCALEDIR", QUILLET_CATALOG_DIR}});
    Outcome o = run(QUILLET_BINARY, args, env);
    EXPECT_NE((o.out + o.err).find(shown), std::string::npos) << o.out << o.err;
  }
}
