#include <glib.h>
#include <gtest/gtest.h>

#include "QuilletKit/Store.hpp"
#include "QuilletKit/Trash.hpp"
#include "TestSupport.hpp"

using namespace quillet;
using namespace quillet::test;
namespace fs = std::filesystem;

TEST(Trash, AMeetingMovesThereAndTheCopyTrashedLastIsFound) {
  TempDir dir;
  // The trash GIO uses is the one looked in: GLib reads its folder once.
  ScopedEnv env("XDG_DATA_HOME", (dir.path() / "data").string());
  const fs::path trash = userTrash();
  env.set("XDG_DATA_HOME", trash.parent_path().string());
  Store store{dir.path() / "Quillet"};
  Meeting first = store.create(meta("Duas vezes"));
  store.trash(first);
  EXPECT_FALSE(fs::exists(first.folder));
  EXPECT_THROW(store.trash(first), fs::filesystem_error);
  Meeting second = store.create(meta("Duas vezes"));  // the same folder name again
  writeFile(second.folder / "notas.md", "segunda");
  store.trash(second);

  auto found = Trash::location(second.folder);
  ASSERT_TRUE(found);
  EXPECT_EQ(found->parent_path(), trash / "files");
  EXPECT_EQ(readFile(*found / "notas.md"), "segunda");
  EXPECT_FALSE(Trash::location(dir.path() / "Quillet" / "nunca"));
}
