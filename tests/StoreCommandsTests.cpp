// The commands of the store and the calendar: each one's paths and statuses; the logic underneath has its own tests.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <regex>

#include "MainContextSupport.hpp"
#include "QuilletKit/Store.hpp"
#include "TestSupport.hpp"

using namespace quillet;
using namespace quillet::test;
using nlohmann::json;
namespace fs = std::filesystem;

namespace {

class StoreCommands : public ToolTest {
 protected:
  void SetUp() override {
    preferences(R"({"storagePath": ")" + root.string() + R"("})");
    Meeting plan = store.create(meta("Planejamento do trimestre", "2025-03-10T12:30:00Z"));
    plan.notes = "- fechar o **orçamento**\n";
    plan.enhanced = "## Decisões\n- Orçamento aprovado\n";
    plan.meta.app = "zoom.us";
    plan.meta.attendees = {"Ana"};
    store.save(plan);
    plan.segments = {segment(Speaker::them, 75.4, 80, "o orcamento está apertado")};
    store.saveTranscript(plan);
    planFolder = plan.folder;
    Meeting recorded = store.create(meta("Weekly sync", "2025-03-11T14:30:00Z"));
    recorded.segments = {segment(Speaker::me, 0, 1, "oi")};
    store.saveTranscript(recorded);
    weekly1 = recorded.folder;
    weekly2 = store.create(meta("Weekly sync", "2025-03-18T14:30:00Z")).folder;
  }

  // An event file of a vdir calendar, from `start` minutes from now for an hour.
  void calendarEvent(const std::string& folder, const std::string& uid, int start, const std::string& extra = "") {
    auto now = std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now());
    Date from = now + std::chrono::minutes(start);
    writeFile(dir.path() / "data" / "calendars" / folder / (uid + ".ics"),
              calendar(event("UID:" + uid + "\r\nSUMMARY:" + uid + "\r\nDTSTART:" + icsTime(from) +
                             "\r\nDTEND:" + icsTime(from + std::chrono::hours(1)) + "\r\n" + extra)));
  }

  fs::path root = dir.path() / "notas";
  Store store{root};
  fs::path planFolder, weekly1, weekly2;
};

}  // namespace

// In the test's folder: no or an unknown command shows the usage; list and search answer newest first, with marks.
TEST_F(StoreCommands, AnswersAndFailures) {
  const std::string both = "\n  " + weekly2.filename().string() + "\n  " + weekly1.filename().string() + "\n";
  for (const auto& [args, shown, status] : std::vector<std::tuple<std::vector<std::string>, std::string, int>>{
           {{}, kUsage, 0},
           {{"LIST"}, kUsage, 0},
           {{"list", "--ignored", "word"},
            "\u00B7 18/03/2025, 11:30  Weekly sync  [0 trechos]\n\u25CB 11/03/2025, 11:30  Weekly sync  [1 trechos]\n"
            "\u2726 10/03/2025, 09:30  Planejamento do trimestre  [1 trechos]\n",
            0},
           {{"--version"}, "quillet " QUILLET_VERSION "\n", 0},
           {{"export", "planejamento"}, "## Decisões\n- Orçamento aprovado\n", 0},
           {{"export", "weekly"}, "mais de uma reunião com esse nome: weekly" + both, 1},
           {{"export", "retro"}, "nenhuma reunião com esse nome: retro\n", 1},
           {{"search", "ORÇAMENTO"},
            "10/03/2025, 09:30  Planejamento do trimestre  notas: - fechar o **orçamento**\n"
            "10/03/2025, 09:30  Planejamento do trimestre  notas da IA: - Orçamento aprovado\n"
            "10/03/2025, 09:30  Planejamento do trimestre  [01:15] Outros: o orcamento está apertado\n",
            0},
           {{"search", "a", "?"}, kUsage, 1},
           {{"new", "x", "--lang", "fr-FR"}, "idioma desconhecido: fr-FR. Opções: pt-BR, en-US\n", 1},
           {{"calendar"}, "Calendário: sem acesso (" + (dir.path() / "data" / "calendars").string() + ")\n", 1}}) {
    SCOPED_TRACE(::testing::PrintToString(args));
    Outcome o = run(QUILLET_BINARY, args, environment(), dir.path().string());
    EXPECT_EQ(o.out + o.err + std::to_string(o.status), shown + std::to_string(status));
  }
  // On a terminal the words are marked, and "NO_COLOR" turns that off.
  Outcome marked = quillet({"search", "weekly", "sync"}, {}, 1);
  EXPECT_NE(marked.out.find("título: \033[1;31mWeekly\033[0m \033[1;31msync\033[0m"), std::string::npos) << marked.out;
  Outcome plain = quillet({"search", "weekly"}, {{"NO_COLOR", "1"}}, 1);
  EXPECT_EQ(plain.out.find("\033["), std::string::npos) << plain.out;
  json hits = json::parse(quillet({"search", "orcamento", "apertado", "--json"}).out);
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(hits[0]["place"].get<std::string>() + " " + hits[0]["speaker"].get<std::string>(), "transcript outros");
  Outcome o = quillet({"list", "--json"});
  ASSERT_EQ(o.status, 0) << o.err;
  json listed = json::parse(o.out);
  ASSERT_EQ(listed.size(), 3u);
  EXPECT_EQ(listed[2].erase("id"), 1u);
  EXPECT_EQ(listed[2], json::parse(R"({"title": "Planejamento do trimestre", "start": "2025-03-10T12:30:00Z",
                                       "language": "pt-BR", "app": "zoom.us", "attendees": ["Ana"], "segments": 1,
                                       "enhanced": true, "folder": ")" + planFolder.string() + "\"}"));
  EXPECT_EQ(quillet({"list", "--json"}, {{"XDG_CONFIG_HOME", "/nonexistent"}}).out, "[]\n");
  // Enhanced notes of nothing give way to the user's own.
  writeFile(planFolder / "notas-ia.md", "\n");
  EXPECT_EQ(quillet({"export", planFolder.string(), "--slack"}).out, "\u2022 fechar o *orçamento*\n");
}

