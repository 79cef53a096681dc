#include "QuilletKit/Keychain.hpp"

#include <libsecret/secret.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <system_error>
#include <thread>

#include "QuilletKit/Text.hpp"

namespace quillet {

namespace {

// A bus or Secret Service that takes a connection and never answers must not
// hold a command for ever: past this wait the key counts as absent.
constexpr auto kSecretServiceWait = std::chrono::seconds(3);

// Cancels the calls made with `cancellable()` once the wait is over, unless
// the deadline is gone first. libsecret's blocking calls run a loop of their
// own, so the cancelling comes from a thread of its own.
class Deadline {
 public:
  Deadline() : cancellable_(g_cancellable_new()) {
    try {
      watcher_ = std::thread([this] {
        std::unique_lock lock(mutex_);
        if (!changed_.wait_for(lock, kSecretServiceWait, [&] { return done_; })) g_cancellable_cancel(cancellable_);
      });
    } catch (const std::system_error&) {
      // No thread to spare: without a watcher the call is made unbounded
      // rather than not at all.
    }
  }
  ~Deadline() {
    {
      std::lock_guard lock(mutex_);
      done_ = true;
    }
    changed_.notify_one();
    if (watcher_.joinable()) watcher_.join();
    g_object_unref(cancellable_);
  }
  Deadline(const Deadline&) = delete;
  Deadline& operator=(const Deadline&) = delete;

  GCancellable* cancellable() const { return cancellable_; }

 private:
  GCancellable* cancellable_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool done_ = false;
  std::thread watcher_;
};

// The generic schema, without matching its name, so items written by
// secret-tool or any other client with the same attributes are found.
const SecretSchema* schema() {
  static const SecretSchema generic = {
      "org.freedesktop.Secret.Generic",
      SECRET_SCHEMA_DONT_MATCH_NAME,
      {{"service", SECRET_SCHEMA_ATTRIBUTE_STRING}, {"account", SECRET_SCHEMA_ATTRIBUTE_STRING}, {nullptr, {}}},
      0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
  return &generic;
}

// GLib would otherwise try to start a bus (autolaunch) or fall back to other
// addresses; without one we answer at once.
bool hasSessionBus() {
  const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  return address && *address;
}

GHashTable* attributes(const std::string& account) {
  GHashTable* table = g_hash_table_new(g_str_hash, g_str_equal);
  g_hash_table_insert(table, const_cast<char*>("service"), const_cast<char*>(Keychain::service));
  g_hash_table_insert(table, const_cast<char*>("account"), const_cast<char*>(account.c_str()));
  return table;
}

}  // namespace

std::optional<std::string> Keychain::get(const std::string& account) {
  if (!hasSessionBus()) return std::nullopt;
  GError* error = nullptr;
  Deadline deadline;
  SecretService* service = secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, deadline.cancellable(), &error);
  if (!service) {
    g_clear_error(&error);
    return std::nullopt;
  }
  GHashTable* query = attributes(account);
  // No SECRET_SEARCH_UNLOCK: a locked keyring reads as no key, never a prompt.
  GList* items =
      secret_service_search_sync(service, schema(), query, SECRET_SEARCH_LOAD_SECRETS, deadline.cancellable(), &error);
  g_hash_table_unref(query);
  g_clear_error(&error);
  std::optional<std::string> key;
  for (GList* it = items; it && !key; it = it->next) {
    SecretValue* value = secret_item_get_secret(SECRET_ITEM(it->data));
    if (!value) continue;
    gsize length = 0;
    const gchar* bytes = secret_value_get(value, &length);
    std::string text(bytes ? bytes : "", bytes ? length : 0);
    if (text::isValidUtf8(text)) key = std::move(text);
    secret_value_unref(value);
  }
  g_list_free_full(items, g_object_unref);
  g_object_unref(service);
  return key;
}

void Keychain::set(const std::optional<std::string>& value, const std::string& account) {
  if (!hasSessionBus()) return;
  GHashTable* query = attributes(account);
  GError* error = nullptr;
  Deadline deadline;
  secret_password_clearv_sync(schema(), query, deadline.cancellable(), &error);
  g_clear_error(&error);
  if (value && !value->empty() && !g_cancellable_is_cancelled(deadline.cancellable())) {
    std::string label = "Quillet (" + account + ")";
    secret_password_storev_sync(schema(), query, SECRET_COLLECTION_DEFAULT, label.c_str(), value->c_str(),
                                deadline.cancellable(), &error);
    g_clear_error(&error);
  }
  g_hash_table_unref(query);
}

}  // namespace quillet
