#pragma once
// The X display in tests: a substitute for the logic's tests, and an Xlib client that presses keys through XTest.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <set>

#include "MainContextSupport.hpp"
#include "QuilletKit/DisplayServer.hpp"

namespace quillet::test {

class FakeDisplay : public DisplayServer {
 public:
  std::set<std::pair<uint32_t, uint32_t>> grabbed;
  std::set<std::pair<uint32_t, uint32_t>> heldByOthers;
  std::vector<ClipboardItem> clipboard;
  uint64_t changes = 0;
  int reads = 0;
  std::vector<std::vector<ClipboardItem>> pastes;  // the clipboard at each paste

  bool isOpen() const override { return true; }
  bool grabKey(uint32_t keysym, uint32_t modifiers) override {
    if (heldByOthers.contains({keysym, modifiers})) return false;
    return grabbed.insert({keysym, modifiers}).second;
  }
  void ungrabKey(uint32_t keysym, uint32_t modifiers) override { grabbed.erase({keysym, modifiers}); }
  bool canSynthesizeKeys() override { return true; }
  bool modifiersHeld() override { return false; }
  void paste() override { pastes.push_back(clipboard); }
  void readClipboard(std::function<void(std::vector<ClipboardItem>)> done) override {
    ++reads;
    done(clipboard);
  }
  void writeClipboard(std::vector<ClipboardItem> items) override {
    ++changes;
    clipboard = std::move(items);
  }
  uint64_t clipboardChangeCount() override { return changes; }

  // The key as the server would deliver it: only grabbed keys arrive.
  void key(uint32_t keysym, uint32_t modifiers, bool pressed) {
    if (grabbed.contains({keysym, modifiers}) && onKey) onKey(keysym, modifiers, pressed);
  }
};

struct XClient {
  Display* display = XOpenDisplay(nullptr);
  XClient() = default;
  XClient(const XClient&) = delete;
  ~XClient() {
    if (display) XCloseDisplay(display);
  }
  KeyCode code(KeySym keysym) const { return XKeysymToKeycode(display, keysym); }
  void key(KeySym keysym, bool down) {
    XTestFakeKeyEvent(display, code(keysym), down ? True : False, CurrentTime);
    XFlush(display);
  }
  // Presses the keys in order and releases them in reverse.
  void chord(std::initializer_list<KeySym> keys) {
    for (KeySym k : keys) key(k, true);
    for (auto k = std::rbegin(keys); k != std::rend(keys); ++k) key(*k, false);
  }
};

// A focused window of the test's own that, on Control+V, asks for the clipboard as UTF-8 text, as an editor would.
struct PasteTarget : XClient {
  Window window = None;
  Atom clipboard = XInternAtom(display, "CLIPBOARD", False);
  Atom utf8 = XInternAtom(display, "UTF8_STRING", False);
  Atom property = XInternAtom(display, "PASTED", False);
  std::optional<std::string> pasted;
  std::optional<std::chrono::steady_clock::time_point> pasteKeyAt;
  std::function<void()> onPasteKey;
  int presses = 0;  // presses of other keys than modifiers that reached the window

  void show() {
    window = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 100, 100, 0, 0, 0);
    XSelectInput(display, window, KeyPressMask | StructureNotifyMask);
    XMapWindow(display, window);
    XEvent event;
    do XWindowEvent(display, window, StructureNotifyMask, &event);
    while (event.type != MapNotify);
    XSetInputFocus(display, window, RevertToParent, CurrentTime);
    XSync(display, False);
  }

  void pump() {
    while (XPending(display)) {
      XEvent event;
      XNextEvent(display, &event);
      if (event.type == KeyPress && !IsModifierKey(XLookupKeysym(&event.xkey, 0))) ++presses;
      if (event.type == KeyPress && event.xkey.keycode == code(XK_v) && (event.xkey.state & ControlMask)) {
        pasteKeyAt = std::chrono::steady_clock::now();
        XConvertSelection(display, clipboard, utf8, property, window, event.xkey.time);
        XFlush(display);
        if (onPasteKey) onPasteKey();
      } else if (event.type == SelectionNotify && event.xselection.property != None) {
        Atom type;
        int format;
        unsigned long items, after;
        unsigned char* data = nullptr;
        XGetWindowProperty(display, window, property, 0, 1 << 20, True, AnyPropertyType, &type, &format, &items,
                           &after, &data);
        pasted = std::string(reinterpret_cast<char*>(data), items);
        XFree(data);
      }
    }
  }

  // Presses the modifier and the key, and keeps them down if another client's grab took the key; else lets go. Probing
  // by a grab of our own would make the other client's grab fail when they meet.
  bool holdIfGrabbedElsewhere(KeySym modifier, KeySym keysym) {
    const int before = presses;
    key(modifier, true);
    key(keysym, true);
    XSync(display, False);
    pump();
    if (presses == before) return true;
    key(keysym, false);
    key(modifier, false);
    return false;
  }
};

inline bool haveDisplay() { return std::getenv("DISPLAY") != nullptr; }

}  // namespace quillet::test
