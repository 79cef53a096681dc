#include "QuilletKit/Keychain.hpp"

#include <libsecret/secret.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "QuilletKit/Text.hpp"

namespace quillet {

namespace {

// A bus or Secret Service that takes a connection and never answers, or a
// keyring that waits on a prompt nobody sees, must not hold a command for
// ever: past this wait the key counts as absent and a write is given up.
constexpr auto kSecretServiceWait = std::chrono::seconds(3);

// Runs `call` on a thread of its own and waits for it at most
// `kSecretServiceWait`. Past it the call's cancellable is cancelled and the
// caller goes on with `fallback`; the thread ends whenever libsecret lets go
// (a cancelled prompt can keep it waiting for good, so it is not joined).
template <typename Result>
Result withinDeadline(std::function<Result(GCancellable*)> call, Result fallback) {
  struct Shared {
    std::mutex mutex;
    std::condition_variable finished;
    std::optional<Result> result;
    GCancellable* cancellable = g_cancellable_new();
    ~Shared() { g_object_unref(cancellable); }
  };
  auto shared = std::make_shared<Shared>();
  try {
    std::thread([shared, call = std::move(call)] {
      Result result = call(shared->cancellable);
      std::lock_guard lock(shared->mutex);
      shared->result = std::move(result);
      shared->finished.notify_all();
    }).detach();
  } catch (const std::system_error&) {
    // No thread to spare: the call is made here, unbounded, rather than not at all.
    return call(shared->cancellable);
  }
  std::unique_lock lock(shared->mutex);
  if (!shared->finished.wait_for(lock, kSecretServiceWait, [&] { return shared->result.has_value(); })) {
    g_cancellable_cancel(shared->cancellable);
    return fallback;
  }
  return std::move(*shared->result);
}

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

// The account's items, or none when the Secret Service cannot be reached; the
// caller frees the list. The service is libsecret's shared proxy, kept until
// disconnected, so the items stay usable once this reference is dropped.
GList* findItems(const std::string& account, SecretSearchFlags flags, GCancellable* cancellable) {
  GError* error = nullptr;
  SecretService* service = secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, cancellable, &error);
  if (!service) {
    g_clear_error(&error);
    return nullptr;
  }
  GHashTable* query = attributes(account);
  GList* items = secret_service_search_sync(service, schema(), query, flags, cancellable, &error);
  g_hash_table_unref(query);
  g_clear_error(&error);
  g_object_unref(service);
  return items;
}

}  // namespace

std::optional<std::string> Keychain::get(const std::string& account) {
  if (!hasSessionBus()) return std::nullopt;
  std::function<std::optional<std::string>(GCancellable*)> lookUp = [account](GCancellable* cancellable) {
    // No SECRET_SEARCH_UNLOCK: a locked keyring reads as no key, never a prompt.
    GList* items = findItems(account, SECRET_SEARCH_LOAD_SECRETS, cancellable);
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
    return key;
  };
  return withinDeadline(std::move(lookUp), std::optional<std::string>());
}

bool Keychain::isLocked(const std::string& account) {
  if (!hasSessionBus()) return false;
  // Asked after a failed lookup, so on the same bus that may never answer.
  std::function<bool(GCancellable*)> ask = [account](GCancellable* cancellable) {
    // Locked items are found too; only their secrets stay out of reach.
    GList* items = findItems(account, SECRET_SEARCH_ALL, cancellable);
    bool locked = items != nullptr;
    for (GList* it = items; it; it = it->next) locked = locked && secret_item_get_locked(SECRET_ITEM(it->data));
    g_list_free_full(items, g_object_unref);
    return locked;
  };
  return withinDeadline(std::move(ask), false);
}

void Keychain::set(const std::optional<std::string>& value, const std::string& account) {
  if (!hasSessionBus()) return;
  std::function<bool(GCancellable*)> replace = [value, account](GCancellable* cancellable) {
    GHashTable* query = attributes(account);
    GError* error = nullptr;
    secret_password_clearv_sync(schema(), query, cancellable, &error);
    g_clear_error(&error);
    if (value && !value->empty() && !g_cancellable_is_cancelled(cancellable)) {
      std::string label = "Quillet (" + account + ")";
      secret_password_storev_sync(schema(), query, SECRET_COLLECTION_DEFAULT, label.c_str(), value->c_str(),
                                  cancellable, &error);
      g_clear_error(&error);
    }
    g_hash_table_unref(query);
    return true;
  };
  withinDeadline(std::move(replace), false);
}

}  // namespace quillet
