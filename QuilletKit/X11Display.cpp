// The X display for hot keys and text insertion: key grabs on the root
// window, XTest for synthetic keys, and the CLIPBOARD selection, both read
// from its owner and served to requestors (incrementally for large data),
// with XFixes telling of new owners. Events are read from the connection's
// descriptor on the main context; every wait is a callback there.
#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/Xfixes.h>
#include <X11/keysym.h>

#include <climits>
#include <cstring>
#include <deque>
#include <list>
#include <map>
#include <set>

#include "QuilletKit/DisplayServer.hpp"

namespace quillet {

using namespace std::chrono_literals;

namespace {

// How long an owner may take to answer one conversion, and a whole snapshot.
constexpr auto kConversionTimeout = 1s;
constexpr auto kSnapshotBudget = 5s;
// The most clipboard data one snapshot keeps; larger targets are dropped.
constexpr size_t kSnapshotLimit = 64 << 20;
// Data above this size is served in pieces of this size (INCR).
constexpr size_t kIncrementalChunk = 256 << 10;
// A requestor that stops taking pieces for this long is given up.
constexpr auto kTransferTimeout = 30s;

constexpr unsigned kHotKeyModifiers = ShiftMask | ControlMask | Mod1Mask | Mod4Mask;

// Xlib has process-wide handlers for protocol errors and for a lost
// connection. On our connections protocol errors are expected (a grab
// refused, a requestor window gone) and noted, and a lost server must not
// end the process; other connections keep the handlers they had.
struct ErrorTrap {
  static std::map<Display*, int>& codes() {
    static std::map<Display*, int> codes;
    return codes;
  }
  static XErrorHandler& previous() {
    static XErrorHandler previous = nullptr;
    return previous;
  }
  static XIOErrorHandler& previousIO() {
    static XIOErrorHandler previous = nullptr;
    return previous;
  }
  static int handler(Display* display, XErrorEvent* error) {
    auto found = codes().find(display);
    if (found != codes().end()) {
      found->second = error->error_code;
      return 0;
    }
    return previous() ? previous()(display, error) : 0;
  }
  // Returning lets Xlib go on to the connection's exit handler.
  static int ioHandler(Display* display) {
    if (codes().contains(display) || !previousIO()) return 0;
    return previousIO()(display);
  }
  static void add(Display* display) {
    static bool installed = false;
    if (!installed) {
      previous() = XSetErrorHandler(&ErrorTrap::handler);
      previousIO() = XSetIOErrorHandler(&ErrorTrap::ioHandler);
    }
    installed = true;
    codes()[display] = Success;
  }
  static void remove(Display* display) { codes().erase(display); }
  static int take(Display* display) { return std::exchange(codes()[display], Success); }
};

// Property data in the form kept by ClipboardEntry: items of format 32 come
// from Xlib as longs and are kept as 4 bytes each.
std::string fromXlib(const unsigned char* data, int format, unsigned long items) {
  if (!data) return {};
  if (format == 32) {
    std::string out(items * 4, '\0');
    for (unsigned long i = 0; i < items; ++i) {
      auto value = static_cast<uint32_t>(reinterpret_cast<const long*>(data)[i]);
      std::memcpy(out.data() + i * 4, &value, 4);
    }
    return out;
  }
  return std::string(reinterpret_cast<const char*>(data), items * (format == 16 ? 2 : 1));
}

class X11Display : public DisplayServer, public std::enable_shared_from_this<X11Display> {
 public:
  explicit X11Display(std::shared_ptr<MainContext> context) : context_(std::move(context)) {}

  ~X11Display() override {
    if (!display_) return;
    watch_.reset();
    XCloseDisplay(display_);
    ErrorTrap::remove(display_);
  }

