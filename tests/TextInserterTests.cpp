// Text insertion over a substitute display and a manual clock, then into a window of the test's on its X server.
#include <gtest/gtest.h>

#include "DisplaySupport.hpp"
#include "QuilletKit/TextInserter.hpp"
#include "TestSupport.hpp"

using namespace quillet;
using namespace quillet::test;
using namespace std::chrono_literals;

namespace {

ClipboardEntry entry(std::string target, std::string data) { return {target, std::move(data), target, 8}; }
using Clipboard = std::vector<ClipboardItem>;

}  // namespace

TEST(TextInserterTest, PastedWithTheMarkerThenTheClipboardIsPutBack) {
  auto context = std::make_shared<ManualMainContext>();
  auto display = std::make_shared<FakeDisplay>();
  display->clipboard = {{entry("UTF8_STRING", "antes")}};
  bool done = false;
  insertText(display, context, "", [&] { done = true; });  // touches nothing
  EXPECT_TRUE(done);
  EXPECT_EQ(display->reads + display->changes + display->pastes.size(), 0u);

  const Clipboard several{{entry("UTF8_STRING", "um"), entry("text/html", "<b>um</b>")},
                          {entry("image/png", std::string("\x89PNG\0\1", 6)), entry("text/uri-list", "file:///a")}};
  display->clipboard = several;
  done = false;
  insertText(display, context, "Olá, mundo", [&] { done = true; });
  context->advance(1s);
  ASSERT_EQ(display->pastes.size(), 1u);
  ASSERT_EQ(display->pastes[0].size(), 1u);
  EXPECT_EQ(display->pastes[0][0].front(), entry("UTF8_STRING", "Olá, mundo"));
  EXPECT_EQ(display->pastes[0][0].back(), entry("org.nspasteboard.TransientType", ""));
  EXPECT_TRUE(done);
  EXPECT_EQ(display->clipboard, several);
}

TEST(InsertOnX, TheWindowGetsTheTextAndTheOwnersClipboardComesBackWhole) {
  if (!haveDisplay()) GTEST_SKIP() << "no X display of the tests";
  PasteTarget target;
  target.show();
  auto spin = [&](const std::function<bool()>& until) { return spinUntil(until, 10s, [&] { target.pump(); }); };
  auto reader = openX11Display(MainContext::main());
  auto clipboard = [&] {
    std::optional<Clipboard> read;
    reader->readClipboard([&](Clipboard items) { read = std::move(items); });
    EXPECT_TRUE(spin([&] { return read.has_value(); }));
    return read.value_or(Clipboard{});
  };
  auto insert = [&](const std::string& text) {
    bool done = false;
    TextInserter::insert(text, [&] { done = true; });
    ASSERT_TRUE(spin([&] { return done; }));
  };

  EXPECT_TRUE(TextInserter::requestAccess());
  // Several targets and data far larger than one request, with Control held.
  std::string image(1 << 20, '\0');
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<char>(i * 7 + i / 4096);
  const Clipboard before{{entry("text/plain;charset=utf-8", "texto"), entry("image/png", image)}};
  auto other = openX11Display(MainContext::main());
  other->writeClipboard(before);
  ASSERT_EQ(clipboard(), before);
  target.key(XK_Control_L, true);
  auto start = std::chrono::steady_clock::now();
  insert("ditado");
  target.key(XK_Control_L, false);
  ASSERT_TRUE(target.pasteKeyAt);
  EXPECT_GE(*target.pasteKeyAt - start, 590ms);
  EXPECT_EQ(target.pasted, "ditado");
  EXPECT_EQ(clipboard(), before);

  // A program that takes the clipboard during the wait keeps it.
  target.onPasteKey = [&] { other->writeClipboard({{entry("UTF8_STRING", "novo")}}); };
  insert("ditado");
  EXPECT_EQ(clipboard(), Clipboard{{entry("UTF8_STRING", "novo")}});
}
