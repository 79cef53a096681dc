#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <functional>

#include "FaultyEnv.hpp"
#include "QuilletKit/Files.hpp"
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

// What a sparse file may claim without taking any disk.
constexpr uintmax_t kHugeSize = uintmax_t{40} << 30;

size_t hiddenEntries(const fs::path& folder) {
  size_t count = 0;
  for (const auto& entry : fs::directory_iterator(folder)) count += entry.path().filename().string().starts_with(".");
  return count;
}

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

TEST_F(StoreTest, OversizedFilesAreUnreadableAndTheRestIsListed) {
  fs::resize_file(store.create(meta("Meta enorme")).folder / "meta.json", kHugeSize);
  Meeting hugeNotes = store.create(meta("Notas enormes"));
  fs::resize_file(hugeNotes.folder / "notas.md", kHugeSize);
  writeFile(hugeNotes.folder / "notas-ia.md", "");
  fs::resize_file(hugeNotes.folder / "notas-ia.md", kHugeSize);
  // Lines over the bound, one of them a hole of 40 GiB, between valid ones.
  Meeting longLines = store.create(meta("Linhas enormes"));
  auto a = segment(Speaker::me, 0, 1, "um"), b = segment(Speaker::them, 1, 2, "dois"),
       c = segment(Speaker::me, 2, 3, "três");
  const fs::path transcript = longLines.folder / "transcricao.jsonl";
  writeFile(transcript, encodeSegmentLine(a) + "\n" + std::string(files::kLineLimit + 1, '{') + "\n" +
                            encodeSegmentLine(b) + "\n");
  fs::resize_file(transcript, kHugeSize);
  std::ofstream(transcript, std::ios::app) << "\n" << encodeSegmentLine(c) << "\n";
  // A transcript of many reads, lines crossing every read's edge.
  Meeting many = store.create(meta("Muitos trechos"));
  for (int i = 0; i < 2000; ++i) many.segments.push_back(segment(Speaker::them, i, i + 1, std::string(i % 300, 'p')));
  store.saveTranscript(many);

  auto listed = store.list();
  std::map<std::string, Meeting> byTitle;
  for (auto& m : listed) byTitle.emplace(m.meta.title, m);
  ASSERT_EQ(byTitle.size(), 3u);
  EXPECT_EQ(byTitle["Notas enormes"].notes, "");
  EXPECT_FALSE(byTitle["Notas enormes"].enhanced);
  EXPECT_EQ(byTitle["Linhas enormes"].segments, (std::vector<Segment>{a, b, c}));
  EXPECT_EQ(byTitle["Muitos trechos"].segments, many.segments);
}

