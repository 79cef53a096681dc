#include <gtest/gtest.h>

#include "QuilletKit/Store.hpp"
#include "TestSupport.hpp"

using namespace quillet;
using namespace quillet::test;
namespace fs = std::filesystem;

namespace {

using Cli = ToolTest;

}  // namespace

TEST_F(Cli, UsageForNoOrUnknownCommands) {
  for (const auto& args : std::vector<std::vector<std::string>>{{}, {"nada"}, {"LIST"}, {"--provider", "x"}}) {
    Outcome o = quillet(args);
    EXPECT_EQ(o.out, kUsage);
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(o.status, 0);
  }
}

TEST_F(Cli, ListsTheStoreNewestFirstWithMarks) {
  fs::path root = dir.path() / "notas";
  preferences(R"({"storagePath": ")" + root.string() + R"("})");
  Outcome empty = quillet({"list"});
  EXPECT_EQ(empty.out, "");
  EXPECT_EQ(empty.status, 0);

  Store store{root};
  Meeting older = store.create(meta("Só notas", "2025-03-01T14:05:00Z"));
  Meeting enhanced = store.create(meta("Com IA", "2025-03-02T09:00:00Z"));
  enhanced.enhanced = "";
  store.save(enhanced);
  Meeting recorded = store.create(meta("Gravada", "2025-03-03T18:30:00Z"));
  recorded.segments = {segment(Speaker::me, 0, 1, "oi"), segment(Speaker::them, 1, 2, "olá")};
  store.saveTranscript(recorded);
  writeFile(root / "quebrada" / "meta.json", "{");
  writeFile(root / "solta.txt", "x");

  Outcome o = quillet({"list", "--ignored", "word"});
  EXPECT_EQ(o.out,
            "\u25CB 03/03/2025, 15:30  Gravada  [2 trechos]\n"
            "\u2726 02/03/2025, 06:00  Com IA  [0 trechos]\n"
            "\u00B7 01/03/2025, 11:05  Só notas  [0 trechos]\n");
  EXPECT_EQ(o.err, "");
  EXPECT_EQ(o.status, 0);

  Outcome english = quillet({"list"}, {{"LANG", "en_US.UTF-8"}, {"TZ", "UTC"}});
  EXPECT_NE(english.out.find("3/3/2025, 6:30\u202FPM  Gravada"), std::string::npos) << english.out;
}

TEST_F(Cli, MissingStoreListsNothing) {
  preferences(R"({"storagePath": "/nonexistent/quillet"})");
  Outcome o = quillet({"list"});
  EXPECT_EQ(o.out + o.err, "");
  EXPECT_EQ(o.status, 0);
}

TEST_F(Cli, ExampleStoreThroughTheRepositoryConfiguration) {
  std::map<std::string, std::string> env = {{"HOME", dir.path().string()},
                                            {"XDG_CONFIG_HOME", std::string(QUILLET_SOURCE_DIR) + "/examples/config"},
                                            {"TZ", "America/Sao_Paulo"},
                                            {"LANG", "pt_BR.UTF-8"}};
  Outcome o = run(QUILLET_BINARY, {"list"}, env, QUILLET_SOURCE_DIR);
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(std::count(o.out.begin(), o.out.end(), '\n'), 5);
  EXPECT_NE(o.out.find("\u2726 10/03/2025, 09:30  Planejamento do trimestre  [8 trechos]"), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("1:1 Ana/Bruno"), std::string::npos);
}

TEST_F(Cli, AResultThatCannotBeWrittenIsAFailure) {
  preferences(R"({"storagePath": ")" + (std::string(QUILLET_SOURCE_DIR) + "/examples/store") + R"("})");
  pid_t pid = fork();
  if (pid == 0) {
    int full = open("/dev/full", O_WRONLY);
    dup2(full, 1);
    int quiet = open("/dev/null", O_WRONLY);
    dup2(quiet, 2);
    setenv("XDG_CONFIG_HOME", (dir.path() / "config").c_str(), 1);
    execl(QUILLET_BINARY, QUILLET_BINARY, "list", nullptr);
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_EQ(WEXITSTATUS(status), 1);
}
