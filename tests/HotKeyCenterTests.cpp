// Hot keys: the Carbon-to-X translation, numbering and handler calls over a
// substitute display, then the shared center on the test's X server with
// keys pressed through XTest.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include "DisplaySupport.hpp"
#include "QuilletKit/HotKeyCenter.hpp"
#include "TestSupport.hpp"

using namespace quillet;
using namespace quillet::test;
using namespace std::chrono_literals;

TEST(Shortcut, CarbonModifiersAndEscape) {
  EXPECT_EQ(Shortcut::carbonModifiers(true, false, true, true), 4864u);
  EXPECT_EQ(Shortcut::carbonModifiers(true, true, true, true), 6912u);
  EXPECT_EQ(Shortcut::carbonModifiers(false, false, false, false), 0u);
  EXPECT_EQ(Shortcut::escape(), (Shortcut{53, 0, "\u238B"}));
}

TEST(HotKeyTranslation, CarbonKeysAndMasksBecomeXKeysAndMasks) {
  struct Case {
    Shortcut shortcut;
    std::optional<std::pair<uint32_t, uint32_t>> key;
  } cases[] = {
      {Shortcut::controlR(), std::pair<uint32_t, uint32_t>{XK_r, kXControl}},
      {{0x24, Shortcut::command | Shortcut::shift, "↩"}, std::pair<uint32_t, uint32_t>{XK_Return, kXSuper | kXShift}},
      {Shortcut::escape(), std::pair<uint32_t, uint32_t>{XK_Escape, 0}},
      {{0x7A, Shortcut::option, "F1"}, std::pair<uint32_t, uint32_t>{XK_F1, kXAlt}},
      {{0x12, 1024 | Shortcut::control, "1"}, std::pair<uint32_t, uint32_t>{XK_1, kXControl}},  // Caps Lock bit
      {{0x7E, 0, "↑"}, std::pair<uint32_t, uint32_t>{XK_Up, 0}},
      {{0x0A, 0, "§"}, std::nullopt},  // ISO only
      {{500, 0, "?"}, std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(x11Key(c.shortcut), c.key) << c.shortcut.keyCode;
}

namespace {

struct HotKeyCenterTest : ::testing::Test {
  std::shared_ptr<FakeDisplay> display = std::make_shared<FakeDisplay>();
  std::unique_ptr<HotKeyCenter> center = makeHotKeyCenter(display);
  std::vector<std::string> calls;
  auto note(std::string what) {
    return [this, what] { calls.push_back(what); };
  }
};

}  // namespace

TEST_F(HotKeyCenterTest, NumbersAreNeverReusedEvenAfterARefusal) {
  display->heldByOthers.insert({XK_F1, kXAlt});
  EXPECT_EQ(center->registerHotKey(Shortcut::controlR(), note("r")), 1u);
  EXPECT_EQ(center->registerHotKey(Shortcut::escape(), note("esc")), 2u);
  EXPECT_EQ(center->registerHotKey({0x7A, Shortcut::option, "F1"}, note("f1")), std::nullopt);
  EXPECT_EQ(center->registerHotKey({0x0A, 0, "§"}, note("§")), std::nullopt);
  EXPECT_EQ(center->registerHotKey(Shortcut::controlR(), note("again")), std::nullopt);  // already ours
  EXPECT_EQ(center->registerHotKey({0x0E, Shortcut::control, "E"}, note("e")), 6u);
  center->unregister(1);
  EXPECT_EQ(center->registerHotKey(Shortcut::controlR(), note("r")), 7u);
}

TEST_F(HotKeyCenterTest, PressAndReleaseCallTheirHandlersOnceUntilUnregistered) {
  auto talk = center->registerHotKey(Shortcut::controlR(), note("down"), note("up"));
  auto plain = center->registerHotKey(Shortcut::escape(), note("escape"));
  ASSERT_TRUE(talk && plain);
  for (int repeat = 0; repeat < 3; ++repeat) display->key(XK_r, kXControl, true);
  display->key(XK_r, kXControl, false);
  display->key(XK_Escape, 0, true);
  display->key(XK_Escape, 0, false);  // no released handler
  display->key(XK_r, 0, true);        // not the shortcut
  EXPECT_EQ(calls, (std::vector<std::string>{"down", "up", "escape"}));

  center->unregister(talk);
  center->unregister(std::nullopt);
  center->unregister(99);
  EXPECT_FALSE(display->grabbed.contains({XK_r, kXControl}));
  display->key(XK_r, kXControl, true);
  display->key(XK_r, kXControl, false);
  EXPECT_EQ(calls.size(), 3u);
}

// ---- On the X server ----

namespace {

struct SharedHotKeys : ::testing::Test {
  void SetUp() override {
    if (!haveDisplay()) GTEST_SKIP() << "no X display of the tests";
    ASSERT_TRUE(client.display);
  }
  XClient client;
  int pressed = 0, released = 0;
};

}  // namespace

TEST_F(SharedHotKeys, AShortcutPressedWithXTestCallsBackOncePerPressAlsoWithNumLock) {
  auto& center = HotKeyCenter::shared();
  auto number = center.registerHotKey({0x0F, Shortcut::control | Shortcut::shift, "R"}, [&] { ++pressed; },
                                      [&] { ++released; });
  ASSERT_TRUE(number);
  client.chord({XK_Control_L, XK_Shift_L, XK_r});
  ASSERT_TRUE(spinUntil([&] { return released == 1; }, 5s));
  EXPECT_EQ(pressed, 1);

  // Held past the server's auto-repeat delay: still one press, one release.
  client.key(XK_Control_L, true);
  client.key(XK_Shift_L, true);
  client.key(XK_r, true);
  spinFor(1200ms);
  client.key(XK_r, false);
  client.key(XK_Shift_L, false);
  client.key(XK_Control_L, false);
  ASSERT_TRUE(spinUntil([&] { return released == 2; }, 5s));
  EXPECT_EQ(pressed, 2);

  client.chord({XK_Num_Lock});
  client.chord({XK_Control_L, XK_Shift_L, XK_r});
  client.chord({XK_Num_Lock});
  ASSERT_TRUE(spinUntil([&] { return released == 3; }, 5s));
  EXPECT_EQ(pressed, 3);

  center.unregister(number);
  client.chord({XK_Control_L, XK_Shift_L, XK_r});
  spinFor(300ms);
  EXPECT_EQ(pressed, 3);
  EXPECT_EQ(released, 3);
}

TEST_F(SharedHotKeys, AKeyAnotherClientGrabbedIsRefused) {
  Window root = DefaultRootWindow(client.display);
  XGrabKey(client.display, client.code(XK_F7), Mod1Mask, root, False, GrabModeAsync, GrabModeAsync);
  XSync(client.display, False);
  EXPECT_EQ(HotKeyCenter::shared().registerHotKey({0x62, Shortcut::option, "F7"}, [&] { ++pressed; }), std::nullopt);
  XUngrabKey(client.display, client.code(XK_F7), Mod1Mask, root);
  XSync(client.display, False);
  auto number = HotKeyCenter::shared().registerHotKey({0x62, Shortcut::option, "F7"}, [&] { ++pressed; });
  EXPECT_TRUE(number);
  HotKeyCenter::shared().unregister(number);
}

TEST(WithoutADisplay, EveryCallAnswersAtOnce) {
  std::string saved = std::getenv("DISPLAY") ? std::getenv("DISPLAY") : "";
  unsetenv("DISPLAY");
  auto display = openX11Display(MainContext::main());
  if (!saved.empty()) setenv("DISPLAY", saved.c_str(), 1);
  EXPECT_FALSE(display->isOpen());
  EXPECT_FALSE(display->canSynthesizeKeys());
  auto center = makeHotKeyCenter(display);
  EXPECT_EQ(center->registerHotKey(Shortcut::controlR(), [] {}), std::nullopt);
  bool done = false;
  insertText(display, MainContext::main(), "texto", [&] { done = true; });
  EXPECT_TRUE(done);
  std::optional<std::vector<ClipboardItem>> read;
  display->readClipboard([&](std::vector<ClipboardItem> items) { read = std::move(items); });
  ASSERT_TRUE(read);
  EXPECT_TRUE(read->empty());
}

TEST(WithoutADisplay, AServerThatGoesAwayEndsTheCallsNotTheProcess) {
  if (access("/usr/bin/Xvfb", X_OK) != 0) GTEST_SKIP() << "no Xvfb";
  int n = 150;
  while (access(("/tmp/.X11-unix/X" + std::to_string(n)).c_str(), F_OK) == 0) ++n;
  const std::string name = ":" + std::to_string(n);
  Child server = spawnChild("/usr/bin/Xvfb", {name, "-nolisten", "tcp"}, {});
  ASSERT_GT(server.pid, 0);
  std::string saved = std::getenv("DISPLAY") ? std::getenv("DISPLAY") : "";
  setenv("DISPLAY", name.c_str(), 1);
  std::shared_ptr<DisplayServer> display;
  spinUntil([&] { return (display = openX11Display(MainContext::main()))->isOpen(); }, 10s);
  if (saved.empty()) unsetenv("DISPLAY");
  else setenv("DISPLAY", saved.c_str(), 1);
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
