#include <gtest/gtest.h>

#include "QuilletKit/Meeting.hpp"
#include "QuilletKit/Store.hpp"
#include "TestSupport.hpp"

using namespace quillet;
using nlohmann::json;

// The shown date and the folder name read the same zone whatever form TZ takes; ICU alone shows UTC for a rule.
TEST(Dates, StrictISO8601AndTheUserFormInEveryFormOfTZ) {
  EXPECT_EQ(formatISO8601(parseISO8601("2025-03-01T14:05:00Z").value()), "2025-03-01T14:05:00Z");
  for (const char* bad : {"2025-03-01T14:05:00.5Z", "2025-03-01T14:05:00+00:00", "2025-02-30T10:00:00Z",
                          "2025-03-01 14:05:00Z", "2025-03-01T24:00:00Z", "", "2025-3-1T14:05:00Z"})
    EXPECT_FALSE(parseISO8601(bad)) << bad;
  test::ScopedEnv env{{"LC_ALL", "pt_BR.UTF-8"}};
  MeetingMeta m = test::meta("Daily", "2025-07-01T12:00:00Z");
  for (const auto& [tz, shown] : std::vector<std::pair<const char*, const char*>>{
           {":Europe/Berlin", "01/07/2025, 14:00 2025-07-01 1400 Daily"},
           {"CET-1CEST,M3.5.0,M10.5.0/3", "01/07/2025, 14:00 2025-07-01 1400 Daily"},
           {"<-03>3", "01/07/2025, 09:00 2025-07-01 0900 Daily"}}) {
    env.set("TZ", tz);
    EXPECT_EQ(formatForUser(m.start) + " " + Store::folderName(m), shown);
  }
}

TEST(UuidAndClock, ParseAndFormat) {
  EXPECT_EQ(Uuid::parse("e621e1f8-c36c-495a-93fc-0c247a3e6e5f")->string(), "E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
  for (const char* bad : {"e621e1f8c36c-495a-93fc-0c247a3e6e5f0", "g621e1f8-c36c-495a-93fc-0c247a3e6e5f"})
    EXPECT_FALSE(Uuid::parse(bad)) << bad;
  // The clock, below and above one hour.
  for (auto [seconds, shown] : std::vector<std::pair<double, const char*>>{
           {754, "12:34"}, {59.9, "00:59"}, {3599.99, "59:59"}, {3600, "1:00:00"}, {-4, "00:00"}, {NAN, "00:00"}})
    EXPECT_EQ(clock(seconds), shown) << seconds;
}

// The underscore form is the one that locales of the environment use; the prompts show pt-BR's and en-US's names.
TEST(MeetingLanguage, NamesAndShortCodes) {
  for (auto [raw, code] : std::vector<std::pair<const char*, const char*>>{
           {"pt-BR", "PT"}, {"en_US", "EN"}, {"pt_BR.UTF-8", "PT"}, {"zh_Hant_TW", "ZH"},
           {"not a locale", "NOT A LOCALE"}})
    EXPECT_EQ(MeetingLanguage{raw}.shortName(), code) << raw;
  EXPECT_EQ(MeetingLanguage{"not a locale"}.englishName(), "not a locale");
  EXPECT_EQ(MeetingLanguage{"not a locale"}.name(), "not a locale");
}

TEST(Segment, LineFormRoundTripsWithSortedKeysAndRejectsWhatTheFormForbids) {
  Segment s{*Uuid::parse("E621E1F8-C36C-495A-93FC-0C247A3E6E5F"), Speaker::them, 1.5, 3.25, "olá \"a/b\"\n"};
  const std::string id = R"("id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F")";
  EXPECT_EQ(encodeSegmentLine(s), "{\"end\":3.25," + id + R"(,"speaker":"outros","start":1.5,"text":"olá \"a/b\"\n"})");
  EXPECT_EQ(decodeSegmentLine(encodeSegmentLine(s)), s);
  for (const auto& [rest, text] : std::vector<std::pair<std::string, std::optional<std::string>>>{
           {R"("speaker":"eu","start":0,"end":1,"text":"x"})", "x"},
           {R"( "speaker" : "eu", "start":0, "end":1e0, "text":"\u00e1\ud83d\ude00", "extra":[1,{"a":2}]})", "á😀"},
           {R"("speaker":"me","start":0,"end":1,"text":"x"})", std::nullopt},
           {R"("speaker":"eu","start":"0","end":1,"text":"x"})", std::nullopt},
           {R"("speaker":"eu","end":1,"text":"x"})", std::nullopt},
           {R"("speaker":"eu","start":0,"end":1e999,"text":"x"})", std::nullopt},
           {R"("speaker":"eu","start":0,"end":1,"text":"\xff"})", std::nullopt},
           {"\"speaker\":\"eu\",\"start\":0,\"end\":1,\"text\":\"\\n\xC3\"}", std::nullopt},
           {R"("speaker":"eu","start":01,"end":1,"text":"x"})", std::nullopt},
           {R"("speaker":"eu","start":0,"end":1,"text":"x"} trailing)", std::nullopt},
       }) {
    auto decoded = decodeSegmentLine("{" + id + "," + rest);
    EXPECT_EQ(decoded ? std::optional(decoded->text) : std::nullopt, text) << rest;
  }
  EXPECT_FALSE(decodeSegmentLine(R"({"id":"nope","speaker":"eu","start":0,"end":1,"text":"x"})"));
  EXPECT_THROW(encodeSegmentLine(Segment{Uuid::random(), Speaker::me, 0, 1, "\xff"}), std::invalid_argument);
  EXPECT_THROW(encodeSegmentLine(Segment{Uuid::random(), Speaker::me, INFINITY, 1, "x"}), std::invalid_argument);
}

