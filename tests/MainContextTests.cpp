// GLib's default main context behind the seam: timers for a date, ended by their registration (also from inside
// their own call) and set again when logind, played here on the test's private bus, announces a wake-up. The
// watchers' tests carry the other timers and deferred calls, every X display test the descriptor watches.
#include <gio/gio.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "MainContextSupport.hpp"
#include "QuilletKit/GLibMainContext.hpp"

using namespace quillet;
using namespace quillet::test;
using namespace std::chrono_literals;

TEST(MainContext, ATimerForADateFiresAtItsDateAlsoAfterAWakeUp) {
  const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  if (!address) GTEST_SKIP() << "no session bus to play logind on";
  GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
  ASSERT_TRUE(bus);
  // Asked before the signals go out on the same connection, so the bus has given the name by then.
  const guint name = g_bus_own_name_on_connection(bus, "org.freedesktop.login1", G_BUS_NAME_OWNER_FLAGS_NONE,
                                                  nullptr, nullptr, nullptr, nullptr);

  auto context = makeGLibMainContext(address);
  const Date date = context->now() + 3s;
  std::vector<Date> firedAt;
  auto timer = context->at(date, 5s, [&] { firedAt.push_back(context->now()); });
  auto other = context->at(date, 5s, [&] { firedAt.push_back(Date{}); });
  other.reset();
  std::vector<std::string> calls;
  std::unique_ptr<Registration> self;
  self = context->at(context->now() - 1s, 5s, [&] {
    self.reset();  // a timer may end itself from inside its call
    calls.push_back("past date");
  });
  context->after(10ms, [&] { calls.push_back("cancelled"); }).reset();  // an ended registration never fires
  EXPECT_TRUE(calls.empty());  // nothing runs before the loop does
  // Wake-ups that arrive before the date set the timer again, and fire nothing.
  for (int i = 0; i < 10; ++i) {
    g_dbus_connection_emit_signal(bus, nullptr, "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                                  "PrepareForSleep", g_variant_new("(b)", i % 2 == 0), nullptr);
    spinFor(100ms);
  }
  ASSERT_TRUE(spinUntil([&] { return !firedAt.empty(); }, 5s));
  spinFor(300ms);
  ASSERT_EQ(firedAt.size(), 1u);
  EXPECT_GE(firedAt[0], date);
  EXPECT_EQ(calls, std::vector<std::string>{"past date"});
  timer.reset();
  context.reset();
  g_bus_unown_name(name);
  g_object_unref(bus);
}