// Past the process limit no helper thread starts; the listing must not fail.
TEST_F(StoreTest, ListsOnTheCallingThreadWhenNoThreadStarts) {
  // Enough folders for a helper thread to be wanted.
  for (int i = 0; i < 100; ++i) writeFile(store.root / std::to_string(i) / "meta.json", encodeMeta(meta("R")));
  fs::permissions(dir.path(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                  fs::perms::others_read | fs::perms::others_exec);
  pid_t child = fork();
  if (child == 0) {
    // The process limit does not bind root.
    if (geteuid() == 0 && setuid(65534) != 0) _exit(10);
    rlimit one{1, 1};
    if (setrlimit(RLIMIT_NPROC, &one) != 0) _exit(11);
    try {
      _exit(store.list().size() == 100 ? 0 : 12);
    } catch (...) {
      _exit(13);
    }
  }
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
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

TEST_F(StoreTest, AWriteRemovesTheAbandonedTemporariesOfItsFile) {
  Meeting m = store.create(meta("Sobras"));
  auto temporary = [](const std::string& name) { return "." + name + "." + Uuid::random().string() + ".tmp"; };
  const std::string live = temporary("notas.md");
  auto writing = Env::standard().newWritableFile(m.folder / live);
  struct Case {
    std::string name;
    bool stays;
  };
  const std::vector<Case> cases = {{temporary("notas.md"), false},
                                   {temporary("notas.md"), false},
                                   {live, true},
                                   {temporary("meta.json"), true},
                                   {".notas.md.backup", true},
                                   {".notas.md." + std::string(36, 'F') + ".tmp", true}};
  for (const auto& c : cases)
    if (c.name != live) writeFile(m.folder / c.name, "sobra de uma escrita morta");
  store.saveNotes(m);
  for (const auto& c : cases) EXPECT_EQ(fs::exists(m.folder / c.name), c.stays) << c.name;
  // Removing a file is its next write too.
  const std::string enhanced = temporary("notas-ia.md");
  writeFile(m.folder / enhanced, "sobra");
  store.save(m);
  EXPECT_FALSE(fs::exists(m.folder / enhanced));
}

// Wherever a whole-file write fails, the previous file stays whole, the
// system's reason reaches the caller and no temporary file stays behind.
TEST_F(StoreTest, FailingDiskKeepsThePreviousFiles) {
  using Op = FaultyEnv::Op;
  struct Fault {
    Op op;
    int error;
    bool keepsPrevious;  // false once the new file is already in place
  };
  const std::vector<Fault> faults = {{Op::create, ENOSPC, true}, {Op::write, ENOSPC, true},
                                     {Op::write, EIO, true},     {Op::sync, EIO, true},
                                     {Op::rename, EIO, true},    {Op::syncFolder, EIO, false}};
  struct Write {
    const char* file;
    int nth;  // which write of the operation it is
    std::function<void(const Store&, const Meeting&)> run;
  };
  auto save = [](const Store& s, const Meeting& m) { s.save(m); };
  auto saveTranscript = [](const Store& s, const Meeting& m) { s.saveTranscript(m); };
  const std::vector<Write> writes = {{"meta.json", 1, save},
                                     {"notas.md", 2, save},
                                     {"notas-ia.md", 3, save},
                                     {"notas.md", 1, [](const Store& s, const Meeting& m) { s.saveNotes(m); }},
                                     {"transcricao.jsonl", 1, saveTranscript},
                                     {"transcricao.md", 2, saveTranscript}};
  for (const Fault& fault : faults) {
    for (const Write& write : writes) {
      SCOPED_TRACE(std::string(write.file) + " failing with " + std::strerror(fault.error) + " at op " +
                   std::to_string(static_cast<int>(fault.op)));
      Meeting m = store.create(meta("Antes"));
      for (const char* file : {"notas.md", "notas-ia.md", "transcricao.jsonl", "transcricao.md"})
        writeFile(m.folder / file, "antes");
      const std::string before = readFile(m.folder / write.file);
      Meeting changed = m;
      changed.meta.title = changed.notes = "depois";
      changed.enhanced = "depois";
      changed.segments.push_back(segment(Speaker::them, 1, 2, "depois"));
      FaultyEnv env;
      env.failFrom(fault.op, fault.error, write.nth);
      try {
        write.run(Store{store.root, &env}, changed);
        ADD_FAILURE() << "no error";
      } catch (const fs::filesystem_error& error) {
        EXPECT_EQ(error.code(), std::error_code(fault.error, std::generic_category()));
        EXPECT_EQ(error.path1(), m.folder / write.file);
      }
      if (fault.keepsPrevious) {
        EXPECT_EQ(readFile(m.folder / write.file), before);
      }
      EXPECT_EQ(hiddenEntries(m.folder), 0u);
    }
  }
}

TEST_F(StoreTest, TrashMovesTheFolderToTheUsersTrash) {
  ScopedEnv env{{"XDG_DATA_HOME", (dir.path() / "data").string()}, {"HOME", dir.path().string()}};
  const fs::path trash = userTrash();
  Meeting m = store.create(meta("Lixo"));
  store.trash(m);
  EXPECT_FALSE(fs::exists(m.folder));
  EXPECT_TRUE(fs::exists(trash / "files" / m.folder.filename() / "meta.json"));
  EXPECT_THROW(store.trash(m), fs::filesystem_error);
}

TEST(StorePaths, DefaultRootFollowsUserDirs) {
  TempDir dir;
  ScopedEnv env{{"HOME", dir.path().string()}, {"XDG_CONFIG_HOME", (dir.path() / "cfg").string()}};
  EXPECT_EQ(Store::defaultRoot(), dir.path() / "Documents" / "Quillet");
  writeFile(dir.path() / "cfg" / "user-dirs.dirs", "# x\nXDG_DOCUMENTS_DIR=\"$HOME/Documentos\"\n");
  EXPECT_EQ(Store::defaultRoot(), dir.path() / "Documentos" / "Quillet");
  // A file claiming 40 GiB is not read at all.
  fs::resize_file(dir.path() / "cfg" / "user-dirs.dirs", kHugeSize);
  EXPECT_EQ(Store::defaultRoot(), dir.path() / "Documents" / "Quillet");
}
