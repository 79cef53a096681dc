// Hot keys over a substitute display, then the shared center on the test's X server with keys pressed through XTest.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include "DisplaySupport.hpp"
#include "QuilletKit/HotKeyCenter.hpp"
#include "TestSupport.hpp"

using namespace quillet;
using namespace quillet::test;
using namespace std::chrono_literals;

TEST(HotKeyCenterTest, NumbersAreNeverReusedAndHandlersAreCalledOncePerPressUntilUnregistered) {
  auto display = std::make_shared<FakeDisplay>();
  auto center = makeHotKeyCenter(display);
  std::vector<std::string> calls;
  auto note = [&](std::string what) { return [&calls, what] { calls.push_back(what); }; };
  display->heldByOthers.insert({XK_F1, kXAlt});
  auto talk = center->registerHotKey(Shortcut::controlR(), note("down"), note("up"));
  EXPECT_EQ(talk, 1u);
  EXPECT_EQ(center->registerHotKey(Shortcut::escape(), note("escape")), 2u);
  // Held by another client, without an X key, already ours.
  for (const Shortcut& refused : {Shortcut{0x7A, Shortcut::option, "F1"}, Shortcut{0x0A, 0, "§"}, Shortcut::controlR()})
    EXPECT_EQ(center->registerHotKey(refused, note("no")), std::nullopt) << refused.key;
  // With the Caps Lock bit, which the grab leaves out.
  EXPECT_EQ(center->registerHotKey({0x24, 1024 | Shortcut::command | Shortcut::shift, "↩"}, note("↩")), 6u);
  EXPECT_EQ(display->grabbed, (std::set<std::pair<uint32_t, uint32_t>>{
                                  {XK_r, kXControl}, {XK_Escape, 0}, {XK_Return, kXSuper | kXShift}}));
  EXPECT_EQ(Shortcut::carbonModifiers(true, true, true, true), 6912u);

  for (int repeat = 0; repeat < 3; ++repeat) display->key(XK_r, kXControl, true);
  display->key(XK_r, kXControl, false);
  display->key(XK_Escape, 0, true);
  display->key(XK_Escape, 0, false);  // no released handler
  EXPECT_EQ(calls, (std::vector<std::string>{"down", "up", "escape"}));

  center->unregister(talk);
  center->unregister(std::nullopt);
  center->unregister(99);
  EXPECT_FALSE(display->grabbed.contains({XK_r, kXControl}));
  EXPECT_EQ(center->registerHotKey(Shortcut::controlR(), note("r")), 7u);
}

TEST(SharedHotKeys, OnePressOneReleaseWithNumLockAndGrabsAreExclusive) {
  if (!haveDisplay()) GTEST_SKIP() << "no X display of the tests";
  XClient client;
  ASSERT_TRUE(client.display);
  auto& center = HotKeyCenter::shared();
  int pressed = 0, released = 0;
  auto number = center.registerHotKey({0x0F, Shortcut::control | Shortcut::shift, "R"}, [&] { ++pressed; },
                                      [&] { ++released; });
  ASSERT_TRUE(number);
  // With Num Lock on, which the grab leaves out (a plain press: in the agent's dictation test).
  client.chord({XK_Num_Lock});
  client.chord({XK_Control_L, XK_Shift_L, XK_r});
  client.chord({XK_Num_Lock});
  ASSERT_TRUE(spinUntil([&] { return released == 1; }, 5s));
  center.unregister(number);
  client.chord({XK_Control_L, XK_Shift_L, XK_r});
  spinFor(300ms);
  EXPECT_EQ(pressed, 1);

  // A key another client grabbed is refused, and ours once it lets go.
  Window root = DefaultRootWindow(client.display);
  XGrabKey(client.display, client.code(XK_F7), Mod1Mask, root, False, GrabModeAsync, GrabModeAsync);
  XSync(client.display, False);
  EXPECT_EQ(center.registerHotKey({0x62, Shortcut::option, "F7"}, [] {}), std::nullopt);
  XUngrabKey(client.display, client.code(XK_F7), Mod1Mask, root);
  XSync(client.display, False);
  number = center.registerHotKey({0x62, Shortcut::option, "F7"}, [] {});
  EXPECT_TRUE(number);
  center.unregister(number);
}

TEST(WithoutADisplay, EveryCallAnswersAtOnceAlsoOnceTheServerWentAway) {
  auto display = [] {
    ScopedEnv none("DISPLAY", std::nullopt);
    return openX11Display(MainContext::main());
  }();
  EXPECT_FALSE(display->isOpen());
  EXPECT_FALSE(display->canSynthesizeKeys());
  EXPECT_EQ(makeHotKeyCenter(display)->registerHotKey(Shortcut::controlR(), [] {}), std::nullopt);
  std::optional<std::vector<ClipboardItem>> read;
  display->readClipboard([&](std::vector<ClipboardItem> items) { read = std::move(items); });
  EXPECT_EQ(read, std::vector<ClipboardItem>{});

  // A server of the test's own that ends while a connection is open.
  if (access("/usr/bin/Xvfb", X_OK) != 0) GTEST_SKIP() << "no Xvfb";
  int n = 150;
  while (access(("/tmp/.X11-unix/X" + std::to_string(n)).c_str(), F_OK) == 0) ++n;
  const std::string name = ":" + std::to_string(n);
  Child server = spawnChild("/usr/bin/Xvfb", {name, "-nolisten", "tcp"}, {});
  ASSERT_GT(server.pid, 0);
  {
    ScopedEnv ours("DISPLAY", name);
    spinUntil([&] { return (display = openX11Display(MainContext::main()))->isOpen(); }, 10s);
  }
  ASSERT_TRUE(display->isOpen());
  display->writeClipboard({{{"UTF8_STRING", "x", "UTF8_STRING", 8}}});
  kill(server.pid, SIGTERM);
  finish(server);
  ASSERT_TRUE(spinUntil([&] { return !display->isOpen(); }, 5s));
  EXPECT_FALSE(display->grabKey(XK_r, kXControl));
  bool done = false;
  insertText(display, MainContext::main(), "texto", [&] { done = true; });
  EXPECT_TRUE(done);
}