  void open() {
    display_ = XOpenDisplay(nullptr);
    if (!display_) return;
    ErrorTrap::add(display_);
    XSetIOErrorExitHandler(display_, &X11Display::connectionLost, this);
    int event, error, major, minor;
    hasXTest_ = XTestQueryExtension(display_, &event, &error, &major, &minor);
    hasXFixes_ = XFixesQueryExtension(display_, &fixesEvent_, &error);
    Bool detectable = False;
    XkbSetDetectableAutoRepeat(display_, True, &detectable);
    detectableRepeat_ = detectable;
    root_ = DefaultRootWindow(display_);
    window_ = XCreateSimpleWindow(display_, root_, 0, 0, 1, 1, 0, 0, 0);
    XSelectInput(display_, window_, PropertyChangeMask);
    clipboard_ = atom("CLIPBOARD");
    transfer_ = atom("QUILLET_SELECTION");
    stamp_ = atom("QUILLET_TIMESTAMP");
    if (hasXFixes_) XFixesSelectSelectionInput(display_, window_, clipboard_, XFixesSetSelectionOwnerNotifyMask);
    readModifierMap();
    std::weak_ptr<X11Display> weak = weak_from_this();
    watch_ = context_->watch(ConnectionNumber(display_), [weak] {
      if (auto self = weak.lock()) self->drain();
    });
    XFlush(display_);
  }

  bool isOpen() const override { return display_ && !broken_; }

  // ---- Keys ----

  bool grabKey(uint32_t keysym, uint32_t modifiers) override {
    if (!isOpen()) return false;
    KeyCode code = XKeysymToKeycode(display_, keysym);
    if (code == 0) return false;
    XSync(display_, False);
    ErrorTrap::take(display_);
    for (unsigned locks : lockVariants())
      XGrabKey(display_, code, modifiers | locks, root_, False, GrabModeAsync, GrabModeAsync);
    XSync(display_, False);
    bool refused = ErrorTrap::take(display_) != Success;
    if (refused) {
      for (unsigned locks : lockVariants()) XUngrabKey(display_, code, modifiers | locks, root_);
      XSync(display_, False);
      ErrorTrap::take(display_);
    } else {
      grabs_[{code, modifiers}] = keysym;
    }
    drainSoon();
    return !refused;
  }

  void ungrabKey(uint32_t keysym, uint32_t modifiers) override {
    if (!isOpen()) return;
    KeyCode code = XKeysymToKeycode(display_, keysym);
    if (code == 0 || !grabs_.erase({code, modifiers})) return;
    for (unsigned locks : lockVariants()) XUngrabKey(display_, code, modifiers | locks, root_);
    XFlush(display_);
    drainSoon();
  }

  // ---- Synthetic keys ----

  bool canSynthesizeKeys() override { return isOpen() && hasXTest_; }

  bool modifiersHeld() override {
    if (!isOpen()) return false;
    char keys[32];
    XQueryKeymap(display_, keys);
    drainSoon();
    for (KeyCode code : modifierKeys_)
      if (keys[code / 8] & (1 << (code % 8))) return true;
    return false;
  }

  void paste() override {
    if (!canSynthesizeKeys()) return;
    KeyCode control = XKeysymToKeycode(display_, XK_Control_L);
    KeyCode v = XKeysymToKeycode(display_, XK_v);
    if (!control || !v) return;
    XTestFakeKeyEvent(display_, control, True, CurrentTime);
    XTestFakeKeyEvent(display_, v, True, CurrentTime);
    XTestFakeKeyEvent(display_, v, False, CurrentTime);
    XTestFakeKeyEvent(display_, control, False, CurrentTime);
    XFlush(display_);
    drainSoon();
  }

  // ---- Clipboard ----

  void readClipboard(std::function<void(std::vector<ClipboardItem>)> done) override {
    if (reading_) {
      queued_.push_back(std::move(done));
      return;
    }
    if (!isOpen()) return done({});
    if (owned_) return done({served_});
    if (XGetSelectionOwner(display_, clipboard_) == None) {
      drainSoon();
      return done({});
    }
    reading_ = std::make_unique<Read>();
    reading_->done = std::move(done);
    reading_->deadline = std::chrono::steady_clock::now() + kSnapshotBudget;
    request(atom("TARGETS"));
  }

  void writeClipboard(std::vector<ClipboardItem> items) override {
    ++changeCount_;
    if (!isOpen()) return;
    Time now = serverTime();
    lastOwnChange_ = now;
    served_.clear();
    owned_ = false;
    if (items.empty()) {
      XSetSelectionOwner(display_, clipboard_, None, now);
      XFlush(display_);
      drainSoon();
      return;
    }
    std::set<std::string> targets;
    for (auto& item : items)
      for (auto& entry : item)
        if (targets.insert(entry.target).second) served_.push_back(std::move(entry));
    XSetSelectionOwner(display_, clipboard_, window_, now);
    owned_ = XGetSelectionOwner(display_, clipboard_) == window_;
    ownedSince_ = now;
    if (!owned_) served_.clear();
    drainSoon();
  }

