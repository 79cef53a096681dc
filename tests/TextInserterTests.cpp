// Text insertion: the clipboard's save and put-back and the waits, over a
// substitute display and a manual clock; then on the test's X server, with
// xclip or a second connection owning the clipboard and a small window of
// the test that reads the selection when it gets Control+V.
#include <X11/Xatom.h>
#include <gtest/gtest.h>

#include "DisplaySupport.hpp"
#include "QuilletKit/TextInserter.hpp"
#include "TestSupport.hpp"

using namespace quillet;
using namespace quillet::test;
using namespace std::chrono_literals;

namespace {

ClipboardEntry entry(std::string target, std::string data) { return {target, std::move(data), target, 8}; }

struct TextInserterTest : ::testing::Test {
  std::shared_ptr<ManualMainContext> context = std::make_shared<ManualMainContext>();
  std::shared_ptr<FakeDisplay> display = std::make_shared<FakeDisplay>(context);
  bool done = false;

  void insert(std::string text) {
    insertText(display, context, std::move(text), [this] { done = true; });
  }
};

const char* kTransient = "org.nspasteboard.TransientType";

}  // namespace

TEST_F(TextInserterTest, EmptyTextTouchesNothing) {
  display->clipboard = {{entry("UTF8_STRING", "antes")}};
  insert("");
  EXPECT_TRUE(done);
  EXPECT_EQ(display->reads, 0);
  EXPECT_EQ(display->changes, 0u);
  EXPECT_TRUE(display->pastes.empty());
}

TEST_F(TextInserterTest, TheTextIsPastedWithTheMarkerAndTheClipboardPutBack) {
  const std::vector<std::vector<ClipboardItem>> befores = {
      {},
      {{entry("UTF8_STRING", "um"), entry("text/html", "<b>um</b>")},
       {entry("image/png", std::string("\x89PNG\0\1", 6)), entry("text/uri-list", "file:///a")}},
  };
  for (const auto& before : befores) {
    display->clipboard = before;
    display->pastes.clear();
    done = false;
    insert("Olá, mundo");
    ASSERT_EQ(display->pastes.size(), 1u);
    const auto& pasted = display->pastes[0].clipboard;
    ASSERT_EQ(pasted.size(), 1u);
    EXPECT_EQ(pasted[0].front(), (ClipboardEntry{"UTF8_STRING", "Olá, mundo", "UTF8_STRING", 8}));
    EXPECT_EQ(pasted[0].back(), (ClipboardEntry{kTransient, "", kTransient, 8}));
    context->advance(449ms);
    EXPECT_FALSE(done);
    context->advance(1ms);
    EXPECT_TRUE(done);
    EXPECT_EQ(display->clipboard, before);
  }
}

TEST_F(TextInserterTest, AnotherProgramsWriteDuringTheWaitIsKept) {
  display->clipboard = {{entry("UTF8_STRING", "antes")}};
  insert("ditado");
  context->advance(200ms);
  display->writeClipboard({{entry("UTF8_STRING", "de outro programa")}});
  context->advance(1s);
  EXPECT_TRUE(done);
  EXPECT_EQ(display->clipboard, (std::vector<ClipboardItem>{{entry("UTF8_STRING", "de outro programa")}}));
}

TEST_F(TextInserterTest, HeldModifiersDelayThePasteByUpToThirtyPolls) {
  struct Case {
    std::chrono::milliseconds releasedAt;
    std::chrono::milliseconds pastedAt;
  } cases[] = {{0ms, 0ms}, {100ms, 100ms}, {110ms, 120ms}, {10s, 600ms}};
  for (const auto& c : cases) {
    auto start = context->elapsed;
    display->modifiersDown = [&] { return context->elapsed - start < c.releasedAt; };
    display->pastes.clear();
    insert("x");
    context->advance(2s);
    ASSERT_EQ(display->pastes.size(), 1u);
    EXPECT_EQ(display->pastes[0].at - start, c.pastedAt) << c.releasedAt.count();
  }
}

// ---- On the X server ----

namespace {

struct InsertOnX : ::testing::Test {
  void SetUp() override {
    if (!haveDisplay()) GTEST_SKIP() << "no X display of the tests";
    target.show();
  }
  bool spin(const std::function<bool()>& until) {
    return spinUntil(
        [&] {
          target.pump();
          return until();
        },
        10s);
  }
  std::vector<ClipboardItem> clipboard() {
    std::optional<std::vector<ClipboardItem>> read;
    reader->readClipboard([&](std::vector<ClipboardItem> items) { read = std::move(items); });
    EXPECT_TRUE(spin([&] { return read.has_value(); }));
    return read.value_or(std::vector<ClipboardItem>{});
  }
  void insert(const std::string& text) {
    bool done = false;
    TextInserter::insert(text, [&] { done = true; });
    ASSERT_TRUE(spin([&] { return done; }));
  }

  PasteTarget target;
  std::shared_ptr<DisplayServer> reader = openX11Display(MainContext::main());
};

}  // namespace

TEST_F(InsertOnX, TheWindowGetsTheTextAndXclipsClipboardComesBack) {
  EXPECT_TRUE(TextInserter::isTrusted());
  EXPECT_TRUE(TextInserter::requestAccess());
  auto put = run("/bin/sh", {"-c", "printf '<b>oi</b>' | xclip -selection clipboard -t text/html >/dev/null 2>&1"},
                 {{"DISPLAY", std::getenv("DISPLAY")}, {"PATH", "/usr/bin:/bin"}});
  ASSERT_EQ(put.status, 0);
  // xclip takes the clipboard from the background, after its start returned.
  ASSERT_TRUE(spin([&] { return XGetSelectionOwner(target.display, target.clipboard) != None; }));
  auto before = clipboard();
  ASSERT_EQ(before, (std::vector<ClipboardItem>{{entry("text/html", "<b>oi</b>")}}));

  insert("Olá, mundo");
  EXPECT_EQ(target.pasted, "Olá, mundo");
  EXPECT_EQ(clipboard(), before);
}

TEST_F(InsertOnX, SeveralTargetsAndLargeDataComeBackWhole) {
  std::string image(1 << 20, '\0');
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<char>(i * 7 + i / 4096);
  auto other = openX11Display(MainContext::main());
  other->writeClipboard({{entry("text/plain;charset=utf-8", "texto"), entry("image/png", image)}});
  auto before = clipboard();
  ASSERT_EQ(before, (std::vector<ClipboardItem>{{entry("text/plain;charset=utf-8", "texto"), entry("image/png", image)}}));

  insert("ditado");
  EXPECT_EQ(target.pasted, "ditado");
  EXPECT_EQ(clipboard(), before);
}

TEST_F(InsertOnX, ANewOwnerDuringTheWaitKeepsItsContent) {
  auto other = openX11Display(MainContext::main());
  other->writeClipboard({{entry("UTF8_STRING", "antes")}});
  target.onPasteKey = [&] { other->writeClipboard({{entry("UTF8_STRING", "novo")}}); };
  insert("ditado");
  EXPECT_EQ(clipboard(), (std::vector<ClipboardItem>{{entry("UTF8_STRING", "novo")}}));
}

TEST_F(InsertOnX, WithControlHeldThePasteWaitsForThePolls) {
  target.key(XK_Control_L, true);
  auto start = std::chrono::steady_clock::now();
  insert("x");
  target.key(XK_Control_L, false);
  ASSERT_TRUE(target.pasteKeyAt);
  EXPECT_GE(*target.pasteKeyAt - start, 590ms);
}
