#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "QuilletKit/Store.hpp"
#include "QuilletKit/Text.hpp"
#include "TestSupport.hpp"

using namespace quillet;
using namespace quillet::test;
namespace fs = std::filesystem;

namespace {

class StoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "America/Sao_Paulo", 1);
    tzset();
  }
  TempDir dir;
  Store store{dir.path() / "Quillet"};
};

}  // namespace

TEST_F(StoreTest, FolderNames) {
  EXPECT_EQ(Store::folderName(meta("Daily")), "2025-03-01 1105 Daily");
  EXPECT_EQ(Store::folderName(meta("   ")), "2025-03-01 1105 Reunião");
  EXPECT_EQ(Store::folderName(meta("")), "2025-03-01 1105 Reunião");
  EXPECT_EQ(Store::folderName(meta("/:\\?%*|\"<>")), "2025-03-01 1105 ----------");
  EXPECT_EQ(Store::folderName(meta(" 1:1 Ana/Bruno\nfollow-up\t ")), "2025-03-01 1105 1-1 Ana-Bruno-follow-up-");
  std::string eighty;
  for (int i = 0; i < 80; ++i) eighty += "é";
  std::string name = Store::folderName(meta(eighty));
  EXPECT_EQ(text::characterCount(name.substr(16)), 60u);
  // Sixty clusters of many marks each still make a name the file system takes.
  std::string heavy;
  for (int i = 0; i < 60; ++i) heavy += "a\u0301\u0302\u0303\u0304";
  EXPECT_LE(Store::folderName(meta(heavy)).size(), 255u);
}

TEST_F(StoreTest, CreateSaveLoadAndList) {
  EXPECT_TRUE(store.list().empty());
  Meeting first = store.create(meta("Daily", "2025-03-01T14:05:00Z"));
  Meeting second = store.create(meta("Daily", "2025-03-01T14:05:30Z"));
  Meeting third = store.create(meta("Daily", "2025-03-01T14:05:59Z"));
  EXPECT_EQ(first.folder.filename(), "2025-03-01 1105 Daily");
  EXPECT_EQ(second.folder.filename(), "2025-03-01 1105 Daily 2");
  EXPECT_EQ(third.folder.filename(), "2025-03-01 1105 Daily 3");
  EXPECT_EQ(readFile(first.folder / "notas.md"), "");

  first.notes = "minhas notas";
  first.enhanced = "## Resumo";
  first.segments = {segment(Speaker::me, 0, 1, "oi"), segment(Speaker::them, 1, 2, "olá")};
  store.save(first);
  store.saveTranscript(first);
  EXPECT_EQ(store.load(first.folder), first);
  EXPECT_EQ(readFile(first.folder / "transcricao.md"), "# Daily\n\n**[00:00] Eu:** oi\n\n**[00:01] Outros:** olá\n\n");

  auto listed = store.list();
  ASSERT_EQ(listed.size(), 3u);
  EXPECT_EQ(listed[0].folder, third.folder);
  EXPECT_EQ(listed[2], first);

  first.enhanced.reset();
  store.save(first);
  EXPECT_FALSE(fs::exists(first.folder / "notas-ia.md"));
  EXPECT_FALSE(store.load(first.folder)->enhanced);
}

TEST_F(StoreTest, ConcurrentCreatorsNeverShareAFolder) {
  const int children = 8;
  std::vector<pid_t> pids;
  for (int i = 0; i < children; ++i) {
    pid_t pid = fork();
    if (pid == 0) {
      try {
        store.create(meta("Mesma reunião"));
        _exit(0);
      } catch (...) {
        _exit(1);
      }
    }
    pids.push_back(pid);
  }
  for (pid_t pid : pids) {
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  std::set<Uuid> ids;
  for (const auto& m : store.list()) ids.insert(m.id());
  EXPECT_EQ(ids.size(), static_cast<size_t>(children));
}

TEST_F(StoreTest, ToleratesBrokenFolders) {
  fs::create_directories(store.root / "no-meta");
  writeFile(store.root / "bad-meta" / "meta.json", "{\"id\": ");
  writeFile(store.root / "garbage" / "meta.json", std::string("\0\x01\xff\xfe", 4));
  writeFile(store.root / "a-file", "not a folder");
  writeFile(store.root / ".hidden" / "meta.json", encodeMeta(meta("oculta")));
  fs::create_directories(store.root / "dir-meta" / "meta.json");
  Meeting good = store.create(meta("Boa"));
  ::mkfifo((good.folder / "notas.md").c_str(), 0644);  // fs::remove first
  fs::remove(good.folder / "notas.md");
  ::mkfifo((good.folder / "notas.md").c_str(), 0644);
  auto listed = store.list();
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0].meta.title, "Boa");
  EXPECT_EQ(listed[0].notes, "");
  EXPECT_FALSE(store.load(store.root / "bad-meta"));
  EXPECT_TRUE(Store{dir.path() / "missing"}.list().empty());
  EXPECT_TRUE(Store{store.root / "a-file"}.list().empty());

  if (geteuid() != 0) {  // root reads anything
    Meeting locked = store.create(meta("Trancada"));
    fs::permissions(locked.folder / "meta.json", fs::perms::none);
    EXPECT_FALSE(store.load(locked.folder));
  }
}

