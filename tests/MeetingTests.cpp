#include <gtest/gtest.h>

#include "QuilletKit/Meeting.hpp"
#include "QuilletKit/Store.hpp"
#include "TestSupport.hpp"

using namespace quillet;
using nlohmann::json;

TEST(Dates, StrictISO8601) {
  auto d = parseISO8601("2025-03-01T14:05:00Z");
  ASSERT_TRUE(d);
  EXPECT_EQ(formatISO8601(*d), "2025-03-01T14:05:00Z");
  for (const char* bad : {"2025-03-01T14:05:00.5Z", "2025-03-01T14:05:00+00:00", "2025-02-30T10:00:00Z",
                          "2025-03-01 14:05:00Z", "2025-03-01T24:00:00Z", "", "2025-3-1T14:05:00Z"})
    EXPECT_FALSE(parseISO8601(bad)) << bad;
}

// The shown date and the folder name read the same zone, whatever form TZ takes.
TEST(Dates, UserFormFollowsEveryFormOfTZ) {
  struct Case {
    const char* tz;
    const char* shown;
    const char* folder;
  };
  const char* savedTZ = std::getenv("TZ");
  std::string saved = savedTZ ? savedTZ : "";
  setenv("LC_ALL", "pt_BR.UTF-8", 1);
  MeetingMeta m = test::meta("Daily", "2025-07-01T12:00:00Z");
  for (const Case& c : std::vector<Case>{{"America/Sao_Paulo", "01/07/2025, 09:00", "2025-07-01 0900 Daily"},
                                         {":Europe/Berlin", "01/07/2025, 14:00", "2025-07-01 1400 Daily"},
                                         {"CET-1CEST,M3.5.0,M10.5.0/3", "01/07/2025, 14:00", "2025-07-01 1400 Daily"},
                                         {"<-03>3", "01/07/2025, 09:00", "2025-07-01 0900 Daily"},
                                         {"UTC0", "01/07/2025, 12:00", "2025-07-01 1200 Daily"}}) {
    setenv("TZ", c.tz, 1);
    tzset();
    EXPECT_EQ(formatForUser(m.start), c.shown) << c.tz;
    EXPECT_EQ(Store::folderName(m), c.folder) << c.tz;
  }
  unsetenv("LC_ALL");
  savedTZ ? setenv("TZ", saved.c_str(), 1) : unsetenv("TZ");
  tzset();
}

TEST(Uuid, ParsesEitherCaseAndPrintsUpper) {
  auto u = Uuid::parse("e621e1f8-c36c-495a-93fc-0c247a3e6e5f");
  ASSERT_TRUE(u);
  EXPECT_EQ(u->string(), "E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
  EXPECT_FALSE(Uuid::parse("e621e1f8c36c-495a-93fc-0c247a3e6e5f0"));
  EXPECT_FALSE(Uuid::parse("g621e1f8-c36c-495a-93fc-0c247a3e6e5f"));
  EXPECT_NE(Uuid::random(), Uuid::random());
}

TEST(Clock, FormatsBelowAndAboveOneHour) {
  EXPECT_EQ(clock(0), "00:00");
  EXPECT_EQ(clock(754), "12:34");
  EXPECT_EQ(clock(59.9), "00:59");
  EXPECT_EQ(clock(3599.99), "59:59");
  EXPECT_EQ(clock(3600), "1:00:00");
  EXPECT_EQ(clock(3723), "1:02:03");
  EXPECT_EQ(clock(-4), "00:00");
  EXPECT_EQ(clock(std::nan("")), "00:00");
}

TEST(MeetingLanguage, NamesAndShortCodes) {
  EXPECT_EQ(MeetingLanguage::pt().shortName(), "PT");
  EXPECT_EQ(MeetingLanguage::en().shortName(), "EN");
  // The underscore form that locales of the environment use.
  for (auto [raw, code] : std::vector<std::pair<const char*, const char*>>{
           {"pt_BR", "PT"}, {"en_US", "EN"}, {"pt_BR.UTF-8", "PT"}, {"de", "DE"}, {"zh_Hant_TW", "ZH"}})
    EXPECT_EQ(MeetingLanguage{raw}.shortName(), code) << raw;
  EXPECT_EQ(MeetingLanguage::pt().englishName(), "Portuguese (Brazil)");
  EXPECT_EQ(MeetingLanguage::en().englishName(), "English (United States)");
  MeetingLanguage odd{"not a locale"};
  EXPECT_EQ(odd.shortName(), "NOT A LOCALE");
  EXPECT_EQ(odd.name(), "not a locale");
  EXPECT_EQ(odd.englishName(), "not a locale");
  EXPECT_EQ(json(odd.rawValue).get<std::string>(), "not a locale");
}

TEST(Segment, LineFormRoundTripsWithSortedKeys) {
  Segment s{*Uuid::parse("E621E1F8-C36C-495A-93FC-0C247A3E6E5F"), Speaker::them, 1.5, 3.25, "olá \"a/b\"\n"};
  std::string line = encodeSegmentLine(s);
  EXPECT_EQ(line,
            R"({"end":3.25,"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","speaker":"outros","start":1.5,"text":"olá \"a/b\"\n"})");
  EXPECT_EQ(decodeSegmentLine(line), s);
}