// A trash that cannot be made leaves the meeting where it was.
TEST_F(StoreCommands, TrashMovesAMeetingAndNeverDeletesIt) {
  Outcome o = quillet({"trash", "planejamento"});
  ASSERT_EQ(o.status, 0) << o.err;
  const fs::path trashed = dir.path() / "data" / "Trash" / "files" / planFolder.filename();
  EXPECT_EQ(o.out, trashed.string() + "\n");
  EXPECT_TRUE(fs::exists(trashed / "notas-ia.md"));
  writeFile(dir.path() / "other-data" / "Trash", "not a folder");
  Outcome refused = quillet({"trash", weekly1.string()}, {{"XDG_DATA_HOME", (dir.path() / "other-data").string()}});
  EXPECT_EQ(refused.status, 1);
  EXPECT_TRUE(refused.err.starts_with("erro: ")) << refused.err;
  EXPECT_TRUE(fs::exists(weekly1 / "meta.json"));
}

// The calendar lists the upcoming meetings; `new` takes the current one's attendees but the user.
TEST_F(StoreCommands, CalendarAndNewMeetings) {
  calendarEvent("trabalho", "Planning", 120,
                "ATTENDEE;CN=Ana:mailto:ana@example.com\r\nATTENDEE:mailto:bruno@example.com\r\n"
                "LOCATION:https://meet.google.com/abc-defg-hij\r\n");
  calendarEvent("pessoal", "Dentista", 60);
  calendarEvent("trabalho", "Ontem", -26 * 60);
  Outcome o = quillet({"calendar"});
  EXPECT_EQ(o.status, 0) << o.err;
  const std::regex upcoming("[^\n]*  Dentista  \\[0 participantes\\]\n"
                            "[^\n]*  Planning  \\[2 participantes\\]  https://meet.google.com/abc-defg-hij\n");
  EXPECT_TRUE(std::regex_match(o.out, upcoming)) << o.out;
  preferences(R"({"storagePath": ")" + root.string() + R"(", "calendarIDs": ["trabalho"]})");
  json events = json::parse(quillet({"calendar", "--json"}).out);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0]["attendees"], (json{"Ana", "bruno@example.com"}));
  EXPECT_EQ(events[0]["videoURL"], "https://meet.google.com/abc-defg-hij");

  calendarEvent("trabalho", "Retro", -10,
                "ATTENDEE;CN=Ana:mailto:ana@example.com\r\nATTENDEE:mailto:eu@example.com\r\n");
  o = quillet({"new", "Retro", "do", "time", "--lang", "en-US"}, {{"EMAIL", "eu@example.com"}});
  ASSERT_EQ(o.status, 0) << o.err;
  fs::path folder = o.out.substr(0, o.out.size() - 1);
  EXPECT_EQ(folder.parent_path(), root);
  auto made = store.load(folder);
  ASSERT_TRUE(made);
  EXPECT_EQ(made->meta.title, "Retro do time");
  EXPECT_EQ(made->meta.language, MeetingLanguage::en());
  EXPECT_EQ(made->meta.attendees, std::vector<std::string>{"Ana"});
  EXPECT_TRUE(made->meta.calendarEventID && made->meta.calendarEventID->starts_with("Retro@"));
  writeFile(root.parent_path() / "arquivo", "x");
  preferences(R"({"storagePath": ")" + (root.parent_path() / "arquivo" / "sub").string() + R"("})");
  o = quillet({"new", "x"});
  EXPECT_EQ(o.status, 1);
  EXPECT_TRUE(o.err.starts_with("erro: ")) << o.err;
}