  uint64_t clipboardChangeCount() override {
    if (!isOpen()) return changeCount_;
    // What the server has already said about owners counts, even if the
    // loop has not read it yet.
    XSync(display_, False);
    XEvent event;
    while (XCheckIfEvent(display_, &event, &X11Display::isOwnerNews, reinterpret_cast<XPointer>(this)))
      dispatch(event);
    drainSoon();
    return changeCount_;
  }

 private:
  struct Read {
    std::function<void(std::vector<ClipboardItem>)> done;
    std::chrono::steady_clock::time_point deadline;
    bool askingTargets = true;
    std::vector<Atom> targets;
    size_t next = 0;
    std::string target;
    ClipboardItem item;
    size_t kept = 0;  // bytes of the item
    bool incremental = false;
    bool tooLarge = false;
    ClipboardEntry pieces;
    std::unique_ptr<Registration> timeout;
  };

  struct Transfer {
    Window requestor;
    Atom property;
    Atom type;
    int format;
    std::string data;
    size_t offset = 0;
    std::unique_ptr<Registration> timeout;
  };

  // ---- Connection ----

  static void connectionLost(Display*, void* data) { static_cast<X11Display*>(data)->broken_ = true; }

  Atom atom(const std::string& name) {
    auto found = atoms_.find(name);
    if (found != atoms_.end()) return found->second;
    Atom a = XInternAtom(display_, name.c_str(), False);
    atoms_.emplace(name, a);
    return a;
  }

  std::string atomName(Atom a) {
    char* name = a == None ? nullptr : XGetAtomName(display_, a);
    std::string out = name ? name : "";
    if (name) XFree(name);
    return out;
  }

  std::vector<unsigned> lockVariants() const {
    if (numLock_ == 0) return {0, LockMask};
    return {0, LockMask, numLock_, LockMask | numLock_};
  }

  void readModifierMap() {
    modifierKeys_.clear();
    numLock_ = 0;
    XModifierKeymap* map = XGetModifierMapping(display_);
    if (!map) return;
    KeyCode numLockKey = XKeysymToKeycode(display_, XK_Num_Lock);
    for (int index = 0; index < 8; ++index) {
      for (int k = 0; k < map->max_keypermod; ++k) {
        KeyCode code = map->modifiermap[index * map->max_keypermod + k];
        if (code == 0) continue;
        if (code == numLockKey) numLock_ = 1u << index;
        if ((1u << index) & kHotKeyModifiers) modifierKeys_.push_back(code);
      }
    }
    XFreeModifiermap(map);
  }

  // A server timestamp, from the notice of an empty append to our window:
  // owning with CurrentTime would let stale requests through.
  Time serverTime() {
    XChangeProperty(display_, window_, stamp_, XA_INTEGER, 8, PropModeAppend, nullptr, 0);
    XSync(display_, False);
    XEvent event;
    if (XCheckIfEvent(display_, &event, &X11Display::isStamp, reinterpret_cast<XPointer>(this)))
      return event.xproperty.time;
    return CurrentTime;
  }

  static Bool isStamp(Display*, XEvent* event, XPointer self) {
    auto* me = reinterpret_cast<X11Display*>(self);
    return event->type == PropertyNotify && event->xproperty.window == me->window_ &&
           event->xproperty.atom == me->stamp_;
  }

  static Bool isOwnerNews(Display*, XEvent* event, XPointer self) {
    auto* me = reinterpret_cast<X11Display*>(self);
    return (me->hasXFixes_ && event->type == me->fixesEvent_ + XFixesSelectionNotify) || event->type == SelectionClear;
  }

  // Xlib reads whatever has arrived at every flush and round trip: those
  // events are off the descriptor already, so its watch would not see them.
  void drainSoon() {
    if (!isOpen() || drainSoon_ || XQLength(display_) == 0) return;
    std::weak_ptr<X11Display> weak = weak_from_this();
    drainSoon_ = context_->defer([weak] {
      if (auto self = weak.lock()) {
        auto pending = std::move(self->drainSoon_);
        self->drain();
      }
    });
  }

  void drain() {
    auto keepAlive = shared_from_this();
    while (isOpen() && XPending(display_) > 0) {
      XEvent event;
      XNextEvent(display_, &event);
      dispatch(event);
    }
    if (broken_) lose();
  }

