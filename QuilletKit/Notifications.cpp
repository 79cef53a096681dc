#include "QuilletKit/Notifications.hpp"

#include <gio/gio.h>

#include <memory>

#include "QuilletKit/LiveTuning.hpp"

namespace quillet {

namespace {

struct Pending {
  std::function<void(bool)> done;
};

void answered(GObject* source, GAsyncResult* result, gpointer data) {
  std::unique_ptr<Pending> pending(static_cast<Pending*>(data));
  GError* error = nullptr;
  GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
  if (reply) g_variant_unref(reply);
  if (error) g_error_free(error);
  if (pending->done) pending->done(reply != nullptr);
}

}  // namespace

void Notifications::send(const std::string& summary, const std::string& body, std::function<void(bool)> done) {
  GError* error = nullptr;
  // The session bus is one shared connection per process; getting it again is cheap.
  GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
  if (!bus) {
    g_error_free(error);
    if (done) done(false);
    return;
  }
  gchar* escaped = g_markup_escape_text(body.c_str(), -1);
  GVariantBuilder actions, hints;
  g_variant_builder_init(&actions, G_VARIANT_TYPE("as"));
  g_variant_builder_init(&hints, G_VARIANT_TYPE("a{sv}"));
  GVariant* parameters = g_variant_new("(susssasa{sv}i)", "Quillet", 0u, "", summary.c_str(), escaped, &actions,
                                       &hints, -1);
  g_free(escaped);
  g_dbus_connection_call(bus, "org.freedesktop.Notifications", "/org/freedesktop/Notifications",
                         "org.freedesktop.Notifications", "Notify", parameters, G_VARIANT_TYPE("(u)"),
                         G_DBUS_CALL_FLAGS_NONE, static_cast<int>(live::kNotificationTimeout.count()), nullptr, answered, new Pending{std::move(done)});
  g_object_unref(bus);
}

}  // namespace quillet
