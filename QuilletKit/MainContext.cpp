#include "QuilletKit/MainContext.hpp"

#include <gio/gio.h>
#include <glib-unix.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <set>
#include <vector>

#include "QuilletKit/GLibMainContext.hpp"

namespace quillet {

namespace {

using Callback = std::function<void()>;

void deleteCallback(gpointer data) { delete static_cast<Callback*>(data); }

// GLib holds the callback data for as long as a dispatch runs, so a
// callback may end its own registration.
gboolean callOnce(gpointer data) {
  (*static_cast<Callback*>(data))();
  return G_SOURCE_REMOVE;
}

gboolean callOnReady(gint, GIOCondition, gpointer data) {
  (*static_cast<Callback*>(data))();
  return G_SOURCE_CONTINUE;
}

class SourceRegistration : public Registration {
 public:
  explicit SourceRegistration(GSource* source) : source_(source) {}
  ~SourceRegistration() override {
    g_source_destroy(source_);
    g_source_unref(source_);
  }

 private:
  GSource* source_;
};

std::unique_ptr<Registration> attach(GSource* source, GSourceFunc function, Callback callback) {
  g_source_set_callback(source, function, new Callback(std::move(callback)), deleteCallback);
  g_source_attach(source, g_main_context_default());
  return std::make_unique<SourceRegistration>(source);
}

// ---- Timers for a date ----

class WallTimer;

// The live timers for a date, and logind's word that the machine woke up:
// the moment to set them again, since their dates may have passed in sleep.
class ResumeWatch : public std::enable_shared_from_this<ResumeWatch> {
 public:
  explicit ResumeWatch(std::string busAddress) : busAddress_(std::move(busAddress)) {}
  ~ResumeWatch();

  void add(WallTimer* timer);
  void remove(WallTimer* timer) { timers_.erase(timer); }

 private:
  void connect();
  static void connected(gpointer weakSelf, GDBusConnection* bus);
  void subscribe(GDBusConnection* bus);
  void resumed();

  std::string busAddress_;
  std::set<WallTimer*> timers_;
  GCancellable* connecting_ = nullptr;
  GDBusConnection* bus_ = nullptr;
  guint subscription_ = 0;
};

// A timerfd on the realtime clock for the absolute date: the kernel fires
// it when the clock passes the date, sleep included, and reports a setting
// of the clock so that the timer can be set again.
class WallTimer : public Registration {
 public:
  WallTimer(std::shared_ptr<ResumeWatch> watch, Date date, Callback fire)
      : watch_(std::move(watch)), date_(date), fire_(std::move(fire)) {
    fd_ = timerfd_create(CLOCK_REALTIME, TFD_NONBLOCK | TFD_CLOEXEC);
    if (fd_ < 0) {
      auto wait = std::chrono::ceil<std::chrono::milliseconds>(date_ - std::chrono::system_clock::now());
      source_ = g_timeout_source_new(static_cast<guint>(std::clamp<int64_t>(wait.count(), 0, G_MAXUINT)));
      g_source_set_callback(source_, &WallTimer::timedOut, this, nullptr);
    } else {
      arm();
      source_ = g_unix_fd_source_new(fd_, G_IO_IN);
      g_source_set_callback(source_, reinterpret_cast<GSourceFunc>(reinterpret_cast<void (*)()>(&WallTimer::readable)),
                            this, nullptr);
    }
    g_source_attach(source_, g_main_context_default());
    watch_->add(this);
  }

  ~WallTimer() override {
    watch_->remove(this);
    g_source_destroy(source_);
    g_source_unref(source_);
    if (fd_ >= 0) close(fd_);
  }

  // A date already past makes the descriptor readable at once.
  void arm() {
    if (fd_ < 0 || fired_) return;
    auto since = date_.time_since_epoch();
    itimerspec when{};
    when.it_value.tv_sec = std::max<time_t>(0, since.count());
    if (when.it_value.tv_sec == 0) when.it_value.tv_nsec = 1;  // zero would disarm it
    timerfd_settime(fd_, TFD_TIMER_ABSTIME | TFD_TIMER_CANCEL_ON_SET, &when, nullptr);
  }

 private:
  static gboolean readable(gint fd, GIOCondition, gpointer data) {
    auto* self = static_cast<WallTimer*>(data);
    uint64_t expirations = 0;
    if (read(fd, &expirations, sizeof expirations) == static_cast<ssize_t>(sizeof expirations)) return self->fire();
    if (errno == ECANCELED) self->arm();  // the clock was set
    return G_SOURCE_CONTINUE;
  }

  static gboolean timedOut(gpointer data) { return static_cast<WallTimer*>(data)->fire(); }

  // The callback may destroy this timer: nothing of it is touched after.
  gboolean fire() {
    fired_ = true;
    Callback fire = std::move(fire_);
    fire();
    return G_SOURCE_REMOVE;
  }