TEST_F(StoreTest, TranscriptLinesAreReadOneByOne) {
  Meeting m = store.create(meta("T"));
  auto a = segment(Speaker::me, 0, 1, "um"), b = segment(Speaker::them, 1, 2, "dois"),
       c = segment(Speaker::me, 2, 3, "três");
  std::string body = "\n" + encodeSegmentLine(a) + "\n\n{broken\n" + encodeSegmentLine(b) + "\n\xff\xfe\n" +
                     std::string(1 << 20, 'x') + "\n" + encodeSegmentLine(c);
  writeFile(m.folder / "transcricao.jsonl", body);
  EXPECT_EQ(store.segments(m.folder), (std::vector<Segment>{a, b, c}));
  // An invalid byte elsewhere in the notes does not blank them.
  writeFile(m.folder / "notas.md", "ação \xff fim");
  EXPECT_EQ(store.load(m.folder)->notes, "ação \xEF\xBF\xBD fim");
}

TEST_F(StoreTest, AppendCreatesAppendsAndHealsACutLine) {
  Meeting m = store.create(meta("Ao vivo"));
  auto a = segment(Speaker::me, 0, 1, "um"), b = segment(Speaker::them, 1, 2, "dois"),
       c = segment(Speaker::me, 2, 3, "três");
  store.append(a, m.folder);
  EXPECT_EQ(readFile(m.folder / "transcricao.jsonl"), encodeSegmentLine(a) + "\n");
  store.append(b, m.folder);
  // A crash left half a line behind: the next segment must not be glued to it.
  std::string b64 = encodeSegmentLine(b);
  std::ofstream(m.folder / "transcricao.jsonl", std::ios::app) << b64.substr(0, 20);
  store.append(c, m.folder);
  EXPECT_EQ(store.segments(m.folder), (std::vector<Segment>{a, b, c}));
  EXPECT_THROW(store.append(a, dir.path() / "no-such-folder"), fs::filesystem_error);
}

TEST_F(StoreTest, FailedWritesKeepThePreviousFiles) {
  Meeting m = store.create(meta("Original"));
  std::string before = readFile(m.folder / "meta.json");
  Meeting broken = m;
  broken.meta.title = "\xff invalid";
  EXPECT_THROW(store.save(broken), std::invalid_argument);
  EXPECT_EQ(readFile(m.folder / "meta.json"), before);

  Meeting elsewhere = m;
  elsewhere.folder = dir.path() / "gone";
  EXPECT_THROW(store.save(elsewhere), fs::filesystem_error);
  EXPECT_THROW(store.saveTranscript(elsewhere), fs::filesystem_error);
  // No temporary files are left behind.
  size_t files = 0;
  for (auto& e : fs::directory_iterator(m.folder)) files += e.path().filename().string().starts_with(".") ? 100 : 1;
  EXPECT_EQ(files, 2u);
}

TEST_F(StoreTest, SavedEnhancedNotesKeepWhatChangedMeanwhile) {
  Meeting m = store.create(meta("Antes"));
  Meeting edited = m;
  edited.meta.title = "Depois";
  edited.notes = "- digitado\n";
  store.save(edited);
  store.saveEnhanced(m.folder, "## Notas", "Modelo X");
  auto saved = store.load(m.folder);
  ASSERT_TRUE(saved);
  EXPECT_EQ(saved->enhanced, "## Notas");
  EXPECT_EQ(saved->meta.enhancedWith, "Modelo X");
  EXPECT_EQ(saved->meta.title, "Depois");
  EXPECT_EQ(saved->notes, "- digitado\n");
  writeFile(m.folder / "meta.json", "{");
  EXPECT_THROW(store.saveEnhanced(m.folder, "x", "y"), fs::filesystem_error);
}

TEST_F(StoreTest, TrashMovesTheFolderToTheUsersTrash) {
  setenv("XDG_DATA_HOME", (dir.path() / "data").c_str(), 1);
  setenv("HOME", dir.path().c_str(), 1);
  Meeting m = store.create(meta("Lixo"));
  store.trash(m);
  EXPECT_FALSE(fs::exists(m.folder));
  EXPECT_TRUE(fs::exists(dir.path() / "data" / "Trash" / "files" / m.folder.filename() / "meta.json"));
  EXPECT_THROW(store.trash(m), fs::filesystem_error);
}

TEST(StorePaths, DefaultRootFollowsUserDirs) {
  TempDir dir;
  setenv("HOME", dir.path().c_str(), 1);
  setenv("XDG_CONFIG_HOME", (dir.path() / "cfg").c_str(), 1);
  EXPECT_EQ(Store::defaultRoot(), dir.path() / "Documents" / "Quillet");
  writeFile(dir.path() / "cfg" / "user-dirs.dirs", "# x\nXDG_DOCUMENTS_DIR=\"$HOME/Documentos\"\n");
  EXPECT_EQ(Store::defaultRoot(), dir.path() / "Documentos" / "Quillet");
}
