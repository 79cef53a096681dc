// A writer killed at random moments leaves every file whole: old or new, and no appended line lost but the last.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <random>

#include "QuilletKit/Store.hpp"
#include "TestSupport.hpp"

using namespace quillet;
using namespace quillet::test;
namespace fs = std::filesystem;

namespace {

// The child's endless work, with a byte on `progress` when it starts and after each append.
[[noreturn]] void writeForever(const Store& store, Meeting m, const fs::path& appended, int next, int progress) {
  (void)!write(progress, "s", 1);
  for (int i = 0;; ++i, ++next) {
    store.append(segment(Speaker::me, next, next + 1, std::to_string(next)), appended);
    (void)!write(progress, "a", 1);
    m.meta.title = "versão " + std::to_string(i);
    m.notes = std::string(static_cast<size_t>(i % 50) * 100, 'n');
    m.enhanced = i % 2 ? std::optional<std::string>("## ia " + std::to_string(i)) : std::nullopt;
    store.save(m);
    m.segments.push_back(segment(Speaker::them, i, i + 1, "linha " + std::to_string(i)));
    store.saveTranscript(m);
    if (i % 7 == 0) store.create(m.meta);
  }
}

}  // namespace

TEST(CrashSafety, KilledWritersLeaveWholeFiles) {
  TempDir dir;
  const char* rounds = std::getenv("QUILLET_CRASH_ROUNDS");
  Store store{dir.path() / "store"};
  Meeting rewritten = store.create(meta("reescrita"));
  Meeting live = store.create(meta("ao vivo"));
  std::mt19937 random(std::random_device{}());
  int appendedSoFar = 0;
  for (int round = 0; round < (rounds && *rounds ? std::atoi(rounds) : 150); ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    int progress[2];
    ASSERT_EQ(pipe(progress), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) writeForever(store, rewritten, live.folder, appendedSoFar, progress[1]);
    close(progress[1]);
    // Time counts from the child's progress, so that a loaded machine does not make every round an empty one.
    char seen;
    for (int wanted = std::uniform_int_distribution<>(1, 2)(random); wanted > 0 && read(progress[0], &seen, 1) == 1;)
      --wanted;
    usleep(std::uniform_int_distribution<useconds_t>(200, 15000)(random));
    kill(child, SIGKILL);
    close(progress[0]);
    waitpid(child, nullptr, 0);
    // Every appended segment is there, in order, with no gap.
    auto segments = store.segments(live.folder);
    ASSERT_GE(static_cast<int>(segments.size()), appendedSoFar);
    for (size_t i = 0; i < segments.size(); ++i) ASSERT_EQ(segments[i].text, std::to_string(i));
    appendedSoFar = static_cast<int>(segments.size());

    std::string title = store.load(rewritten.folder).value_or(Meeting{}).meta.title;
    ASSERT_TRUE(title == "reescrita" || title.starts_with("versão ")) << "meta.json torn";
    for (const auto& entry : fs::directory_iterator(store.root))
      ASSERT_TRUE(!fs::exists(entry.path() / "meta.json") || store.load(entry.path())) << entry.path();
    auto transcript = store.segments(rewritten.folder);
    for (size_t i = 0; i < transcript.size(); ++i) ASSERT_EQ(transcript[i].text, "linha " + std::to_string(i));
  }
  EXPECT_GT(appendedSoFar, 0);
}
