// The detector over a substitute process list and clock, then PulseAudio's backend without a server (agent's: with).
#include <gtest/gtest.h>

#include "MainContextSupport.hpp"
#include "QuilletKit/AudioProcesses.hpp"
#include "TestSupport.hpp"

using namespace quillet;
using namespace quillet::test;
using namespace std::chrono_literals;

namespace {

// Tells every observer of every change: the detector must cope with spurious calls.
class FakeProcesses : public AudioProcessList {
 public:
  static constexpr uint32_t kList = UINT32_MAX;  // the list's own observers
  std::vector<AudioProcess> list;
  std::vector<uint32_t> watched;  // every observer added, in order
  std::vector<std::pair<std::shared_ptr<bool>, std::function<void()>>> observers;

  std::vector<AudioProcess> processes() override { return list; }
  std::unique_ptr<Registration> observeList(std::function<void()> changed) override {
    return observeInput(kList, std::move(changed));
  }
  std::unique_ptr<Registration> observeInput(uint32_t process, std::function<void()> changed) override {
    auto r = std::make_unique<Alive>();
    watched.push_back(process);
    observers.emplace_back(r->alive, std::move(changed));
    return r;
  }
  void setList(std::vector<AudioProcess> processes) {
    list = std::move(processes);
    auto copy = observers;  // an observer may add others
    for (auto& [alive, changed] : copy)
      if (*alive) changed();
  }
  void setInput(uint32_t id, bool running) {
    for (auto& p : list)
      if (p.id == id) p.runningInput = running;
    setList(list);
  }
  size_t liveObservers() const {
    return std::count_if(observers.begin(), observers.end(), [](auto& o) { return *o.first; });
  }
};

using Reports = std::vector<std::optional<MeetingApp>>;
const MeetingApp kFirefox{"org.mozilla.firefox", "Firefox"};

struct MeetingDetectorTest : ::testing::Test {
  std::shared_ptr<FakeProcesses> processes = std::make_shared<FakeProcesses>();
  std::shared_ptr<ManualMainContext> context = std::make_shared<ManualMainContext>();
  std::shared_ptr<MeetingDetector> detector = makeMeetingDetector(processes, context);
  Reports reports;

  void SetUp() override {
    detector->onChange = [this](const std::optional<MeetingApp>& app) { reports.push_back(app); };
  }
};

}  // namespace

TEST(MeetingApps, CatalogPrefixesAndLinuxClientsBundles) {
  for (const auto& [identifier, app] : std::vector<std::pair<const char*, std::optional<MeetingApp>>>{
           {"com.google.Chrome.helper", MeetingApp{"com.google.Chrome", "Google Chrome"}},
           {"org.example.Recorder", std::nullopt}, {"", std::nullopt}})
    EXPECT_EQ(MeetingDetector::app(identifier), app) << identifier;
  // The application id, else the row of the Flatpak id or of the binary.
  for (const auto& [applicationID, flatpakID, binary, bundle] :
       std::vector<std::tuple<const char*, const char*, const char*, std::optional<std::string>>>{
           {"org.gnome.Totem", nullptr, "firefox", "org.gnome.Totem"}, {nullptr, nullptr, "bash", std::nullopt},
           {"", nullptr, "slack", "com.tinyspeck.slackmacgap"}, {nullptr, "us.zoom.Zoom", "zoom", "us.zoom.xos"},
           {nullptr, "org.mozilla.firefox", "firefox-bin", "org.mozilla.firefox"}, {nullptr, nullptr, nullptr, {}}})
    EXPECT_EQ(clientBundleID(applicationID, flatpakID, binary), bundle) << (binary ? binary : "-");
}

TEST_F(MeetingDetectorTest, ChangesHeldForASecondAndAHalfAreReportedListenersFollowTheCatalogProcesses) {
  processes->list = {{1, "us.zoom.xos"}, {2, "org.example"}, {3, std::nullopt}, {4, "org.mozilla.firefox"}};
  detector->start();
  detector->start();
  processes->setInput(1, true);  // a blip
  context->advance(1s);
  processes->setInput(1, false);
  context->advance(5s);
  processes->setList({{4, "org.mozilla.firefox", true}, {5, "us.zoom.xos"}});
  EXPECT_EQ(processes->watched, (std::vector<uint32_t>{FakeProcesses::kList, 1, 4, 5}));
  EXPECT_EQ(processes->liveObservers(), 3u);  // process 1 is gone
  context->advance(1499ms);
  EXPECT_TRUE(reports.empty());
  context->advance(1ms);
  EXPECT_EQ(detector->active(), kFirefox);
  processes->setInput(4, false);
  context->advance(1500ms);
  EXPECT_EQ(reports, (Reports{kFirefox, std::nullopt}));

  // Stop drops the pending report and the listeners; what was reported stays.
  processes->setInput(4, true);
  context->advance(1500ms);
  processes->setInput(4, false);
  context->advance(1s);
  detector->stop();
  EXPECT_EQ(processes->liveObservers(), 0u);
  // The first process of the list to count wins: not ours, with a known bundle, recording and not ignored.
  detector->ignored = {"com.cisco.webexmeetingsapp"};
  processes->setList({{1, "us.zoom.xos"}, {2, "app.quillet.mac", true}, {3, std::nullopt, true},
                      {4, "org.example", true}, {5, "com.cisco.webexmeetingsapp", true}, {6, "com.hnc.Discord", true},
                      {7, "us.zoom.xos", true}});
  context->advance(5s);
  EXPECT_EQ(reports, (Reports{kFirefox, std::nullopt, kFirefox}));
  detector->start();  // evaluates at once
  context->advance(2s);
  EXPECT_EQ(detector->active(), (MeetingApp{"com.hnc.Discord", "Discord"}));
}

TEST(MeetingDetectorWithoutServer, StartsAndStopsAtOnceDetectingNothing) {
  ScopedEnv nowhere("PULSE_SERVER", "unix:/nonexistent/quillet-test");
  auto detector = MeetingDetector::make();
  detector->onChange = [&](const std::optional<MeetingApp>&) { ADD_FAILURE() << "a report"; };
  detector->start();
  spinFor(300ms);
  detector->stop();
}
