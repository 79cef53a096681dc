// The detector's logic over a substitute process list and a manual clock
// (catalog matching, the first qualifying process, the 1.5-second debounce,
// listeners), then the real PulseAudio backend with parecord as the
// meeting application.
#include <gtest/gtest.h>
#include <signal.h>

#include <map>

#include "MainContextSupport.hpp"
#include "QuilletKit/AudioProcesses.hpp"
#include "TestSupport.hpp"

using namespace quillet;
using namespace quillet::test;
using namespace std::chrono_literals;

namespace {

class FakeProcesses : public AudioProcessList {
 public:
  std::vector<AudioProcess> list;
  std::vector<uint32_t> watched;  // every observeInput, in order
  int listRegistrations = 0;

  std::vector<AudioProcess> processes() override { return list; }
  std::unique_ptr<Registration> observeList(std::function<void()> changed) override {
    ++listRegistrations;
    return add(0, std::move(changed), true);
  }
  std::unique_ptr<Registration> observeInput(uint32_t process, std::function<void()> changed) override {
    watched.push_back(process);
    return add(process, std::move(changed), false);
  }

  void setList(std::vector<AudioProcess> processes) {
    list = std::move(processes);
    notify([](const Observer& o) { return o.list; });
  }
  void setInput(uint32_t id, bool running) {
    for (auto& p : list)
      if (p.id == id) p.runningInput = running;
    notify([id](const Observer& o) { return !o.list && o.process == id; });
  }
  size_t liveInputObservers() const {
    return std::count_if(observers.begin(), observers.end(), [](const Observer& o) { return !o.list && *o.alive; });
  }

 private:
  struct Observer {
    uint32_t process;
    bool list;
    std::function<void()> changed;
    std::shared_ptr<bool> alive;
  };
  struct Alive : Registration {
    std::shared_ptr<bool> alive = std::make_shared<bool>(true);
    ~Alive() override { *alive = false; }
  };
  std::unique_ptr<Registration> add(uint32_t process, std::function<void()> changed, bool isList) {
    auto r = std::make_unique<Alive>();
    observers.push_back({process, isList, std::move(changed), r->alive});
    return r;
  }
  template <class Which>
  void notify(Which which) {
    auto copy = observers;
    for (auto& o : copy)
      if (*o.alive && which(o)) o.changed();
  }
  std::vector<Observer> observers;
};

AudioProcess process(uint32_t id, std::optional<std::string> bundle, bool running = false) {
  return {id, std::move(bundle), running};
}

struct MeetingDetectorTest : ::testing::Test {
  std::shared_ptr<FakeProcesses> processes = std::make_shared<FakeProcesses>();
  std::shared_ptr<ManualMainContext> context = std::make_shared<ManualMainContext>();
  std::shared_ptr<MeetingDetector> detector = makeMeetingDetector(processes, context);
  std::vector<std::optional<MeetingApp>> reports;

  void SetUp() override {
    detector->onChange = [this](const std::optional<MeetingApp>& app) { reports.push_back(app); };
  }
};

const MeetingApp kZoom{"us.zoom.xos", "Zoom"};

}  // namespace

