#include <gtest/gtest.h>

#include "QuilletKit/MeetingLookup.hpp"
#include "TestSupport.hpp"

using namespace quillet;
using namespace quillet::test;
namespace fs = std::filesystem;

TEST(MeetingLookup, NamesAMeetingByFolderTitleOrTheBeginningOfItsTitle) {
  TempDir dir;
  Store store{dir.path()};
  auto make = [&](const std::string& title, const char* start) { return store.create(meta(title, start)).folder; };
  fs::path weekly1 = make("Weekly sync", "2025-03-11T11:30:00Z");
  fs::path weekly2 = make("Weekly sync", "2025-03-18T11:30:00Z");
  fs::path review = make("Revisão de Arquitetura", "2025-03-14T10:00:00Z");
  fs::path plan = make("Planejamento", "2025-03-01T09:00:00Z");
  make("Planejamento do trimestre", "2025-03-10T09:00:00Z");
  writeFile(dir.path() / "sem meta" / "notas.md", "x");
  writeFile(dir.path() / "quebrada" / "meta.json", "{");

  using Folders = std::vector<fs::path>;
  using Case = std::tuple<std::string, std::optional<fs::path>, Folders>;  // a name, what it names, or candidates
  for (const auto& [name, folder, candidates] : std::vector<Case>{
           {weekly1.filename().string(), weekly1, {}},
           {"  revisao de ARQ ", review, {}},             // a beginning; case, accents, spaces around do not count
           {"planejamento", plan, {}},                   // a whole title wins over longer ones
           {"weekly", std::nullopt, {weekly2, weekly1}},  // ambiguous: newest first
           {"sem meta", std::nullopt, {}},               // a folder without meta.json is no meeting
           {"", std::nullopt, {}},
       }) {
    MeetingLookup::Result found = MeetingLookup::find(store, name);
    EXPECT_EQ(found.folder, folder) << name;
    Folders named;
    for (const auto& entry : found.candidates) named.push_back(entry.folder);
    EXPECT_EQ(named, candidates) << name;
  }
}
