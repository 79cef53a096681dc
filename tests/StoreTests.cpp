#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

#include "FaultyEnv.hpp"
#include "QuilletKit/Files.hpp"
#include "QuilletKit/Store.hpp"
#include "TestSupport.hpp"

using namespace quillet;
using namespace quillet::test;
namespace fs = std::filesystem;

namespace {

class StoreTest : public ::testing::Test {
 protected:
  TempDir dir;
  ScopedEnv zone{"TZ", "America/Sao_Paulo"};
  Store store{dir.path() / "Quillet"};
  const std::vector<Segment> three = {segment(Speaker::me, 0, 1, "um"), segment(Speaker::them, 1, 2, "dois"),
                                      segment(Speaker::me, 2, 3, "três")};
};

// What a sparse file may claim without taking any disk.
constexpr uintmax_t kHugeSize = uintmax_t{40} << 30;

size_t hiddenEntries(const fs::path& folder) {
  return std::ranges::count_if(fs::directory_iterator(folder),
                               [](const fs::directory_entry& e) { return e.path().filename().string()[0] == '.'; });
}

}  // namespace

TEST_F(StoreTest, FolderNamesAreCleanedAndBounded) {
  std::string eighty, heavy;
  for (int i = 0; i < 80; ++i) eighty += "é";
  for (int i = 0; i < 60; ++i) heavy += "a\u0301\u0302\u0303\u0304";  // clusters of many marks
  for (const auto& [title, name] : std::vector<std::pair<std::string, std::string>>{
           {"Daily", "Daily"}, {"   ", "Reunião"}, {"/:\\?%*|\"<>", "----------"},
           {" 1:1 Ana/Bruno\nfollow-up\t ", "1-1 Ana-Bruno-follow-up-"}, {eighty, eighty.substr(0, 120)}})
    EXPECT_EQ(Store::folderName(meta(title)), "2025-03-01 1105 " + name);
  EXPECT_LE(Store::folderName(meta(heavy)).size(), 255u);
}

// A taken folder name gets a number; an enhanced save keeps what changed meanwhile; a refused write leaves the
// previous files; appending heals a line that a crash cut.
TEST_F(StoreTest, CreateSaveLoadListAndAppend) {
  std::vector<Meeting> made;
  for (const char* start : {"2025-03-01T14:05:00Z", "2025-03-01T14:05:30Z", "2025-03-01T14:05:59Z"})
    made.push_back(store.create(meta("Daily", start)));
  EXPECT_EQ(made[2].folder.filename(), "2025-03-01 1105 Daily 3");
  Meeting& first = made[0];
  first.notes = "minhas notas";
  first.segments = {segment(Speaker::me, 0, 1, "oi"), segment(Speaker::them, 1, 2, "olá")};
  store.save(first);
  store.saveTranscript(first);
  store.saveEnhanced(first.folder, "## Resumo", "Modelo X");
  first.enhanced = "## Resumo";
  first.meta.enhancedWith = "Modelo X";
  EXPECT_EQ(readFile(first.folder / "transcricao.md"), "# Daily\n\n**[00:00] Eu:** oi\n\n**[00:01] Outros:** olá\n\n");
  auto listed = store.list();
  ASSERT_EQ(listed.size(), 3u);
  EXPECT_EQ(listed[0].folder, made[2].folder);
  EXPECT_EQ(listed[2], first);

  Meeting broken = first;
  broken.meta.title = "\xff invalid";
  EXPECT_THROW(store.save(broken), std::invalid_argument);
  EXPECT_EQ(store.load(first.folder), first);
  EXPECT_THROW(store.append(three[0], dir.path() / "gone"), fs::filesystem_error);

  const fs::path live = made[1].folder;
  store.append(three[0], live);
  store.append(three[1], live);
  std::ofstream(live / "transcricao.jsonl", std::ios::app) << encodeSegmentLine(three[1]).substr(0, 20);
  store.append(three[2], live);
  EXPECT_EQ(store.segments(live), three);
  writeFile(live / "meta.json", "{");
  EXPECT_THROW(store.saveEnhanced(live, "x", "y"), fs::filesystem_error);
  EXPECT_EQ(hiddenEntries(live), 0u);
}