  std::shared_ptr<ResumeWatch> watch_;
  Date date_;
  Callback fire_;
  int fd_ = -1;
  GSource* source_ = nullptr;
  bool fired_ = false;
};

ResumeWatch::~ResumeWatch() {
  if (connecting_) {
    g_cancellable_cancel(connecting_);
    g_object_unref(connecting_);
  }
  if (bus_) {
    g_dbus_connection_signal_unsubscribe(bus_, subscription_);
    g_object_unref(bus_);
  }
}

void ResumeWatch::add(WallTimer* timer) {
  timers_.insert(timer);
  if (!connecting_ && !bus_) connect();
}

// Asynchronous, so that a missing or slow bus never holds up the loop. The
// bus is asked once; without one, timers still follow the kernel's clock.
void ResumeWatch::connect() {
  connecting_ = g_cancellable_new();
  auto* weak = new std::weak_ptr<ResumeWatch>(weak_from_this());
  if (busAddress_.empty()) {
    g_bus_get(
        G_BUS_TYPE_SYSTEM, connecting_,
        [](GObject*, GAsyncResult* result, gpointer data) { connected(data, g_bus_get_finish(result, nullptr)); },
        weak);
  } else {
    auto flags = static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                                   G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION);
    g_dbus_connection_new_for_address(
        busAddress_.c_str(), flags, nullptr, connecting_,
        [](GObject*, GAsyncResult* result, gpointer data) {
          connected(data, g_dbus_connection_new_for_address_finish(result, nullptr));
        },
        weak);
  }
}

void ResumeWatch::connected(gpointer weakSelf, GDBusConnection* bus) {
  std::unique_ptr<std::weak_ptr<ResumeWatch>> weak(static_cast<std::weak_ptr<ResumeWatch>*>(weakSelf));
  auto self = weak->lock();
  if (self && bus) {
    self->subscribe(bus);
  } else if (bus) {
    g_object_unref(bus);
  }
}

void ResumeWatch::subscribe(GDBusConnection* bus) {
  bus_ = bus;
  auto onSignal = [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant* parameters,
                     gpointer data) {
    gboolean sleeping = TRUE;
    if (g_variant_is_of_type(parameters, G_VARIANT_TYPE("(b)"))) g_variant_get(parameters, "(b)", &sleeping);
    if (sleeping) return;
    if (auto self = static_cast<std::weak_ptr<ResumeWatch>*>(data)->lock()) self->resumed();
  };
  subscription_ = g_dbus_connection_signal_subscribe(
      bus, "org.freedesktop.login1", "org.freedesktop.login1.Manager", "PrepareForSleep", "/org/freedesktop/login1",
      nullptr, G_DBUS_SIGNAL_FLAGS_NONE, onSignal, new std::weak_ptr<ResumeWatch>(weak_from_this()),
      [](gpointer data) { delete static_cast<std::weak_ptr<ResumeWatch>*>(data); });
}

void ResumeWatch::resumed() {
  for (WallTimer* timer : timers_) timer->arm();
}

// ---- The context ----

class GLibMainContext : public MainContext {
 public:
  explicit GLibMainContext(std::string busAddress) : resume_(std::make_shared<ResumeWatch>(std::move(busAddress))) {}

  Date now() override { return std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now()); }

  std::unique_ptr<Registration> after(std::chrono::milliseconds delay, Callback fire) override {
    auto ms = std::clamp<int64_t>(delay.count(), 0, G_MAXUINT);
    return attach(g_timeout_source_new(static_cast<guint>(ms)), callOnce, std::move(fire));
  }

  std::unique_ptr<Registration> at(Date date, std::chrono::seconds, Callback fire) override {
    return std::make_unique<WallTimer>(resume_, date, std::move(fire));
  }

  std::unique_ptr<Registration> watch(int fd, Callback ready) override {
    GSource* source = g_unix_fd_source_new(fd, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR));
    return attach(source, reinterpret_cast<GSourceFunc>(reinterpret_cast<void (*)()>(&callOnReady)),
                  std::move(ready));
  }

  std::unique_ptr<Registration> defer(Callback call) override {
    GSource* source = g_idle_source_new();
    g_source_set_priority(source, G_PRIORITY_DEFAULT);
    return attach(source, callOnce, std::move(call));
  }

 private:
  std::shared_ptr<ResumeWatch> resume_;
};

}  // namespace

std::shared_ptr<MainContext> makeGLibMainContext(std::string busAddress) {
  return std::make_shared<GLibMainContext>(std::move(busAddress));
}

std::shared_ptr<MainContext> MainContext::main() {
  static const std::shared_ptr<MainContext> context = makeGLibMainContext("");
  return context;
}

}  // namespace quillet