  // The server went away: nothing is grabbed or owned any more.
  void lose() {
    watch_.reset();
    owned_ = false;
    served_.clear();
    transfers_.clear();
    if (reading_) finishRead();
  }

  void dispatch(XEvent& event) {
    switch (event.type) {
      case KeyPress:
      case KeyRelease:
        key(event.xkey);
        break;
      case MappingNotify:
        XRefreshKeyboardMapping(&event.xmapping);
        readModifierMap();
        break;
      case SelectionRequest:
        serve(event.xselectionrequest);
        break;
      case SelectionClear:
        // A notice read late may be about an ownership that a newer one of ours replaced.
        if (event.xselectionclear.selection == clipboard_ && owned_ && event.xselectionclear.time >= ownedSince_) {
          owned_ = false;
          served_.clear();
          if (!hasXFixes_) ++changeCount_;
        }
        break;
      case SelectionNotify:
        converted(event.xselection);
        break;
      case PropertyNotify:
        property(event.xproperty);
        break;
      default:
        if (hasXFixes_ && event.type == fixesEvent_ + XFixesSelectionNotify)
          ownerChanged(*reinterpret_cast<XFixesSelectionNotifyEvent*>(&event));
        break;
    }
  }

  // ---- Key events ----

  void key(const XKeyEvent& event) {
    const KeyCode code = static_cast<KeyCode>(event.keycode);
    if (event.type == KeyPress) {
      const uint32_t modifiers = event.state & kHotKeyModifiers;
      auto grab = grabs_.find({code, modifiers});
      if (grab == grabs_.end()) return;
      down_[code] = {grab->second, modifiers};
      if (onKey) onKey(grab->second, modifiers, true);
      return;
    }
    // Without detectable repeat a held key sends a release and a press at
    // the same moment: that release is no release.
    if (!detectableRepeat_ && XEventsQueued(display_, QueuedAfterReading) > 0) {
      XEvent next;
      XPeekEvent(display_, &next);
      if (next.type == KeyPress && next.xkey.keycode == event.keycode && next.xkey.time == event.time) return;
    }
    auto held = down_.find(code);
    if (held == down_.end()) return;
    auto [keysym, modifiers] = held->second;
    down_.erase(held);
    if (onKey) onKey(keysym, modifiers, false);
  }

  // ---- Serving the clipboard ----

  void serve(const XSelectionRequestEvent& request) {
    XSelectionEvent reply{};
    reply.type = SelectionNotify;
    reply.display = display_;
    reply.requestor = request.requestor;
    reply.selection = request.selection;
    reply.target = request.target;
    reply.property = None;
    reply.time = request.time;
    // Old clients name no property: the target stands for it.
    Atom property = request.property == None ? request.target : request.property;
    bool current = request.time == CurrentTime || request.time >= ownedSince_;
    if (request.selection == clipboard_ && owned_ && current && answer(request.requestor, request.target, property))
      reply.property = property;
    XSendEvent(display_, request.requestor, False, NoEventMask, reinterpret_cast<XEvent*>(&reply));
    XFlush(display_);
  }

  bool answer(Window requestor, Atom target, Atom property) {
    if (target == atom("TARGETS")) {
      std::vector<long> list{static_cast<long>(atom("TARGETS")), static_cast<long>(atom("TIMESTAMP"))};
      for (const auto& entry : served_) list.push_back(static_cast<long>(atom(entry.target)));
      XChangeProperty(display_, requestor, property, XA_ATOM, 32, PropModeReplace,
                      reinterpret_cast<unsigned char*>(list.data()), static_cast<int>(list.size()));
      return true;
    }
    if (target == atom("TIMESTAMP")) {
      long time = static_cast<long>(ownedSince_);
      XChangeProperty(display_, requestor, property, XA_INTEGER, 32, PropModeReplace,
                      reinterpret_cast<unsigned char*>(&time), 1);
      return true;
    }
    for (const auto& entry : served_) {
      if (atom(entry.target) != target) continue;
      Atom type = entry.type.empty() ? target : atom(entry.type);
      if (entry.data.size() > kIncrementalChunk) {
        startTransfer(requestor, property, type, entry);
      } else {
        put(requestor, property, type, entry.format, entry.data);
      }
      return true;
    }
    return false;
  }

