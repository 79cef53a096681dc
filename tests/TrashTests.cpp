#include <glib.h>
#include <gtest/gtest.h>

#include "QuilletKit/Store.hpp"
#include "QuilletKit/Trash.hpp"
#include "TestSupport.hpp"

using namespace quillet;
using namespace quillet::test;
namespace fs = std::filesystem;

TEST(Trash, FindsTheCopyTrashedLast) {
  TempDir dir;
  // The trash GIO uses is the one looked in: GLib reads its folder once.
  setenv("XDG_DATA_HOME", (dir.path() / "data").c_str(), 1);
  const fs::path trash = fs::path(g_get_user_data_dir()) / "Trash";
  setenv("XDG_DATA_HOME", trash.parent_path().c_str(), 1);
  Store store{dir.path() / "Quillet"};
  Meeting first = store.create(meta("Duas vezes"));
  store.trash(first);
  Meeting second = store.create(meta("Duas vezes"));  // the same folder name again
  writeFile(second.folder / "notas.md", "segunda");
  store.trash(second);

  auto found = Trash::location(second.folder);
  ASSERT_TRUE(found);
  EXPECT_EQ(found->parent_path(), trash / "files");
  EXPECT_EQ(readFile(*found / "notas.md"), "segunda");
  EXPECT_FALSE(Trash::location(dir.path() / "Quillet" / "nunca"));
}
