#include <gtest/gtest.h>

#include "FaultyEnv.hpp"
#include "QuilletKit/Preferences.hpp"
#include "TestSupport.hpp"

using namespace quillet;
using namespace quillet::test;
using nlohmann::json;
namespace fs = std::filesystem;

namespace {

class PreferencesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("XDG_CONFIG_HOME", dir.path().c_str(), 1);
    setenv("HOME", dir.path().c_str(), 1);
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
    unsetenv("QUILLET_API_KEY");
  }
  void store(const std::string& document) { writeFile(Preferences::file(), document); }
  TempDir dir;
};

ProviderConfig custom(const std::string& id) {
  return {id, "Meu servidor", ProviderKind::openAI, "http://10.0.0.2:8080/v1", "qwen", false, std::nullopt};
}

}  // namespace

TEST(Shortcut, DisplayAndJSON) {
  EXPECT_EQ(Shortcut::controlR().display(), "\u2303R");
  EXPECT_EQ((Shortcut{40, 256 | 512, "k"}).display(), "\u21E7\u2318K");
  EXPECT_EQ((Shortcut{0, 6912, "x"}).display(), "\u2303\u2325\u21E7\u2318X");
  EXPECT_EQ((Shortcut{0, 0, "ç"}).display(), "Ç");
  EXPECT_EQ((Shortcut{0, 4096 | 1024, ""}).display(), "\u2303");
  EXPECT_EQ(toJSON(Shortcut::controlR()).dump(), R"({"keyCode":15,"modifiers":4096,"key":"R"})");
  EXPECT_EQ(shortcutFromJSON(json::parse(R"({"keyCode":15.0,"modifiers":4096,"key":"R"})")), Shortcut::controlR());
  EXPECT_FALSE(shortcutFromJSON(json::parse(R"({"keyCode":15,"modifiers":4096})")));
  EXPECT_FALSE(shortcutFromJSON(json::parse(R"({"keyCode":-1,"modifiers":4096,"key":"R"})")));
  EXPECT_FALSE(shortcutFromJSON(json::parse(R"({"keyCode":4294967296,"modifiers":0,"key":"R"})")));
}

TEST(ProviderCatalog, TenEntriesAndTheirJSONForm) {
  const auto& presets = Providers::presets();
  ASSERT_EQ(presets.size(), 10u);
  std::vector<std::string> ids;
  for (const auto& p : presets) ids.push_back(p.id);
  EXPECT_EQ(ids, (std::vector<std::string>{"anthropic", "openai", "openrouter", "gemini", "groq", "deepseek",
                                           "ollama", "lmstudio", "custom", "apple"}));
  EXPECT_EQ(Providers::apple(), presets[9]);
  for (const auto& p : presets) {
    if (p.keyURL) {
      EXPECT_TRUE(p.keyURL->starts_with("https://")) << p.id;
    }
    EXPECT_EQ(providerFromJSON(json::parse(toJSON(p).dump())), p) << p.id;
  }
  EXPECT_FALSE(toJSON(presets[6]).contains("keyURL"));
  json j = json::parse(toJSON(presets[0]).dump());
  j["keyURL"] = nullptr;
  EXPECT_FALSE(providerFromJSON(j)->keyURL);
  j.erase("requiresKey");
  EXPECT_FALSE(providerFromJSON(j));
  j = json::parse(toJSON(presets[0]).dump());
  j["kind"] = "mistral";
  EXPECT_FALSE(providerFromJSON(j));
}

TEST_F(PreferencesTest, KeysFallBackToTheEnvironment) {
  ProviderConfig groq = Providers::presets()[4];
  EXPECT_EQ(groq.apiKey(), "");
  EXPECT_FALSE(groq.hasKey());
  setenv("QUILLET_API_KEY", "sk-env", 1);
  EXPECT_EQ(groq.apiKey(), "sk-env");
  EXPECT_TRUE(groq.hasKey());
  unsetenv("QUILLET_API_KEY");
  EXPECT_TRUE(Providers::presets()[6].hasKey());  // ollama needs none
}

TEST_F(PreferencesTest, MissingOrBrokenDocumentsLoadTheDefaults) {
  Preferences defaults;
  EXPECT_EQ(Preferences::load(), defaults);
  EXPECT_EQ(defaults.provider().id, "anthropic");
  EXPECT_EQ(defaults.providers, Providers::presets());
  EXPECT_FALSE(Preferences::problem());
  for (const std::string& document : std::vector<std::string>{"", "{\"language\": \"en-US\"", "not json", "[1,2,3]", "\"text\"",
                               "{\"storagePath\": 5, \"language\": \"en-US\"}", std::string(1 << 20, '\xff')}) {
    store(document);
    EXPECT_EQ(Preferences::load(), defaults) << document.substr(0, 40);
    // ... and the reason is there to be told.
    EXPECT_TRUE(Preferences::problem()) << document.substr(0, 40);
  }
  store("{\"language\": \"en-US\",\n}");
  EXPECT_EQ(Preferences::problem().value_or("").rfind("parse error at line 2, column 1: ", 0), 0u) << *Preferences::problem();
  store("[1]");
  EXPECT_EQ(Preferences::problem(), "não é um objeto de preferências");
  store("{\"language\": 5}");
  EXPECT_FALSE(Preferences::problem());  // a wrong field costs only itself
  // Past a few megabytes a document is not read: padded with real bytes, or
  // a sparse file claiming 40 GiB.
  store(R"({"autoStopMinutes": 7})" + std::string(5 << 20, ' '));
  EXPECT_EQ(Preferences::load(), defaults);
  store(R"({"autoStopMinutes": 7})");
  fs::resize_file(Preferences::file(), uintmax_t{40} << 30);
  EXPECT_EQ(Preferences::load(), defaults);
  EXPECT_EQ(Preferences::problem(), "não consigo ler o arquivo");
  fs::remove(Preferences::file());
  fs::create_directories(Preferences::file());  // a folder where the file should be
  EXPECT_EQ(Preferences::load(), defaults);
  EXPECT_EQ(Preferences::problem(), "não consigo ler o arquivo");
}