  void put(Window window, Atom property, Atom type, int format, std::string_view data) {
    if (format == 32) {
      std::vector<long> items(data.size() / 4);
      for (size_t i = 0; i < items.size(); ++i) {
        uint32_t value;
        std::memcpy(&value, data.data() + i * 4, 4);
        items[i] = static_cast<long>(value);
      }
      XChangeProperty(display_, window, property, type, 32, PropModeReplace,
                      reinterpret_cast<unsigned char*>(items.data()), static_cast<int>(items.size()));
      return;
    }
    int unit = format == 16 ? 2 : 1;
    XChangeProperty(display_, window, property, type, format == 16 ? 16 : 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(data.data()), static_cast<int>(data.size() / unit));
  }

  // Large data goes in pieces: each time the requestor deletes the
  // property, the next piece is put there; an empty piece ends it.
  void startTransfer(Window requestor, Atom property, Atom type, const ClipboardEntry& entry) {
    XSelectInput(display_, requestor, PropertyChangeMask);
    long size = static_cast<long>(entry.data.size());
    XChangeProperty(display_, requestor, property, atom("INCR"), 32, PropModeReplace,
                    reinterpret_cast<unsigned char*>(&size), 1);
    transfers_.push_back(Transfer{requestor, property, type, entry.format, entry.data, 0, nullptr});
    armTransferTimeout(std::prev(transfers_.end()));
  }

  void armTransferTimeout(std::list<Transfer>::iterator transfer) {
    std::weak_ptr<X11Display> weak = weak_from_this();
    Transfer* key = &*transfer;
    transfer->timeout = context_->after(kTransferTimeout, [weak, key] {
      auto self = weak.lock();
      if (!self) return;
      self->transfers_.remove_if([key](const Transfer& t) { return &t == key; });
    });
  }

  void property(const XPropertyEvent& event) {
    if (event.window == window_) {
      if (event.atom == transfer_ && event.state == PropertyNewValue) piece();
      return;
    }
    if (event.state != PropertyDelete) return;
    for (auto t = transfers_.begin(); t != transfers_.end(); ++t) {
      if (t->requestor != event.window || t->property != event.atom) continue;
      size_t unit = t->format == 32 ? 4 : t->format == 16 ? 2 : 1;
      size_t length = std::min(kIncrementalChunk / unit * unit, t->data.size() - t->offset);
      put(t->requestor, t->property, t->type, t->format, std::string_view(t->data).substr(t->offset, length));
      XFlush(display_);
      if (length == 0) {
        XSelectInput(display_, t->requestor, NoEventMask);
        transfers_.erase(t);
      } else {
        t->offset += length;
        armTransferTimeout(t);
      }
      return;
    }
  }

  // ---- Reading the clipboard ----

  void request(Atom target) {
    reading_->target = atomName(target);
    reading_->incremental = false;
    reading_->tooLarge = false;
    XDeleteProperty(display_, window_, transfer_);
    XConvertSelection(display_, clipboard_, target, transfer_, window_, CurrentTime);
    XFlush(display_);
    drainSoon();
    waitForOwner();
  }

  void waitForOwner() {
    std::weak_ptr<X11Display> weak = weak_from_this();
    reading_->timeout = context_->after(kConversionTimeout, [weak] {
      if (auto self = weak.lock(); self && self->reading_) self->conversionEnded(std::nullopt);
    });
  }

  void converted(const XSelectionEvent& event) {
    if (!reading_ || event.requestor != window_ || event.selection != clipboard_) return;
    if (event.property == None) return conversionEnded(std::nullopt);
    Atom type;
    int format;
    unsigned long items, after;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(display_, window_, transfer_, 0, LONG_MAX / 4, True, AnyPropertyType, &type, &format,
                           &items, &after, &data) != Success) {
      return conversionEnded(std::nullopt);
    }
    std::string bytes = fromXlib(data, format, items);
    if (data) XFree(data);
    if (type == atom("INCR")) {
      // Deleting the property (above) asked the owner for the first piece.
      reading_->incremental = true;
      reading_->pieces = ClipboardEntry{reading_->target, {}, {}, 8};
      waitForOwner();
      return;
    }
    if (type == None) return conversionEnded(std::nullopt);
    conversionEnded(ClipboardEntry{reading_->target, std::move(bytes), atomName(type), format});
  }

