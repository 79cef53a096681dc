#include <gtest/gtest.h>

#include "QuilletKit/Meeting.hpp"
#include "QuilletKit/Store.hpp"
#include "TestSupport.hpp"

using namespace quillet;
using nlohmann::json;

// The shown date and the folder name read the zone of a TZ rule, for which ICU alone shows UTC.
TEST(Dates, StrictISO8601AndTheUserFormUnderATZRule) {
  for (const char* bad : {"", "2025-03-01 14:05:00Z", "2025-02-30T10:00:00Z", "2025-03-01T24:00:00Z"})
    EXPECT_FALSE(parseISO8601(bad)) << bad;
  test::ScopedEnv env{{"LC_ALL", "pt_BR.UTF-8"}, {"TZ", "CET-1CEST,M3.5.0,M10.5.0/3"}};
  MeetingMeta m = test::meta("Daily", "2025-07-01T12:00:00Z");
  EXPECT_EQ(formatForUser(m.start) + " " + Store::folderName(m), "01/07/2025, 14:00 2025-07-01 1400 Daily");
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
           {"\"speaker\":\"eu\",\"start\":0,\"end\":1,\"text\":\"\\n\xC3\"}", std::nullopt},
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
  m.end = *parseISO8601("2025-03-01T15:00:00Z");
  m.app = "us.zoom.xos";
  m.calendarEventID = "evt/1";
  m.enhancedWith = "Anthropic · claude";
  const std::string encoded = encodeMeta(m);
  EXPECT_EQ(decodeMeta(encoded), m);
  EXPECT_EQ(encoded, json::parse(encoded).dump(2));
  const json absent(json::value_t::discarded);
  for (const auto& [key, value, valid] : std::vector<std::tuple<const char*, json, bool>>{
           {"id", absent, false}, {"attendees", json::array({"a", 1}), false}, {"end", nullptr, true}}) {
    json j = base;
    if (value.is_discarded()) j.erase(key);
    else j[key] = value;
    auto decoded = metaFromJSON(j);
    EXPECT_EQ(decoded.has_value(), valid) << key;
    EXPECT_TRUE(!decoded || !value.is_null() || *decoded == *metaFromJSON(base)) << key;
  }
}
