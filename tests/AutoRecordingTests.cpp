// When the agent records for a meeting application: sequences of the detector's reports on a clock the test moves.
#include <gtest/gtest.h>

#include "MainContextSupport.hpp"
#include "QuilletKit/AutoRecording.hpp"

using namespace quillet;
using namespace quillet::test;

TEST(AutoRecording, StartsWithTheApplicationAndStopsOnlyOnceItStayedAway) {
  // A step is a report ("zoom", "teams" or "none"), minutes passing ("+N") or the user stopping the recording.
  struct Case {
    std::vector<std::string> steps;
    int autoStopMinutes;
    std::vector<std::string> actions;
    bool refuse = false;  // the recording cannot start
  };
  const MeetingApp zoom{"us.zoom.xos", "Zoom"}, teams{"com.microsoft.teams", "Microsoft Teams"};
  const Case cases[] = {
      {{"zoom", "none", "+1", "+1"}, 2, {"start Zoom", "stop"}},
      {{"zoom", "none", "+1", "teams", "+5", "none", "+2"}, 2, {"start Zoom", "stop"}},  // any app continues it
      {{"zoom", "none", "+2", "teams"}, 1, {"start Zoom", "stop", "start Microsoft Teams"}},
      {{"zoom", "none", "teams"}, 1, {"start Zoom", "start Microsoft Teams"}, true},
      {{"zoom", "none", "stop", "+5", "stop"}, 2, {"start Zoom", "stop"}},  // stopped by hand: no countdown
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.steps));
    auto context = std::make_shared<ManualMainContext>();
    std::vector<std::string> actions;
    auto start = [&](const MeetingApp& app) {
      actions.push_back("start " + app.name);
      return !c.refuse;
    };
    AutoRecording automatic(context, {start, [&] { actions.push_back("stop"); }});
    for (const std::string& step : c.steps) {
      if (step[0] == '+') context->advance(std::chrono::minutes(std::stoi(step.substr(1))));
      else if (step == "stop") automatic.stopNow();
      else automatic.appChanged(step == "none" ? std::nullopt : std::optional(step == "zoom" ? zoom : teams),
                                std::chrono::minutes(c.autoStopMinutes));
    }
    EXPECT_EQ(actions, c.actions);
    EXPECT_EQ(automatic.recording(), !actions.empty() && actions.back() != "stop" && !c.refuse);
  }
}
