// The tool in English through its gettext catalog, and in Portuguese without.
#include <gtest/gtest.h>

#include "TestSupport.hpp"

using namespace quillet::test;

namespace {

Outcome runTool(const TempDir& dir, const std::vector<std::string>& args, std::map<std::string, std::string> extra) {
  std::map<std::string, std::string> env = {{"HOME", dir.path().string()},
                                            {"XDG_CONFIG_HOME", (dir.path() / "config").string()},
                                            {"XDG_DATA_HOME", (dir.path() / "data").string()},
                                            {"QUILLET_LOCALEDIR", QUILLET_CATALOG_DIR}};
  for (auto& [k, v] : extra) env[k] = v;
  return run(QUILLET_BINARY, args, env);
}

}  // namespace

TEST(EnglishMessages, FollowTheLanguageOfTheEnvironment) {
  TempDir dir;
  for (auto env : std::vector<std::map<std::string, std::string>>{
           {{"LANGUAGE", "en"}}, {{"LANG", "en_US.UTF-8"}}, {{"LC_MESSAGES", "en_GB.UTF-8"}, {"LANG", "pt_BR.UTF-8"}}}) {
    Outcome doctor = runTool(dir, {"doctor"}, env);
    EXPECT_NE(doctor.out.find("Notes:        "), std::string::npos) << doctor.out;
    EXPECT_NE(doctor.out.find("Chosen AI:    Claude (Anthropic) \u00B7 claude-opus-5-5 \u00B7 no key"), std::string::npos)
        << doctor.out;
    EXPECT_NE(doctor.out.find("Calendar:     no access"), std::string::npos) << doctor.out;
    Outcome missing = runTool(dir, {"enhance", "/nonexistent"}, env);
    EXPECT_EQ(missing.err, "no meta.json found in /nonexistent\n");
    EXPECT_TRUE(runTool(dir, {}, env).out.starts_with("usage:\n"));
  }
}

TEST(EnglishMessages, PortugueseWithoutACatalogOrInAPortugueseLocale) {
  TempDir dir;
  Outcome portuguese = runTool(dir, {"enhance", "/nonexistent"}, {{"LANG", "pt_BR.UTF-8"}});
  EXPECT_EQ(portuguese.err, "não achei meta.json em /nonexistent\n");
  Outcome noCatalog = runTool(dir, {"enhance", "/nonexistent"}, {{"LANGUAGE", "en"}, {"QUILLET_LOCALEDIR", "/nonexistent"}});
  EXPECT_EQ(noCatalog.err, "não achei meta.json em /nonexistent\n");
  Outcome plainC = runTool(dir, {"doctor"}, {{"LC_ALL", "C"}});
  EXPECT_TRUE(plainC.out.starts_with("Notas:        ")) << plainC.out;
}
