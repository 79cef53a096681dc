#pragma once
// Internal, not installed: the X display as the hot keys and the text
// inserter use it (key grabs, synthetic keys, the CLIPBOARD selection), and
// those services made over any display, so that tests can give a
// substitute. The real display is an Xlib connection whose events are read
// on the main context. Main thread only. Without a display every call
// answers its failure at once: no grab, no keys, an empty clipboard.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "QuilletKit/HotKeyCenter.hpp"
#include "QuilletKit/MainContext.hpp"
#include "QuilletKit/Shortcut.hpp"

namespace quillet {

// The data of one target of the clipboard, as its owner gave it. Items of
// format 16 and 32 are kept as 2 and 4 bytes each, in the host's order.
struct ClipboardEntry {
  std::string target;  // "UTF8_STRING", "text/html", ...
  std::string data;
  std::string type;  // the property type the owner answered with
  int format = 8;

  friend bool operator==(const ClipboardEntry&, const ClipboardEntry&) = default;
};

// One clipboard item: its targets in the owner's order. X has at most one.
using ClipboardItem = std::vector<ClipboardEntry>;

// X modifier masks.
constexpr uint32_t kXShift = 1 << 0, kXControl = 1 << 2, kXAlt = 1 << 3, kXSuper = 1 << 6;

class DisplayServer {
 public:
  virtual ~DisplayServer() = default;

  virtual bool isOpen() const = 0;

  // Grabs the key with exactly these modifiers whatever the state of Caps
  // Lock and Num Lock; false when another client holds it or the keyboard
  // has no such key.
  virtual bool grabKey(uint32_t keysym, uint32_t modifiers) = 0;
  virtual void ungrabKey(uint32_t keysym, uint32_t modifiers) = 0;
  // Called on the main context for grabbed keys. A held key may repeat its
  // press, never its release; a release comes with the press's modifiers.
  std::function<void(uint32_t keysym, uint32_t modifiers, bool pressed)> onKey;

  // Whether keys can be synthesised (XTest).
  virtual bool canSynthesizeKeys() = 0;
  // Whether Shift, Control, Alt or Super is down now.
  virtual bool modifiersHeld() = 0;
  // Control+V, pressed and released.
  virtual void paste() = 0;

  // Asks the owner for its targets and each one's data; `done` gets no item
  // when the clipboard has no owner. Called on the main context.
  virtual void readClipboard(std::function<void(std::vector<ClipboardItem>)> done) = 0;
  // Owns the clipboard and serves these targets until another client takes
  // it; no items gives it up, leaving it empty.
  virtual void writeClipboard(std::vector<ClipboardItem> items) = 0;
  // Grows by one at every write of ours and every new owner seen since.
  virtual uint64_t clipboardChangeCount() = 0;
};

// The process's connection to $DISPLAY on the main context, opened on first use.
std::shared_ptr<DisplayServer> x11Display();
// A connection of its own, as another client would have.
std::shared_ptr<DisplayServer> openX11Display(std::shared_ptr<MainContext> context);

// The X key symbol and modifier mask of a shortcut's Carbon key code and
// mask; absent for a key with no counterpart here.
std::optional<std::pair<uint32_t, uint32_t>> x11Key(const Shortcut& shortcut);

std::unique_ptr<HotKeyCenter> makeHotKeyCenter(std::shared_ptr<DisplayServer> display);

// The text inserter's work over any display; `done` is called on the main
// context once the clipboard is handled (at once for empty text or without
// a display).
void insertText(std::shared_ptr<DisplayServer> display, std::shared_ptr<MainContext> context, std::string text,
                std::function<void()> done);

}  // namespace quillet