TEST_F(StoreTest, ConcurrentCreatorsNeverShareAFolder) {
  std::vector<pid_t> children;
  for (int i = 0; i < 8; ++i) {
    children.push_back(fork());
    if (children.back() != 0) continue;
    try {
      _exit(store.create(meta("Mesma reunião")).folder.empty() ? 1 : 0);
    } catch (...) {
      _exit(100);
    }
  }
  for (pid_t child : children) {
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  EXPECT_EQ(store.list().size(), children.size());
}

TEST_F(StoreTest, WhatCannotBeReadIsSkippedAndTheRestIsListed) {
  fs::create_directories(store.root / "no-meta");
  writeFile(store.root / "bad-meta" / "meta.json", "{\"id\": ");
  writeFile(store.root / "a-file", "not a folder");
  writeFile(store.root / ".hidden" / "meta.json", encodeMeta(meta("oculta")));
  fs::create_directories(store.root / "dir-meta" / "meta.json");
  fs::permissions(store.create(meta("Trancada")).folder / "meta.json", fs::perms::none);
  // Notes that are a pipe or too large read as none; an invalid byte does not blank them.
  const fs::path pipe = store.create(meta("Pipe")).folder / "notas.md";
  fs::remove(pipe);
  ::mkfifo(pipe.c_str(), 0644);
  const fs::path huge = store.create(meta("Enorme")).folder;
  for (const char* file : {"notas.md", "notas-ia.md"}) {
    writeFile(huge / file, "");
    fs::resize_file(huge / file, kHugeSize);
  }
  // Blank, broken and invalid lines, one over the bound, a hole of 40 GiB and no final line feed around valid ones.
  const fs::path lines = store.create(meta("Linhas")).folder;
  writeFile(lines / "notas.md", "ação \xff fim");
  writeFile(lines / "transcricao.jsonl", "\n" + encodeSegmentLine(three[0]) + "\n\n{broken\n" +
                                             encodeSegmentLine(three[1]) + "\n\xff\xfe\n" +
                                             std::string(files::kLineLimit + 1, '{') + "\n");
  fs::resize_file(lines / "transcricao.jsonl", kHugeSize);
  std::ofstream(lines / "transcricao.jsonl", std::ios::app) << "\n" << encodeSegmentLine(three[2]);
  // A transcript of many reads, lines crossing every read's edge.
  Meeting many = store.create(meta("Muitos"));
  for (int i = 0; i < 2000; ++i) many.segments.push_back(segment(Speaker::them, i, i + 1, std::string(i % 300, 'p')));
  store.saveTranscript(many);

  std::map<std::string, Meeting> byTitle;
  for (auto& m : store.list()) byTitle.emplace(m.meta.title, m);
  EXPECT_EQ(byTitle.erase("Trancada"), geteuid() == 0 ? 1u : 0u);  // root reads anything
  ASSERT_EQ(byTitle.size(), 4u);
  EXPECT_EQ(byTitle["Pipe"].notes + byTitle["Enorme"].notes, "");
  EXPECT_FALSE(byTitle["Enorme"].enhanced);
  EXPECT_EQ(byTitle["Linhas"].notes, "ação \xEF\xBF\xBD fim");
  EXPECT_EQ(byTitle["Linhas"].segments, three);
  EXPECT_EQ(byTitle["Muitos"].segments, many.segments);
  EXPECT_TRUE(Store{dir.path() / "missing"}.list().empty());
}

TEST_F(StoreTest, AWriteRemovesTheAbandonedTemporariesOfItsFile) {
  Meeting m = store.create(meta("Sobras"));
  auto temporary = [](const std::string& name) { return "." + name + "." + Uuid::random().string() + ".tmp"; };
  const std::string live = temporary("notas.md");
  auto writing = Env::standard().newWritableFile(m.folder / live);
  // Without enhanced notes, removing their file is its next write too.
  const std::vector<std::pair<std::string, bool>> stays = {
      {temporary("notas.md"), false}, {live, true}, {temporary("transcricao.md"), true}, {".notas.md.backup", true},
      {".notas.md." + std::string(36, 'F') + ".tmp", true}, {temporary("notas-ia.md"), false}, {"notas-ia.md", false}};
  for (const auto& [name, kept] : stays)
    if (name != live) writeFile(m.folder / name, "sobra de uma escrita morta");
  store.save(m);
  for (const auto& [name, kept] : stays) EXPECT_EQ(fs::exists(m.folder / name), kept) << name;
}

// Wherever a whole-file write fails, the previous file stays whole, the system's reason reaches the caller and
// no temporary file stays behind. Whatever step of its "meta.json" write fails, an enhanced save puts back both
// files, or the absence of earlier enhanced notes.
TEST_F(StoreTest, FailingDiskKeepsThePreviousFiles) {
  using Run = std::function<void(const Store&, const Meeting&)>;
  const Run save = &Store::save;
  const Run saveEnhanced = [](const Store& s, const Meeting& m) { s.saveEnhanced(m.folder, "depois", "X"); };
  struct Write {
    const char* file;
    int nth;  // which write of the operation fails
    Run run;
    int times = 1 << 30;  // how many fail
  };
  const Write writes[] = {{"meta.json", 1, save}, {"notas.md", 2, save}, {"notas-ia.md", 3, save},
                          {"notas.md", 1, &Store::saveNotes}, {"transcricao.jsonl", 1, &Store::saveTranscript},
                          {"transcricao.md", 2, &Store::saveTranscript}, {"meta.json", 2, saveEnhanced, 1}};
  for (const FaultyEnv::Fault& fault : FaultyEnv::kFaults) {
    for (const Write& write : writes) {
      for (bool earlier : {false, true}) {
        SCOPED_TRACE(std::string(write.file) + " failing with " + fault.name());
        Meeting m = store.create(meta("Antes"));
        for (const char* file : {"notas.md", "notas-ia.md", "transcricao.jsonl", "transcricao.md"})
          if (earlier || file != std::string("notas-ia.md")) writeFile(m.folder / file, "antes");
        const std::string before = readFile(m.folder / write.file);
        Meeting changed = m;
        changed.meta.title = changed.notes = "depois";
        changed.enhanced = "depois";
        changed.segments.push_back(segment(Speaker::them, 1, 2, "depois"));
        FaultyEnv env;
        env.failFrom(fault.op, fault.error, write.nth, write.times);
        env.expectFailure([&](Env& faulty) { write.run(Store{store.root, &faulty}, changed); }, m.folder / write.file);
        // Once renamed, a new file is in place but not known to be durable.
        if (fault.op != FaultyEnv::Op::syncFolder || write.times == 1) {
          EXPECT_EQ(readFile(m.folder / write.file), before);
          EXPECT_EQ(store.load(m.folder)->enhanced, earlier ? std::optional<std::string>("antes") : std::nullopt);
        }
        EXPECT_EQ(hiddenEntries(m.folder), 0u);
      }
    }
  }
}

TEST_F(StoreTest, DefaultRootFollowsUserDirs) {
  ScopedEnv env{{"HOME", dir.path().string()}, {"XDG_CONFIG_HOME", (dir.path() / "cfg").string()}};
  EXPECT_EQ(Store::defaultRoot(), dir.path() / "Documents" / "Quillet");
  writeFile(dir.path() / "cfg" / "user-dirs.dirs", "# x\nXDG_DOCUMENTS_DIR=\"$HOME/Documentos\"\n");
  EXPECT_EQ(Store::defaultRoot(), dir.path() / "Documentos" / "Quillet");
}
