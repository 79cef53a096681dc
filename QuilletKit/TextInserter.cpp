#include "QuilletKit/TextInserter.hpp"

#include "QuilletKit/DisplayServer.hpp"

namespace quillet {

using namespace std::chrono_literals;

namespace {

constexpr auto kModifierPoll = 20ms;
constexpr int kModifierPolls = 30;
constexpr auto kRestoreDelay = 450ms;
constexpr const char* kTransientType = "org.nspasteboard.TransientType";

// One insert from the snapshot to the put-back. It keeps itself alive
// through the callback of its pending wait.
struct Insertion : std::enable_shared_from_this<Insertion> {
  std::shared_ptr<DisplayServer> display;
  std::shared_ptr<MainContext> context;
  std::string text;
  std::function<void()> done;
  std::vector<ClipboardItem> saved;
  uint64_t changeCount = 0;
  int polls = 0;
  std::unique_ptr<Registration> wait;

  void begin() {
    auto self = shared_from_this();
    display->readClipboard([self](std::vector<ClipboardItem> items) {
      self->saved = std::move(items);
      self->write();
    });
  }

  void write() {
    ClipboardItem item;
    for (const char* target : {"UTF8_STRING", "text/plain;charset=utf-8", "TEXT"})
      item.push_back({target, text, "UTF8_STRING", 8});
    item.push_back({kTransientType, "", kTransientType, 8});
    display->writeClipboard({std::move(item)});
    changeCount = display->clipboardChangeCount();
    waitForModifiers();
  }

  // A modifier still held from the dictation shortcut would turn Control+V
  // into another shortcut; it gets up to 30 polls to come up.
  void waitForModifiers() {
    if (polls < kModifierPolls && display->modifiersHeld()) {
      ++polls;
      return after(kModifierPoll, &Insertion::waitForModifiers);
    }
    display->paste();
    after(kRestoreDelay, &Insertion::restore);
  }

  void restore() {
    if (display->clipboardChangeCount() == changeCount) display->writeClipboard(std::move(saved));
    auto finished = std::move(done);
    wait.reset();  // the last hold on this insertion, once this call returns
    if (finished) finished();
  }

  void after(std::chrono::milliseconds delay, void (Insertion::*next)()) {
    auto self = shared_from_this();
    wait = context->after(delay, [self, next] { (self.get()->*next)(); });
  }
};

}  // namespace

void insertText(std::shared_ptr<DisplayServer> display, std::shared_ptr<MainContext> context, std::string text,
                std::function<void()> done) {
  if (text.empty() || !display->isOpen()) {
    if (done) done();
    return;
  }
  auto insertion = std::make_shared<Insertion>();
  insertion->display = std::move(display);
  insertion->context = std::move(context);
  insertion->text = std::move(text);
  insertion->done = std::move(done);
  insertion->begin();
}

bool TextInserter::isTrusted() { return x11Display()->canSynthesizeKeys(); }

bool TextInserter::requestAccess() { return isTrusted(); }

void TextInserter::insert(std::string text, std::function<void()> done) {
  insertText(x11Display(), MainContext::main(), std::move(text), std::move(done));
}

}  // namespace quillet