TEST(MeetingApps, PrefixesMatchInCatalogOrder) {
  ASSERT_EQ(MeetingDetector::knownApps().size(), 17u);
  EXPECT_EQ(MeetingDetector::knownApps().front(), kZoom);
  EXPECT_EQ(MeetingDetector::knownApps().back(), (MeetingApp{"com.openai.atlas", "ChatGPT Atlas"}));
  struct Case {
    const char* identifier;
    std::optional<MeetingApp> app;
  } cases[] = {
      {"com.google.Chrome.helper", MeetingApp{"com.google.Chrome", "Google Chrome"}},
      {"com.microsoft.teams2", MeetingApp{"com.microsoft.teams", "Microsoft Teams"}},
      {"com.apple.WebKit.GPU", MeetingApp{"com.apple.WebKit", "Safari"}},
      {"us.zoom.xos", kZoom},
      {"org.example.Recorder", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(MeetingDetector::app(c.identifier), c.app) << c.identifier;
}

TEST(MeetingApps, LinuxClientsTakeTheirApplicationIdElseTheirFlatpakOrBinarysRow) {
  struct Case {
    const char *applicationID, *flatpakID, *binary;
    std::optional<std::string> bundle;
  } cases[] = {
      {"us.zoom.xos", nullptr, "pacat", "us.zoom.xos"},
      {"org.gnome.Totem", nullptr, "firefox", "org.gnome.Totem"},
      {"", nullptr, "slack", "com.tinyspeck.slackmacgap"},
      {nullptr, nullptr, "firefox", "org.mozilla.firefox"},
      {nullptr, nullptr, "chromium", "com.google.Chrome"},
      {nullptr, "us.zoom.Zoom", "zoom", "us.zoom.xos"},
      {nullptr, "org.mozilla.firefox", "firefox-bin", "org.mozilla.firefox"},
      {nullptr, nullptr, "bash", std::nullopt},
      {nullptr, nullptr, nullptr, std::nullopt},
  };
  for (const auto& c : cases)
    EXPECT_EQ(clientBundleID(c.applicationID, c.flatpakID, c.binary), c.bundle) << (c.binary ? c.binary : "-");
}

TEST_F(MeetingDetectorTest, AChangeIsReportedOnlyAfterHoldingForASecondAndAHalf) {
  processes->list = {process(1, "us.zoom.xos")};
  detector->start();
  processes->setInput(1, true);
  context->advance(1s);
  processes->setInput(1, false);
  context->advance(5s);
  EXPECT_TRUE(reports.empty());

  processes->setInput(1, true);
  context->advance(1499ms);
  EXPECT_TRUE(reports.empty());
  context->advance(501ms);
  ASSERT_EQ(reports, (std::vector<std::optional<MeetingApp>>{kZoom}));
  EXPECT_EQ(detector->active(), kZoom);
  processes->setInput(1, false);
  context->advance(1499ms);
  EXPECT_EQ(reports.size(), 1u);
  context->advance(1ms);
  EXPECT_EQ(reports, (std::vector<std::optional<MeetingApp>>{kZoom, std::nullopt}));
}

TEST_F(MeetingDetectorTest, TheFirstQualifyingProcessOfTheServersListWins) {
  struct Case {
    std::vector<AudioProcess> list;
    std::set<std::string> ignored;
    std::optional<MeetingApp> found;
  } cases[] = {
      {{process(1, "com.google.Chrome.helper", true), process(2, "us.zoom.xos", true)},
       {},
       MeetingApp{"com.google.Chrome", "Google Chrome"}},
      {{process(1, "app.quillet.mac", true), process(2, std::nullopt, true), process(3, "us.zoom.xos", false),
        process(4, "org.example", true)},
       {},
       std::nullopt},
      {{process(1, "com.apple.Safari", true), process(2, "com.apple.WebKit.Networking", true)},
       {"com.apple.Safari"},
       MeetingApp{"com.apple.WebKit", "Safari"}},
      {{process(1, "com.cisco.webexmeetingsapp", true), process(2, "Cisco-Systems.Spark", true)},
       {"com.cisco.webexmeetingsapp"},
       MeetingApp{"Cisco-Systems.Spark", "Webex"}},
      {{process(1, "us.zoom.xos", true)}, {"us.zoom.xos"}, std::nullopt},
  };
  for (auto& c : cases) {
    auto d = makeMeetingDetector(processes, context);
    std::optional<std::optional<MeetingApp>> reported;
    d->onChange = [&](const std::optional<MeetingApp>& app) { reported = app; };
    d->ignored = c.ignored;
    processes->list = c.list;
    d->start();
    context->advance(2s);
    EXPECT_EQ(d->active(), c.found);
    EXPECT_EQ(reported.has_value(), c.found.has_value());
  }
}

TEST_F(MeetingDetectorTest, ListenersFollowTheCatalogProcessesOfTheList) {
  processes->list = {process(1, "us.zoom.xos"), process(2, "org.example"), process(3, std::nullopt),
                     process(4, "org.mozilla.firefox")};
  detector->start();
  detector->start();
  EXPECT_EQ(processes->listRegistrations, 1);
  EXPECT_EQ(processes->watched, (std::vector<uint32_t>{1, 4}));

  processes->setList({process(4, "org.mozilla.firefox", true), process(5, "us.zoom.xos")});
  EXPECT_EQ(processes->watched, (std::vector<uint32_t>{1, 4, 5}));
  EXPECT_EQ(processes->liveInputObservers(), 2u);
  context->advance(2s);
  EXPECT_EQ(detector->active(), (MeetingApp{"org.mozilla.firefox", "Firefox"}));
}

TEST_F(MeetingDetectorTest, StopDropsThePendingReportAndListensNoMore) {
  processes->list = {process(1, "us.zoom.xos")};
  detector->start();
  processes->setInput(1, true);
  context->advance(2s);
  processes->setInput(1, false);
  context->advance(1s);
  detector->stop();
  EXPECT_EQ(processes->liveInputObservers(), 0u);
  EXPECT_EQ(context->pendingWaits(), 0u);
  context->advance(5s);
  processes->setList({process(1, "us.zoom.xos"), process(2, "com.hnc.Discord", true)});
  context->advance(5s);
  EXPECT_EQ(reports.size(), 1u);
  EXPECT_EQ(detector->active(), kZoom);  // kept across stop

  detector->start();  // evaluates at once
  context->advance(2s);
  EXPECT_EQ(detector->active(), (MeetingApp{"com.hnc.Discord", "Discord"}));
}

// ---- On the real sound server ----

namespace {

std::map<std::string, std::string> environment() {
  std::map<std::string, std::string> env;
  for (char** e = environ; *e; ++e) {
    std::string entry = *e;
    auto eq = entry.find('=');
    if (eq != std::string::npos) env[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  return env;
}

struct PulseDetectorTest : ::testing::Test {
  void SetUp() override {
    if (!std::getenv("PULSE_SERVER")) GTEST_SKIP() << "no PulseAudio server of the tests";
    detector = MeetingDetector::make();
    detector->onChange = [this](const std::optional<MeetingApp>& app) { reports.push_back(app); };
    detector->start();
    watching = server->observeList([] {});
  }
  void TearDown() override {
    if (detector) detector->stop();
  }
  // Records until stopped; returns once the server lists it (as recording,
  // unless it is one of our own streams), so that durations are measured
  // from there and not from the start of the program.
  Child record(const std::string& program, std::vector<std::string> args, const std::string& bundle) {
    const bool own = bundle == "app.quillet.mac";
    args.push_back((dir.path() / ("take" + std::to_string(++takes) + ".wav")).string());
    Child child = spawnChild(program, args, environment());
    EXPECT_TRUE(spinUntil(
        [&] {
          auto list = server->processes();
          return std::any_of(list.begin(), list.end(),
                             [&](const AudioProcess& p) { return (p.runningInput || own) && p.bundleID == bundle; });
        },
        5s));
    return child;
  }
  static void end(Child child) {
    kill(child.pid, SIGTERM);
    finish(child);
  }

  TempDir dir;
  int takes = 0;
  std::shared_ptr<AudioProcessList> server = pulseAudioProcesses(MainContext::main());
  std::unique_ptr<Registration> watching;
  std::shared_ptr<MeetingDetector> detector;
  std::vector<std::optional<MeetingApp>> reports;
};

}  // namespace

TEST_F(PulseDetectorTest, ACallIsReportedABlipIsNotAndOurOwnRecordingNever) {
  Child own = record("/usr/bin/parecord", {"--property=application.id=app.quillet.mac"}, "app.quillet.mac");
  Child blip = record("/usr/bin/parecord", {"--property=application.id=us.zoom.xos"}, "us.zoom.xos");
  spinFor(1s);
  end(blip);
  spinFor(2500ms);
  EXPECT_TRUE(reports.empty());

  Child call = record("/usr/bin/parecord", {"--property=application.id=us.zoom.xos"}, "us.zoom.xos");
  spinFor(2s);
  end(call);
  ASSERT_EQ(reports, (std::vector<std::optional<MeetingApp>>{kZoom}));
  auto stopped = std::chrono::steady_clock::now();
  ASSERT_TRUE(spinUntil([&] { return reports.size() == 2; }, 5s));
  EXPECT_GE(std::chrono::steady_clock::now() - stopped, 1500ms);
  EXPECT_EQ(reports[1], std::nullopt);
  end(own);
}

TEST_F(PulseDetectorTest, AClientRunningAsFirefoxIsFirefox) {
  // The binary's name is what the client reports: a copy named firefox.
  std::filesystem::copy_file("/usr/bin/parecord", dir.path() / "firefox");
  Child firefox = record((dir.path() / "firefox").string(), {"--record"}, "org.mozilla.firefox");
  ASSERT_TRUE(spinUntil([&] { return !reports.empty(); }, 5s));
  EXPECT_EQ(reports[0], (MeetingApp{"org.mozilla.firefox", "Firefox"}));
  end(firefox);
}

TEST(MeetingDetectorWithoutServer, StartsAndStopsAtOnceDetectingNothing) {
  const char* saved = std::getenv("PULSE_SERVER");
  std::string restore = saved ? saved : "";
  setenv("PULSE_SERVER", "unix:/nonexistent/quillet-test", 1);
  auto detector = MeetingDetector::make();
  int reports = 0;
  detector->onChange = [&](const std::optional<MeetingApp>&) { ++reports; };
  detector->start();
  spinFor(300ms);
  detector->stop();
  EXPECT_EQ(reports, 0);
  if (saved) setenv("PULSE_SERVER", restore.c_str(), 1);
  else unsetenv("PULSE_SERVER");
}
