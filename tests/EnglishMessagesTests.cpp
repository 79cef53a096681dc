// The tool in English through its gettext catalog, and in Portuguese without.
#include <gtest/gtest.h>

#include "TestSupport.hpp"

using namespace quillet::test;

TEST(EnglishMessages, FollowTheLanguageOfTheEnvironment) {
  TempDir dir;
  auto tool = [&](const std::vector<std::string>& args, std::map<std::string, std::string> env) {
    env.insert({{"HOME", dir.path().string()},
                {"XDG_CONFIG_HOME", (dir.path() / "config").string()},
                {"XDG_DATA_HOME", (dir.path() / "data").string()},
                {"QUILLET_LOCALEDIR", QUILLET_CATALOG_DIR}});
    return run(QUILLET_BINARY, args, env);
  };
  struct Case {
    std::map<std::string, std::string> env;
    bool english;
  };
  for (const Case& c : std::vector<Case>{
           {{{"LANGUAGE", "en"}}, true},
           {{{"LANG", "en_US.UTF-8"}}, true},
           {{{"LC_MESSAGES", "en_GB.UTF-8"}, {"LANG", "pt_BR.UTF-8"}}, true},
           {{{"LANG", "pt_BR.UTF-8"}}, false},
           {{{"LANGUAGE", "en"}, {"QUILLET_LOCALEDIR", "/nonexistent"}}, false},
           {{{"LC_ALL", "C"}}, false},
       }) {
    SCOPED_TRACE(c.env.begin()->first + "=" + c.env.begin()->second);
    Outcome doctor = tool({"doctor"}, c.env);
    if (c.english) {
      EXPECT_NE(doctor.out.find("Notes:        "), std::string::npos) << doctor.out;
      EXPECT_NE(doctor.out.find("Chosen AI:    Claude (Anthropic) \u00B7 claude-opus-5-5 \u00B7 no key"),
                std::string::npos);
      EXPECT_NE(doctor.out.find("Calendar:     no access"), std::string::npos);
      EXPECT_TRUE(tool({}, c.env).out.starts_with("usage:\n"));
    } else {
      EXPECT_TRUE(doctor.out.starts_with("Notas:        ")) << doctor.out;
    }
    EXPECT_EQ(tool({"enhance", "/nonexistent"}, c.env).err,
              c.english ? "no meta.json found in /nonexistent\n" : "não achei meta.json em /nonexistent\n");
  }
}
