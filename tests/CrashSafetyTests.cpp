// Kills a writer with SIGKILL at random moments and checks that every file
// reads back whole: the previous version or the new one, never a mix, and no
// appended line lost but the one being written.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <random>

#include "QuilletKit/Preferences.hpp"
#include "QuilletKit/Store.hpp"
#include "TestSupport.hpp"

using namespace quillet;
using namespace quillet::test;
namespace fs = std::filesystem;

namespace {

int rounds() {
  const char* value = std::getenv("QUILLET_CRASH_ROUNDS");
  return value && *value ? std::atoi(value) : 150;
}

// The child's endless work: create meetings, rewrite one meeting's files and
// transcript, append to another, and save the preferences. A byte on
// `progress` when it starts and after each append.
[[noreturn]] void writeForever(const Store& store, const Meeting& rewritten, const fs::path& appended, int next,
                               int progress) {
  Meeting m = rewritten;
  Preferences prefs;
  prefs.storagePath = store.root.string();
  (void)!write(progress, "s", 1);
  for (int i = 0;; ++i) {
    store.append(Segment{Uuid::random(), Speaker::me, double(next), double(next) + 1, std::to_string(next)}, appended);
    ++next;
    (void)!write(progress, "a", 1);
    m.meta.title = "versão " + std::to_string(i);
    m.notes = std::string(static_cast<size_t>(i % 50) * 100, 'n');
    m.enhanced = i % 2 ? std::optional<std::string>("## ia " + std::to_string(i)) : std::nullopt;
    store.save(m);
    m.segments.push_back(Segment{Uuid::random(), Speaker::them, double(i), double(i) + 1, "linha " + std::to_string(i)});
    store.saveTranscript(m);
    prefs.autoStopMinutes = i;
    prefs.save();
    if (i % 7 == 0) store.create(m.meta);
  }
}

}  // namespace

TEST(CrashSafety, KilledWritersLeaveWholeFiles) {
  TempDir dir;
  setenv("XDG_CONFIG_HOME", (dir.path() / "config").c_str(), 1);
  Store store{dir.path() / "store"};
  Meeting rewritten = store.create(meta("reescrita"));
  Meeting live = store.create(meta("ao vivo"));
  Preferences initial;
  initial.storagePath = store.root.string();
  initial.save();
  std::mt19937 random(std::random_device{}());
  int appendedSoFar = 0, glued = 0;

  for (int round = 0; round < rounds(); ++round) {
    int progress[2];
    ASSERT_EQ(pipe(progress), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) writeForever(store, rewritten, live.folder, appendedSoFar, progress[1]);
    close(progress[1]);
    // Time counts from the child's own progress, so that a loaded machine
    // that keeps it waiting does not turn every round into an empty one.
    char seen;
    for (int wanted = std::uniform_int_distribution<>(1, 2)(random); wanted > 0 && read(progress[0], &seen, 1) == 1;)
      --wanted;
    usleep(std::uniform_int_distribution<useconds_t>(200, 15000)(random));
    kill(child, SIGKILL);
    close(progress[0]);
    int status = 0;
    waitpid(child, &status, 0);

    // Every appended segment is there, in order, with no gap.
    auto segments = store.segments(live.folder);
    ASSERT_GE(static_cast<int>(segments.size()), appendedSoFar) << "round " << round;
    for (size_t i = 0; i < segments.size(); ++i) ASSERT_EQ(segments[i].text, std::to_string(i)) << "round " << round;
    appendedSoFar = static_cast<int>(segments.size());
    // Now and then, leave a line cut in half as a crash inside write() would.
    if (round % 5 == 0) {
      std::ofstream(live.folder / "transcricao.jsonl", std::ios::app) << "{\"end\":1,\"id\":\"E6";
      ++glued;
    }

    auto loaded = store.load(rewritten.folder);
    ASSERT_TRUE(loaded) << "meta.json torn in round " << round;
    if (loaded->meta.title != "reescrita") {
      ASSERT_TRUE(loaded->meta.title.starts_with("versão ")) << loaded->meta.title;
    }
    for (const auto& entry : fs::directory_iterator(store.root)) {
      if (fs::exists(entry.path() / "meta.json")) {
        ASSERT_TRUE(store.load(entry.path())) << entry.path();
      }
    }
    auto transcript = store.segments(rewritten.folder);
    for (size_t i = 0; i < transcript.size(); ++i) ASSERT_EQ(transcript[i].text, "linha " + std::to_string(i));

    Preferences prefs = Preferences::load();
    ASSERT_EQ(prefs.storagePath, store.root.string()) << "preferences reset in round " << round;
  }
  EXPECT_GT(appendedSoFar, 0);
  EXPECT_GT(glued, 0);

  // The next write of each file clears what the killed writers left of it.
  Meeting last = *store.load(rewritten.folder);
  store.save(last);
  store.saveTranscript(last);
  Preferences::load().save();
  for (const fs::path& folder : {rewritten.folder, Preferences::file().parent_path()})
    for (const auto& entry : fs::directory_iterator(folder))
      EXPECT_FALSE(entry.path().filename().string().starts_with(".")) << entry.path();
}
