#include <gtest/gtest.h>

#include "FaultyEnv.hpp"
#include "QuilletKit/Preferences.hpp"
#include "TestSupport.hpp"

using namespace quillet;
using namespace quillet::test;
using nlohmann::json;
namespace fs = std::filesystem;

namespace {

// A configuration folder of its own, and no keychain.
class PreferencesTest : public ::testing::Test {
 protected:
  void store(const std::string& document) { writeFile(Preferences::file(), document); }
  TempDir dir;
  ScopedEnv env{{"XDG_CONFIG_HOME", dir.path().string()}, {"HOME", dir.path().string()},
                {"DBUS_SESSION_BUS_ADDRESS", std::nullopt}};
};

ProviderConfig custom(const std::string& id) {
  return {id, "Meu servidor", ProviderKind::openAI, "http://10.0.0.2:8080/v1", "qwen", false, std::nullopt};
}

}  // namespace

TEST(Shortcut, DisplayAndJSON) {
  for (const auto& [shortcut, shown] : std::vector<std::pair<Shortcut, std::string>>{
           {{0, 6912, "x"}, "\u2303\u2325\u21E7\u2318X"},
           {{0, 0, "ç"}, "Ç"}, {{0, 4096 | 1024, ""}, "\u2303"}})
    EXPECT_EQ(shortcut.display(), shown) << shown;
  EXPECT_EQ(toJSON(Shortcut::controlR()).dump(), R"({"keyCode":15,"modifiers":4096,"key":"R"})");
  EXPECT_EQ(shortcutFromJSON(json::parse(R"({"keyCode":15.0,"modifiers":4096,"key":"R"})")), Shortcut::controlR());
  for (const char* bad : {R"({"keyCode":15,"modifiers":4096})", R"({"keyCode":-1,"modifiers":4096,"key":"R"})",
                          R"({"keyCode":4294967296,"modifiers":0,"key":"R"})"})
    EXPECT_FALSE(shortcutFromJSON(json::parse(bad))) << bad;
}

// Whatever the document holds, loading gives the defaults and the reason; a huge one is not read at all.
TEST_F(PreferencesTest, UnreadableDocumentsLoadTheDefaultsAndSayWhy) {
  // A document, the beginning of the problem told, and the size a sparse file claims.
  for (const auto& [document, problem, size] : std::vector<std::tuple<std::string, std::string, uintmax_t>>{
           {"[1]", "não é um objeto de preferências", 0},
           {R"({"storagePath": 5, "language": "en-US"})", "não é um objeto de preferências", 0},
           {R"({"autoStopMinutes": 7})", "não consigo ler o arquivo", uintmax_t{40} << 30},
       }) {
    store(document);
    if (size) fs::resize_file(Preferences::file(), size);
    EXPECT_EQ(Preferences::load(), Preferences());
    EXPECT_TRUE(Preferences::problem().value_or("").starts_with(problem)) << *Preferences::problem();
  }
}

TEST_F(PreferencesTest, WrongFieldsCostOnlyThemselves) {
  store(R"({"storagePath": "/data/notas", "autoStopMinutes": "5", "language": "en-US", "localFallback": 1,
            "dictationShortcut": {"keyCode": 1, "modifiers": 256}, "ignoredApps": ["a", 2], "providers": {"id": 1},
            "calendarIDs": ["c1"], "dictationEnabled": false, "providerID": "nope", "dictationLanguage": 5})");
  Preferences loaded = Preferences::load();
  EXPECT_EQ(loaded, Preferences::fromJSON(json::parse(R"({"storagePath": "/data/notas", "language": "en-US",
                                           "calendarIDs": ["c1"], "dictationEnabled": false, "providerID": "nope"})")));
  EXPECT_FALSE(Preferences::problem());
  EXPECT_EQ(loaded.provider(), Providers::apple());
}

TEST_F(PreferencesTest, SavedProvidersMergeOverTheCatalog) {
  ProviderConfig changed = Providers::presets()[1];
  changed.model = "gpt-5";
  json saved = json::array({toJSON(custom("mine")), toJSON(changed), toJSON(custom("openai")), json{{"id", 3}}});
  store(json{{"providers", saved}, {"providerID", "mine"}}.dump());
  Preferences p = Preferences::load();
  ASSERT_EQ(p.providers.size(), 11u);
  EXPECT_EQ(p.providers[1], changed);  // the first saved entry of an id wins
  EXPECT_EQ(p.provider(), custom("mine"));
}

// Wherever writing fails, the previous document stays whole, the caller learns why, and no temporary file stays.
TEST_F(PreferencesTest, FailingDiskKeepsThePreviousDocument) {
  Preferences before, after;
  before.autoStopMinutes = 5;
  after.autoStopMinutes = 9;
  for (const FaultyEnv::Fault& fault : FaultyEnv::kFaults) {
    SCOPED_TRACE(fault.name());
    before.save();
    FaultyEnv env;
    env.failFrom(fault.op, fault.error);
    env.expectFailure([&](Env& faulty) { after.write(faulty); }, Preferences::file());
    // Once renamed, the new document is in place but not known to be durable.
    EXPECT_EQ(Preferences::load(), fault.op == FaultyEnv::Op::syncFolder ? after : before);
    auto entries = fs::directory_iterator(Preferences::file().parent_path());
    EXPECT_EQ(std::distance(entries, fs::directory_iterator()), 1);
  }
}