TEST_F(PreferencesTest, WrongFieldsCostOnlyThemselves) {
  store(R"({"providerID": "nope"})");
  Preferences p = Preferences::load();
  EXPECT_EQ(p.providerID, "nope");
  EXPECT_EQ(p.provider(), Providers::apple());

  store(R"({"storagePath": "/data/notas", "autoStopMinutes": "5", "language": "en-US", "localFallback": 1,
            "dictationShortcut": {"keyCode": 1, "modifiers": 256}, "ignoredApps": ["a", 2],
            "calendarIDs": ["c1"], "dictationEnabled": false})");
  p = Preferences::load();
  EXPECT_EQ(p.autoStopMinutes, 2);
  EXPECT_EQ(p.storagePath, "/data/notas");
  EXPECT_EQ(p.language, MeetingLanguage::en());
  EXPECT_TRUE(p.localFallback);
  EXPECT_EQ(p.dictationShortcut, Shortcut::controlR());
  EXPECT_TRUE(p.ignoredApps.empty());
  EXPECT_EQ(p.calendarIDs, std::vector<std::string>{"c1"});
  EXPECT_FALSE(p.dictationEnabled);
}

TEST_F(PreferencesTest, SavedProvidersMergeOverTheCatalog) {
  ProviderConfig changed = Providers::presets()[1];
  changed.model = "gpt-5";
  json saved = json::array({toJSON(custom("mine")), toJSON(changed), toJSON(custom("openai")), json{{"id", 3}}});
  store(json{{"providers", saved}, {"providerID", "mine"}}.dump());
  Preferences p = Preferences::load();
  ASSERT_EQ(p.providers.size(), 11u);
  EXPECT_EQ(p.providers[1], changed);  // the first saved entry of an id wins
  EXPECT_EQ(p.providers[0], Providers::presets()[0]);
  EXPECT_EQ(p.providers[10], custom("mine"));
  EXPECT_EQ(p.provider(), custom("mine"));

  for (const char* providers : {"[]", "{}", "7"}) {
    store(std::string("{\"providers\": ") + providers + "}");
    EXPECT_EQ(Preferences::load().providers, Providers::presets()) << providers;
  }

  std::vector<ProviderConfig> many;
  for (int i = 0; i < 5000; ++i) many.push_back(custom(i % 2 ? "dup" : "id" + std::to_string(i)));
  auto merged = Preferences::merge(many);
  EXPECT_EQ(merged.size(), 10u + 5000u);
}

TEST_F(PreferencesTest, SaveRoundTripsAtomically) {
  Preferences p;
  p.providerID = "groq";
  p.ignoredApps = {"com.apple.FaceTime"};
  p.save();
  std::string document = readFile(Preferences::file());
  json j = json::parse(document);
  EXPECT_FALSE(j.contains("storagePath"));
  EXPECT_FALSE(j.contains("calendarIDs"));
  EXPECT_EQ(document.find("\"storagePath\""), std::string::npos);
  EXPECT_EQ(Preferences::load(), p);
  p.storagePath = "~/notas";
  p.calendarIDs = std::vector<std::string>{};
  p.save();
  EXPECT_EQ(Preferences::load(), p);
  // No temporary files stay beside the document.
  EXPECT_EQ(std::distance(fs::directory_iterator(Preferences::file().parent_path()), fs::directory_iterator()), 1);
}

// Wherever writing fails, the previous document stays whole, the system's
// reason reaches the caller and no temporary file stays behind.
TEST_F(PreferencesTest, FailingDiskKeepsThePreviousDocument) {
  using Op = test::FaultyEnv::Op;
  Preferences before, after;
  before.autoStopMinutes = 5;
  after.autoStopMinutes = 9;
  for (auto [op, error] : std::vector<std::pair<Op, int>>{{Op::create, ENOSPC}, {Op::write, ENOSPC}, {Op::write, EIO},
                                                          {Op::sync, EIO}, {Op::rename, EIO}, {Op::syncFolder, EIO}}) {
    before.save();
    test::FaultyEnv env;
    env.failFrom(op, error);
    try {
      after.write(env);
      ADD_FAILURE() << "no error for op " << static_cast<int>(op);
    } catch (const fs::filesystem_error& e) {
      EXPECT_EQ(e.code(), std::error_code(error, std::generic_category()));
      EXPECT_EQ(e.path1(), Preferences::file());
    }
    // Once renamed, the new document is in place but not known to be durable.
    EXPECT_EQ(Preferences::load(), op == Op::syncFolder ? after : before) << static_cast<int>(op);
    EXPECT_EQ(std::distance(fs::directory_iterator(Preferences::file().parent_path()), fs::directory_iterator()), 1);
  }
}

TEST_F(PreferencesTest, StorageRoot) {
  Preferences p;
  EXPECT_EQ(p.storageRoot(), dir.path() / "Documents" / "Quillet");
  p.storagePath = "~/notas";
  EXPECT_EQ(p.storageRoot(), fs::path("~/notas"));  // taken literally
}
