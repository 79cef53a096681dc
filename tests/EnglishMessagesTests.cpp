// The tool in English through its gettext catalog, and in Portuguese without.
#include <gtest/gtest.h>

#include "TestSupport.hpp"

using namespace quillet::test;

TEST(EnglishMessages, FollowTheLanguageOfTheEnvironment) {
  TempDir dir;
  using Env = std::map<std::string, std::string>;
  using Words = std::vector<std::string>;
  const Words noMeeting = {"enhance", "/nonexistent"};
  for (auto [env, args, shown] : std::vector<std::tuple<Env, Words, Words>>{
           {{{"LANGUAGE", "en"}},
            {"doctor"},
            {"Notes:        ", "Chosen AI:    Claude (Anthropic) \u00B7 claude-opus-5-5 \u00B7 no key",
             "Calendar:     no access"}},
           {{{"LANG", "en_US.UTF-8"}}, noMeeting, {"no meta.json found in /nonexistent\n"}},
           {{{"LC_MESSAGES", "en_GB.UTF-8"}, {"LANG", "pt_BR.UTF-8"}}, {}, {"usage:\n"}},
           {{{"LANG", "pt_BR.UTF-8"}}, noMeeting, {"não achei meta.json em /nonexistent\n"}},
           {{{"LANGUAGE", "en"}, {"QUILLET_LOCALEDIR", "/nonexistent"}}, noMeeting, {"não achei meta.json em"}},
           {{{"LC_ALL", "C"}}, {"doctor"}, {"Notas:        "}},
       }) {
    env.insert({{"HOME", dir.path().string()},
                {"XDG_CONFIG_HOME", (dir.path() / "config").string()},
                {"XDG_DATA_HOME", (dir.path() / "data").string()},
                {"QUILLET_LOCALEDIR", QUILLET_CATALOG_DIR}});
    Outcome o = run(QUILLET_BINARY, args, env);
    for (const auto& text : shown) EXPECT_NE((o.out + o.err).find(text), std::string::npos) << o.out << o.err;
  }
}