  void piece() {
    if (!reading_ || !reading_->incremental) return;
    Atom type;
    int format;
    unsigned long items, after;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(display_, window_, transfer_, 0, LONG_MAX / 4, True, AnyPropertyType, &type, &format,
                           &items, &after, &data) != Success) {
      return conversionEnded(std::nullopt);
    }
    std::string bytes = fromXlib(data, format, items);
    if (data) XFree(data);
    auto& entry = reading_->pieces;
    if (bytes.empty()) {
      if (reading_->tooLarge) return conversionEnded(std::nullopt);
      return conversionEnded(std::move(entry));
    }
    // Past the limit the pieces are still taken, so the owner finishes, but dropped.
    if (reading_->kept + entry.data.size() + bytes.size() > kSnapshotLimit) {
      reading_->tooLarge = true;
      entry.data.clear();
    }
    if (!reading_->tooLarge) {
      entry.data += bytes;
      entry.type = atomName(type);
      entry.format = format;
    }
    waitForOwner();
  }

  // One conversion is over, with the target's data or without.
  void conversionEnded(std::optional<ClipboardEntry> entry) {
    Read& read = *reading_;
    read.timeout.reset();
    if (read.askingTargets) {
      read.askingTargets = false;
      if (entry && entry->format == 32) {
        static const std::set<std::string> meta{"TARGETS", "TIMESTAMP", "MULTIPLE", "SAVE_TARGETS", "DELETE",
                                                "INSERT_SELECTION", "INSERT_PROPERTY"};
        std::set<Atom> seen;
        for (size_t i = 0; i + 4 <= entry->data.size(); i += 4) {
          uint32_t value;
          std::memcpy(&value, entry->data.data() + i, 4);
          if (value != None && seen.insert(value).second && !meta.contains(atomName(value))) read.targets.push_back(value);
        }
      }
    } else if (entry && read.kept + entry->data.size() <= kSnapshotLimit) {
      read.kept += entry->data.size();
      read.item.push_back(std::move(*entry));
    }
    if (read.next < read.targets.size() && std::chrono::steady_clock::now() < read.deadline)
      return request(read.targets[read.next++]);
    finishRead();
  }

  void finishRead() {
    auto read = std::move(reading_);
    read->timeout.reset();
    read->done({std::move(read->item)});
    if (reading_ || queued_.empty()) return;
    auto next = std::move(queued_.front());
    queued_.pop_front();
    readClipboard(std::move(next));
  }

  // ---- Owners ----

  void ownerChanged(const XFixesSelectionNotifyEvent& event) {
    if (event.selection != clipboard_ || event.owner == window_) return;
    // Our own giving up, and news older than our last change, are no news.
    if (event.owner == None && event.selection_timestamp == lastOwnChange_) return;
    if (event.selection_timestamp < lastOwnChange_) return;
    ++changeCount_;
  }

  std::shared_ptr<MainContext> context_;
  Display* display_ = nullptr;
  bool broken_ = false;
  bool hasXTest_ = false;
  bool hasXFixes_ = false;
  bool detectableRepeat_ = false;
  int fixesEvent_ = 0;
  Window root_ = None;
  Window window_ = None;
  Atom clipboard_ = None, transfer_ = None, stamp_ = None;
  std::map<std::string, Atom> atoms_;
  std::unique_ptr<Registration> watch_;
  std::unique_ptr<Registration> drainSoon_;

  unsigned numLock_ = 0;
  std::vector<KeyCode> modifierKeys_;
  std::map<std::pair<KeyCode, uint32_t>, uint32_t> grabs_;
  std::map<KeyCode, std::pair<uint32_t, uint32_t>> down_;

  bool owned_ = false;
  Time ownedSince_ = CurrentTime;
  Time lastOwnChange_ = CurrentTime;
  ClipboardItem served_;
  uint64_t changeCount_ = 0;
  std::list<Transfer> transfers_;
  std::unique_ptr<Read> reading_;
  std::deque<std::function<void(std::vector<ClipboardItem>)>> queued_;
};

}  // namespace

std::shared_ptr<DisplayServer> openX11Display(std::shared_ptr<MainContext> context) {
  auto display = std::make_shared<X11Display>(std::move(context));
  display->open();
  return display;
}

std::shared_ptr<DisplayServer> x11Display() {
  // Lives as long as the process: the clipboard it serves outlives any caller.
  static auto* display = new std::shared_ptr<DisplayServer>(openX11Display(MainContext::main()));
  return *display;
}

}  // namespace quillet