TEST(Segment, DecodingRejectsWhatTheFormForbids) {
  const std::string id = R"("id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F")";
  auto line = [&](const std::string& rest) { return "{" + id + "," + rest + "}"; };
  EXPECT_TRUE(decodeSegmentLine(line(R"("speaker":"eu","start":0,"end":1,"text":"x")")));
  EXPECT_TRUE(decodeSegmentLine(line(R"( "speaker" : "eu", "start":0, "end":1e0, "text":"\u00e1\ud83d\ude00", "extra":[1,{"a":2}])")));
  EXPECT_FALSE(decodeSegmentLine(line(R"("speaker":"me","start":0,"end":1,"text":"x")")));
  EXPECT_FALSE(decodeSegmentLine(line(R"("speaker":"eu","start":"0","end":1,"text":"x")")));
  EXPECT_FALSE(decodeSegmentLine(line(R"("speaker":"eu","end":1,"text":"x")")));
  EXPECT_FALSE(decodeSegmentLine(line(R"("speaker":"eu","start":0,"end":1e999,"text":"x")")));
  EXPECT_FALSE(decodeSegmentLine(line(R"("speaker":"eu","start":0,"end":1,"text":"\xff")")));
  EXPECT_FALSE(decodeSegmentLine(line("\"speaker\":\"eu\",\"start\":0,\"end\":1,\"text\":\"\\n\xC3\"")));
  EXPECT_FALSE(decodeSegmentLine(line(R"("speaker":"eu","start":01,"end":1,"text":"x")")));
  EXPECT_FALSE(decodeSegmentLine(R"({"id":"nope","speaker":"eu","start":0,"end":1,"text":"x"})"));
  EXPECT_FALSE(decodeSegmentLine(line(R"("speaker":"eu","start":0,"end":1,"text":"x"} trailing)")));
  // The full parser agrees with the fast reader on escapes it hands over.
  auto s = decodeSegmentLine(line(R"("speaker":"eu","start":0,"end":1,"text":"\ud83d\ude00")"));
  ASSERT_TRUE(s);
  EXPECT_EQ(s->text, "\xF0\x9F\x98\x80");
  EXPECT_THROW(encodeSegmentLine(Segment{Uuid::random(), Speaker::me, 0, 1, "\xff"}), std::invalid_argument);
  EXPECT_THROW(encodeSegmentLine(Segment{Uuid::random(), Speaker::me, INFINITY, 1, "x"}), std::invalid_argument);
}

TEST(MeetingMeta, JSONFormKeepsOptionalsOutAndDecodesNullAsAbsent) {
  MeetingMeta m = test::meta("Planejamento");
  m.attendees = {"Ana", "Bruno"};
  std::string encoded = encodeMeta(m);
  json j = json::parse(encoded);
  EXPECT_FALSE(j.contains("end"));
  EXPECT_FALSE(j.contains("app"));
  EXPECT_EQ(j["start"], "2025-03-01T14:05:00Z");
  EXPECT_EQ(decodeMeta(encoded), m);

  m.end = *parseISO8601("2025-03-01T15:00:00Z");
  m.app = "us.zoom.xos";
  m.calendarEventID = "evt/1";
  m.enhancedWith = "Anthropic · claude";
  encoded = encodeMeta(m);
  EXPECT_LT(encoded.find("\"app\""), encoded.find("\"attendees\""));
  EXPECT_LT(encoded.find("\"start\""), encoded.find("\"title\""));
  EXPECT_NE(encoded.find("evt/1"), std::string::npos);  // slashes are not escaped
  EXPECT_EQ(decodeMeta(encoded), m);

  j = json::parse(encodeMeta(test::meta("x")));
  j["end"] = nullptr;
  j["app"] = nullptr;
  auto decoded = metaFromJSON(j);
  ASSERT_TRUE(decoded);
  EXPECT_FALSE(decoded->end);
  EXPECT_FALSE(json::parse(encodeMeta(*decoded)).contains("end"));
}

TEST(MeetingMeta, DecodingFailsOnMissingOrMistypedFields) {
  json base = json::parse(encodeMeta(test::meta("x")));
  for (const char* key : {"id", "title", "start", "language", "attendees"}) {
    json j = base;
    j.erase(key);
    EXPECT_FALSE(metaFromJSON(j)) << key;
  }
  auto with = [&](const char* key, json value) {
    json j = base;
    j[key] = std::move(value);
    return metaFromJSON(j);
  };
  EXPECT_FALSE(with("start", "2025-03-01T14:05:00.250Z"));
  EXPECT_FALSE(with("end", 5));
  EXPECT_FALSE(with("attendees", json::array({"a", 1})));
  EXPECT_FALSE(with("title", nullptr));
  EXPECT_TRUE(with("language", "xx-unknown"));
  EXPECT_FALSE(decodeMeta("[1,2]"));
  EXPECT_FALSE(decodeMeta("{\"id\":"));
  EXPECT_FALSE(decodeMeta(std::string("\0\xff\xfe garbage", 12)));
}