// Absent optionals stay out of the form, a null reads as absent; keys are sorted, slashes not escaped.
TEST(MeetingMeta, JSONFormRoundTripsAndDecodingFailsOnMissingOrMistypedFields) {
  MeetingMeta m = test::meta("Planejamento");
  m.attendees = {"Ana", "Bruno"};
  const json base = json::parse(encodeMeta(m));
  EXPECT_EQ(base, (json{{"attendees", {"Ana", "Bruno"}}, {"id", m.id.string()}, {"language", "pt-BR"},
                        {"start", "2025-03-01T14:05:00Z"}, {"title", "Planejamento"}}));
  EXPECT_EQ(decodeMeta(encodeMeta(m)), m);
  m.end = *parseISO8601("2025-03-01T15:00:00Z");
  m.app = "us.zoom.xos";
  m.calendarEventID = "evt/1";
  m.enhancedWith = "Anthropic · claude";
  const std::string encoded = encodeMeta(m);
  EXPECT_EQ(decodeMeta(encoded), m);
  EXPECT_EQ(encoded, json::parse(encoded).dump(2));
  const json absent(json::value_t::discarded);
  for (const auto& [key, value, valid] : std::vector<std::tuple<const char*, json, bool>>{
           {"id", absent, false}, {"title", absent, false}, {"start", absent, false}, {"language", absent, false},
           {"attendees", absent, false}, {"start", "2025-03-01T14:05:00.250Z", false}, {"end", 5, false},
           {"attendees", json::array({"a", 1}), false}, {"title", nullptr, false}, {"language", 5, false},
           {"language", "xx-unknown", true}, {"end", nullptr, true}, {"app", nullptr, true}}) {
    json j = base;
    if (value.is_discarded()) j.erase(key);
    else j[key] = value;
    auto decoded = metaFromJSON(j);
    EXPECT_EQ(decoded.has_value(), valid) << key;
    if (decoded && value.is_null()) {
      EXPECT_EQ(*decoded, *metaFromJSON(base)) << key;
    }
  }
  for (const std::string& bad : {std::string("[1,2]"), std::string("{\"id\":"), std::string("\0\xff\xfe", 3)})
    EXPECT_FALSE(decodeMeta(bad)) << bad;
}
