#include <glib.h>
#include <gtest/gtest.h>

#include "QuilletKit/Store.hpp"
#include "QuilletKit/Trash.hpp"
#include "TestSupport.hpp"

using namespace quillet;
using namespace quillet::test;
namespace fs = std::filesystem;

TEST(Trash, AMeetingMovesThereAndOnlyAWellFormedRecordNamesTheCopyTrashedLast) {
  TempDir dir;
  // The trash GIO uses is the one looked in: GLib reads its folder once.
  ScopedEnv env("XDG_DATA_HOME", (dir.path() / "data").string());
  const fs::path trash = userTrash();
  env.set("XDG_DATA_HOME", trash.parent_path().string());
  Store store{dir.path() / "Quillet"};
  Meeting first = store.create(meta("Duas vezes"));
  store.trash(first);
  Meeting second = store.create(meta("Duas vezes"));  // the same folder name again
  writeFile(second.folder / "notas.md", "segunda");
  store.trash(second);

  auto found = Trash::location(second.folder);
  ASSERT_TRUE(found);
  EXPECT_EQ(readFile(*found / "notas.md"), "segunda");

  // A name that needs escapes of each kind, in the form GIO writes them.
  const fs::path original = dir.path() / "Quillet" / "2025-03-01 1405 50% Revisão\nação \\s";
  g_autofree char* escaped = g_uri_escape_string(original.c_str(), "/", FALSE);
  const std::string path = std::string("Path=") + escaped + "\n";
  for (const auto& [record, named] : std::vector<std::pair<std::string, bool>>{
           {"[Trash Info]\n" + path + "DeletionDate=2025-03-01T14:05:00\n", true},
           {path, false},                                       // no group
           {"[Other]\n" + path, false},                         // another group's key
           {"[Trash Info]\nPath=%00" + path.substr(5), false}}) {  // an escaped NUL
    writeFile(trash / "info" / (original.filename().string() + ".trashinfo"), record);
    EXPECT_EQ(Trash::location(original).has_value(), named) << record;
  }
}
