#include "secret_keychain.h"

// The object-path calls save a proxy (and a round trip) per item.
#define SECRET_API_SUBJECT_TO_CHANGE
#include <libsecret/secret.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/enclave.h"
#include "platform/keychain_rules.h"
#include "platform/protected_data.h"
#include "secret_crypto.h"

namespace vellumark::linux_platform {

namespace {

namespace sec = platform::sec;
namespace st = platform::keychain_status;
namespace rules = platform::keychain_rules;
using platform::Bytes;
using platform::KeychainItem;
using platform::KeychainQuery;
using platform::KeychainValue;

constexpr char kSchemaName[] = "org.vellumark.Keychain";
constexpr char kSchemaAttribute[] = "xdg:schema";
constexpr char kDefaultAlias[] = "default";
constexpr char kItemInterface[] = "org.freedesktop.Secret.Item";
constexpr char kCollectionInterface[] = "org.freedesktop.Secret.Collection";
constexpr char kPropertiesInterface[] = "org.freedesktop.DBus.Properties";
constexpr char kServiceInterface[] = "org.freedesktop.Secret.Service";
constexpr char kServicePath[] = "/org/freedesktop/secrets";
constexpr char kLabelProperty[] = "org.freedesktop.Secret.Item.Label";
constexpr char kAttributesProperty[] = "org.freedesktop.Secret.Item.Attributes";
constexpr char kContentType[] = "application/octet-stream";
constexpr char kDefaultLabel[] = "Vellumark secret";
constexpr int kCallTimeoutMs = -1;  // the bus's default

struct GFree {
  void operator()(gpointer p) const { g_free(p); }
};
struct StrvFree {
  void operator()(gchar** p) const { g_strfreev(p); }
};
struct ErrorFree {
  void operator()(GError* p) const { g_error_free(p); }
};
struct HashFree {
  void operator()(GHashTable* p) const { g_hash_table_unref(p); }
};
struct VariantFree {
  void operator()(GVariant* p) const { g_variant_unref(p); }
};
struct ValueFree {
  void operator()(SecretValue* p) const { secret_value_unref(p); }
};
struct ObjectFree {
  void operator()(gpointer p) const { g_object_unref(p); }
};
using Text = std::unique_ptr<gchar, GFree>;
using Strv = std::unique_ptr<gchar*, StrvFree>;
using Error = std::unique_ptr<GError, ErrorFree>;
using Hash = std::unique_ptr<GHashTable, HashFree>;
using Variant = std::unique_ptr<GVariant, VariantFree>;
using Value = std::unique_ptr<SecretValue, ValueFree>;
using Service = std::unique_ptr<SecretService, ObjectFree>;
using Collection = std::unique_ptr<SecretCollection, ObjectFree>;

// libsecret's and D-Bus's errors as keychain statuses, naming the failed call.
int32_t secretStatus(const char* call, const GError* error) {
  if (error == nullptr) return st::kNotAvailable;
  if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED)) return st::kUserCanceled;
  if (error->domain == SECRET_ERROR) {
    switch (error->code) {
      case SECRET_ERROR_IS_LOCKED:
        return st::kInteractionNotAllowed;
      case SECRET_ERROR_NO_SUCH_OBJECT:
        return st::kItemNotFound;
      case SECRET_ERROR_ALREADY_EXISTS:
        return st::kDuplicateItem;
      default:
        break;
    }
  }
  g_message("%s: %s", call, error->message);
  return st::kNotAvailable;
}

std::string hex(const Bytes& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (uint8_t b : bytes) out += {kDigits[b >> 4], kDigits[b & 0xF]};
  return out;
}

std::optional<Bytes> unhex(std::string_view text) {
  if (text.size() % 2 != 0) return std::nullopt;
  Bytes out;
  for (size_t i = 0; i < text.size(); i += 2) {
    const int high = g_ascii_xdigit_value(text[i]);
    const int low = g_ascii_xdigit_value(text[i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    out.push_back(static_cast<uint8_t>(high * 16 + low));
  }
  return out;
}

std::string encode(const KeychainValue& value) {
  if (const auto* b = std::get_if<bool>(&value)) return *b ? "true" : "false";
  if (const auto* i = std::get_if<int64_t>(&value)) return std::to_string(*i);
  if (const auto* s = std::get_if<std::string>(&value)) return *s;
  if (const auto* bytes = std::get_if<Bytes>(&value)) return hex(*bytes);
  if (const auto* control = std::get_if<platform::AccessControl>(&value)) {
    return control->protection + ":" + std::to_string(control->flags);
  }
  return {};
}

std::optional<KeychainValue> decode(size_t type, const std::string& text) {
  switch (type) {
    case rules::kBool:
      return KeychainValue(text == "true");
    case rules::kInt:
      return KeychainValue(static_cast<int64_t>(g_ascii_strtoll(text.c_str(), nullptr, 10)));
    case rules::kString:
      return KeychainValue(text);
    case rules::kBytes:
      if (auto bytes = unhex(text)) return KeychainValue(std::move(*bytes));
      return std::nullopt;
    case rules::kAccessControl: {
      const size_t colon = text.rfind(':');
      if (colon == std::string::npos) return std::nullopt;
      return KeychainValue(platform::AccessControl{
          text.substr(0, colon), g_ascii_strtoull(text.c_str() + colon + 1, nullptr, 10)});
    }
    default:
      return std::nullopt;
  }
}

std::vector<std::string> pathsOf(gchar** paths) {
  std::vector<std::string> out;
  for (gchar** p = paths; p != nullptr && *p != nullptr; ++p) out.emplace_back(*p);
  return out;
}

std::vector<const gchar*> pathArray(const std::vector<std::string>& paths) {
  std::vector<const gchar*> out;
  for (const auto& p : paths) out.push_back(p.c_str());
  out.push_back(nullptr);
  return out;
}

// The connection to the Secret Service, made on first use and retried until
// it succeeds. Worker thread (and the availability callback, for the lock).
class SecretConnection {
 public:
  SecretService* service(int32_t* status) {
    std::lock_guard lock(mutex_);
    if (!service_) {
      GError* raw = nullptr;
      service_.reset(secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, nullptr, &raw));
      Error error(raw);
      if (!service_) {
        *status = secretStatus("secret_service_get_sync", error.get());
        return nullptr;
      }
    }
    return service_.get();
  }

  // The default collection's object path; empty when there is none.
  std::string defaultCollection(int32_t* status) {
    SecretService* s = service(status);
    if (s == nullptr) return {};
    std::lock_guard lock(mutex_);
    if (collection_.empty()) {
      GError* raw = nullptr;
      Text path(secret_service_read_alias_dbus_path_sync(s, kDefaultAlias, nullptr, &raw));
      Error error(raw);
      if (error) *status = secretStatus("secret_service_read_alias_dbus_path_sync", error.get());
      if (path) collection_ = path.get();
    }
    if (collection_.empty() && *status == st::kSuccess) *status = st::kNotAvailable;
    return collection_;
  }

  // D-Bus call on an object of the service; null with `status` set on failure.
  Variant call(const std::string& path, const char* interface, const char* method,
               GVariant* parameters, const GVariantType* reply, int32_t* status) {
    SecretService* s = service(status);
    if (s == nullptr) {
      if (parameters != nullptr) g_variant_unref(g_variant_ref_sink(parameters));
      return nullptr;
    }
    GError* raw = nullptr;
    Variant result(g_dbus_connection_call_sync(
        g_dbus_proxy_get_connection(G_DBUS_PROXY(s)), g_dbus_proxy_get_name(G_DBUS_PROXY(s)),
        path.c_str(), interface, method, parameters, reply, G_DBUS_CALL_FLAGS_NONE, kCallTimeoutMs,
        nullptr, &raw));
    Error error(raw);
    if (!result) *status = secretStatus(method, error.get());
    return result;
  }

  // The collection's Locked property, asked now (the proxies' cached copy
  // follows the main loop, which a worker cannot wait for).
  std::optional<bool> collectionLocked(const std::string& path, int32_t* status) {
    Variant reply =
        call(path, kPropertiesInterface, "Get",
             g_variant_new("(ss)", kCollectionInterface, "Locked"), G_VARIANT_TYPE("(v)"), status);
    if (!reply) return std::nullopt;
    GVariant* boxed = nullptr;
    g_variant_get(reply.get(), "(v)", &boxed);
    Variant value(boxed);
    if (!g_variant_is_of_type(value.get(), G_VARIANT_TYPE_BOOLEAN)) return std::nullopt;
    return g_variant_get_boolean(value.get()) != FALSE;
  }

  struct Found {
    std::vector<std::string> unlocked;
    std::vector<std::string> locked;
    // The collection's Locked property, when one was named and it answered.
    std::optional<bool> collectionLocked;
  };

  // The items whose attributes include `attributes` (an a{ss}, consumed),
  // and beside them the Locked property of `collection` when it is not
  // empty: a miss in a locked collection looks like "not found", and asking
  // only after the miss would cost it a second round trip. Both calls go out
  // together on a context of this thread's own.
  int32_t search(GVariant* attributes, const std::string& collection, Found* out) {
    int32_t status = st::kSuccess;
    SecretService* s = service(&status);
    if (s == nullptr) {
      g_variant_unref(g_variant_ref_sink(attributes));
      return status;
    }
    struct Pending {
      int left = 0;
      Variant search;
      GError* searchError = nullptr;
      Variant locked;
    } pending;
    auto onSearch = [](GObject* source, GAsyncResult* result, gpointer data) {
      auto* p = static_cast<Pending*>(data);
      p->search.reset(
          g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &p->searchError));
      --p->left;
    };
    auto onLocked = [](GObject* source, GAsyncResult* result, gpointer data) {
      auto* p = static_cast<Pending*>(data);
      GError* ignored = nullptr;
      p->locked.reset(g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &ignored));
      g_clear_error(&ignored);
      --p->left;
    };
    GDBusConnection* bus = g_dbus_proxy_get_connection(G_DBUS_PROXY(s));
    const gchar* name = g_dbus_proxy_get_name(G_DBUS_PROXY(s));
    GMainContext* context = g_main_context_new();
    g_main_context_push_thread_default(context);
    pending.left = 1;
    g_dbus_connection_call(bus, name, kServicePath, kServiceInterface, "SearchItems",
                           g_variant_new("(@a{ss})", attributes), G_VARIANT_TYPE("(aoao)"),
                           G_DBUS_CALL_FLAGS_NONE, kCallTimeoutMs, nullptr, onSearch, &pending);
    if (!collection.empty()) {
      ++pending.left;
      g_dbus_connection_call(bus, name, collection.c_str(), kPropertiesInterface, "Get",
                             g_variant_new("(ss)", kCollectionInterface, "Locked"),
                             G_VARIANT_TYPE("(v)"), G_DBUS_CALL_FLAGS_NONE, kCallTimeoutMs, nullptr,
                             onLocked, &pending);
    }
    while (pending.left > 0) g_main_context_iteration(context, TRUE);
    g_main_context_pop_thread_default(context);
    g_main_context_unref(context);

    Error error(pending.searchError);
    if (!pending.search) return secretStatus("SearchItems", error.get());
    gchar** unlocked = nullptr;
    gchar** locked = nullptr;
    g_variant_get(pending.search.get(), "(^ao^ao)", &unlocked, &locked);
    Strv unlockedPaths(unlocked);
    Strv lockedPaths(locked);
    out->unlocked = pathsOf(unlocked);
    out->locked = pathsOf(locked);
    if (pending.locked) {
      GVariant* boxed = nullptr;
      g_variant_get(pending.locked.get(), "(v)", &boxed);
      Variant value(boxed);
      if (g_variant_is_of_type(value.get(), G_VARIANT_TYPE_BOOLEAN)) {
        out->collectionLocked = g_variant_get_boolean(value.get()) != FALSE;
      }
    }
    return st::kSuccess;
  }

  // Asks the Secret Service to unlock `paths` (its own prompt).
  int32_t unlock(const std::vector<std::string>& paths) {
    int32_t status = st::kSuccess;
    SecretService* s = service(&status);
    if (s == nullptr) return status;
    auto array = pathArray(paths);
    GError* raw = nullptr;
    gchar** unlockedRaw = nullptr;
    const gint count =
        secret_service_unlock_dbus_paths_sync(s, array.data(), nullptr, &unlockedRaw, &raw);
    Strv unlocked(unlockedRaw);
    Error error(raw);
    if (error) return secretStatus("secret_service_unlock_dbus_paths_sync", error.get());
    return count < static_cast<gint>(paths.size()) ? st::kUserCanceled : st::kSuccess;
  }

 private:
  std::mutex mutex_;
  Service service_;
  std::string collection_;
};

class SecretKeychain : public platform::Keychain {
 public:
  explicit SecretKeychain(std::shared_ptr<SecretConnection> connection)
      : connection_(std::move(connection)) {}

  int32_t copyMatching(const KeychainQuery& query, std::vector<KeychainItem>* result) override {
    if (int32_t status = rules::check(query, rules::Use::Search)) return status;
    const bool isKey = *platform::queryValue<std::string>(query, sec::kClass) == sec::kClassKey;
    const bool wantsRef = isKey && rules::flag(query, sec::kReturnRef);
    const bool wantsData = rules::flag(query, sec::kReturnData) || wantsRef;
    // Fetching the secrets checks the paths, so only then may a remembered
    // search stand in; if the fetch fails on them, a fresh search decides.
    const bool mayRecall = result != nullptr && wantsData;
    bool recalled = false;
    int32_t status = copyFrom(query, result, wantsData, wantsRef, mayRecall, &recalled);
    if (recalled && status != st::kSuccess) {
      forgetSearches();
      result->clear();
      status = copyFrom(query, result, wantsData, wantsRef, false, &recalled);
    }
    return status;
  }

  int32_t copyFrom(const KeychainQuery& query, std::vector<KeychainItem>* result, bool wantsData,
                   bool wantsRef, bool mayRecall, bool* recalled) {
    std::vector<std::string> paths;
    if (int32_t status = search(query, &paths, mayRecall, recalled)) return status;
    if (!rules::limitAll(query)) paths.resize(1);
    if (result == nullptr) return st::kSuccess;
    Hash secrets;
    if (wantsData) {
      int32_t status = st::kSuccess;
      SecretService* s = connection_->service(&status);
      if (s == nullptr) return status;
      auto array = pathArray(paths);
      GError* raw = nullptr;
      secrets.reset(secret_service_get_secrets_for_dbus_paths_sync(s, array.data(), nullptr, &raw));
      Error error(raw);
      if (!secrets)
        return secretStatus("secret_service_get_secrets_for_dbus_paths_sync", error.get());
    }
    for (const auto& path : paths) {
      KeychainItem item;
      if (secrets) {
        auto* value = static_cast<SecretValue*>(g_hash_table_lookup(secrets.get(), path.c_str()));
        if (value == nullptr) continue;  // went away in between
        gsize size = 0;
        const gchar* bytes = secret_value_get(value, &size);
        Bytes data(bytes, bytes + size);
        if (wantsRef) {
          std::string error;
          item.ref = ecKeyFromDer(data, &error);
        }
        if (rules::flag(query, sec::kReturnData)) item.data = std::move(data);
      }
      if (rules::flag(query, sec::kReturnAttributes)) {
        if (int32_t status = attributesOf(path, &item.attributes)) return status;
      }
      if (rules::flag(query, sec::kReturnPersistentRef))
        item.persistentRef = Bytes(path.begin(), path.end());
      result->push_back(std::move(item));
    }
    return result->empty() ? st::kItemNotFound : st::kSuccess;
  }

  int32_t add(const KeychainQuery& query) override {
    if (int32_t status = rules::check(query, rules::Use::Add)) return status;
    const KeychainQuery attributes = rules::itemAttributes(query);
    std::vector<std::string> existing;
    KeychainQuery primary = rules::primaryKey(attributes);
    if (auto ui = query.find(sec::kUseAuthenticationUI); ui != query.end()) primary.insert(*ui);
    const int32_t found = search(primary, &existing);
    if (found == st::kSuccess) return st::kDuplicateItem;
    if (found != st::kItemNotFound) return found;
    const Bytes* data = platform::queryValue<Bytes>(query, sec::kValueData);
    return create(attributes, data != nullptr ? *data : Bytes{}, rules::authenticationUI(query));
  }

  int32_t update(const KeychainQuery& query, const KeychainQuery& changes) override {
    if (int32_t status = rules::check(query, rules::Use::Search)) return status;
    if (int32_t status = rules::check(changes, rules::Use::Changes)) return status;
    // Changing an item checks its path; if that fails on remembered paths, a
    // fresh search decides.
    bool recalled = false;
    int32_t status = updateFrom(query, changes, true, &recalled);
    if (recalled && status != st::kSuccess) {
      forgetSearches();
      status = updateFrom(query, changes, false, &recalled);
    }
    return status;
  }

  int32_t updateFrom(const KeychainQuery& query, const KeychainQuery& changes, bool mayRecall,
                     bool* recalled) {
    std::vector<std::string> paths;
    if (int32_t status = search(query, &paths, mayRecall, recalled)) return status;
    for (const auto& path : paths) {
      if (const Bytes* data = platform::queryValue<Bytes>(changes, sec::kValueData)) {
        if (int32_t status = setSecret(path, *data)) return status;
      }
      KeychainQuery attributes;
      for (const auto& [name, value] : changes) {
        if (rules::isAttribute(name)) attributes.insert_or_assign(name, value);
      }
      if (attributes.empty()) continue;
      KeychainQuery current;
      if (int32_t status = attributesOf(path, &current)) return status;
      for (auto& [name, value] : attributes) current.insert_or_assign(name, value);
      if (int32_t status = setAttributes(path, current)) return status;
    }
    return st::kSuccess;
  }

  int32_t remove(const KeychainQuery& query) override {
    if (int32_t status = rules::check(query, rules::Use::Search)) return status;
    std::vector<std::string> paths;
    if (int32_t status = search(query, &paths)) return status;
    int32_t status = st::kSuccess;
    SecretService* s = connection_->service(&status);
    if (s == nullptr) return status;
    forgetSearches();
    for (const auto& path : paths) {
      GError* raw = nullptr;
      secret_service_delete_item_dbus_path_sync(s, path.c_str(), nullptr, &raw);
      Error error(raw);
      if (error) return secretStatus("secret_service_delete_item_dbus_path_sync", error.get());
    }
    return st::kSuccess;
  }

  platform::KeyCreation createRandomKey(const platform::KeyAttributes& attributes) override {
    if (attributes.keyType != sec::kAttrKeyTypeECSECPrimeRandom ||
        attributes.keySizeInBits != 256) {
      return {nullptr, "Only 256-bit elliptic-curve keys are supported."};
    }
    Bytes der;
    std::string error;
    auto key = generateEcKey(&der, &error);
    if (!key) return {nullptr, error};
    if (attributes.isPermanent) {
      const int32_t status =
          create(rules::keyItem(attributes), der, rules::AuthenticationUI::Allow);
      std::fill(der.begin(), der.end(), 0);
      if (status != st::kSuccess) {
        return {nullptr, platform::keychainStatusText(status).value_or("The key was not stored.")};
      }
    }
    return {std::move(key), std::nullopt};
  }

  std::optional<std::string> copyErrorMessageString(int32_t status) override {
    return platform::keychainStatusText(status);
  }

 private:
  // The unlocked items matching the query's attributes. Locked ones, and a
  // locked default collection that hides what it holds, are unlocked only
  // when the query allows a prompt.
  // With `mayRecall`, a search remembered from a moment ago may answer; the
  // caller must then check the paths by using them (`*recalled` tells).
  int32_t search(const KeychainQuery& query, std::vector<std::string>* paths,
                 bool mayRecall = false, bool* recalled = nullptr, bool retried = false) {
    int32_t status = st::kSuccess;
    const auto ui = rules::authenticationUI(query);
    const std::string key = searchKey(query);
    if (mayRecall && recall(key, paths)) {
      if (recalled != nullptr) *recalled = true;
      return st::kSuccess;
    }
    // The collection's lock state is only needed for a miss that may prompt.
    const std::string collection = ui == rules::AuthenticationUI::Skip || retried
                                       ? std::string()
                                       : connection_->defaultCollection(&status);
    status = st::kSuccess;
    SecretConnection::Found found;
    if (int32_t searched = connection_->search(attributesVariant(rules::searchAttributes(query)),
                                               collection, &found)) {
      return searched;
    }
    *paths = std::move(found.unlocked);
    auto lockedPaths = std::move(found.locked);
    if (lockedPaths.empty() && !paths->empty()) remember(key, *paths);
    if (!lockedPaths.empty() && ui != rules::AuthenticationUI::Skip) {
      if (ui == rules::AuthenticationUI::Fail) return st::kInteractionNotAllowed;
      if (int32_t unlockStatus = connection_->unlock(lockedPaths)) return unlockStatus;
      paths->insert(paths->end(), lockedPaths.begin(), lockedPaths.end());
    }
    if (!paths->empty()) return st::kSuccess;
    if (retried || ui == rules::AuthenticationUI::Skip) return st::kItemNotFound;
    // A locked collection may hide its items altogether.
    if (collection.empty()) return st::kItemNotFound;
    if (found.collectionLocked.value_or(false)) {
      if (ui == rules::AuthenticationUI::Fail) return st::kInteractionNotAllowed;
      if (int32_t unlockStatus = connection_->unlock({collection})) return unlockStatus;
      return search(query, paths, false, nullptr, true);
    }
    return st::kItemNotFound;
  }

  // The paths of the last searches that found unlocked items, kept for a
  // moment: a write looks its item up and then updates it, and a read often
  // follows, each searching for the same attributes again, and a search is a
  // round trip to the Secret Service. Items made, deleted or changed in their
  // attributes by this process forget them all; one changed by another
  // process within the moment shows as gone (its path is not found) or as
  // its old self, as it would have a moment earlier.
  static constexpr std::chrono::milliseconds kRememberFor{250};
  struct Remembered {
    std::vector<std::string> paths;
    std::chrono::steady_clock::time_point at;
  };

  static std::string searchKey(const KeychainQuery& query) {
    std::string key;
    for (const auto& [name, value] : rules::searchAttributes(query)) {
      key += name + '\0' + encode(value) + '\0';
    }
    return key;
  }
  bool recall(const std::string& key, std::vector<std::string>* paths) {
    std::lock_guard lock(rememberedMutex_);
    auto it = remembered_.find(key);
    if (it == remembered_.end()) return false;
    if (std::chrono::steady_clock::now() - it->second.at > kRememberFor) {
      remembered_.erase(it);
      return false;
    }
    *paths = it->second.paths;
    return true;
  }
  void remember(const std::string& key, const std::vector<std::string>& paths) {
    std::lock_guard lock(rememberedMutex_);
    remembered_.insert_or_assign(key, Remembered{paths, std::chrono::steady_clock::now()});
  }
  void forgetSearches() {
    std::lock_guard lock(rememberedMutex_);
    remembered_.clear();
  }

  int32_t create(const KeychainQuery& attributes, const Bytes& data, rules::AuthenticationUI ui) {
    forgetSearches();
    int32_t status = st::kSuccess;
    SecretService* s = connection_->service(&status);
    if (s == nullptr) return status;
    const std::string collection = connection_->defaultCollection(&status);
    if (collection.empty()) return status;
    if (connection_->collectionLocked(collection, &status).value_or(false)) {
      if (ui == rules::AuthenticationUI::Fail) return st::kInteractionNotAllowed;
      if (int32_t unlockStatus = connection_->unlock({collection})) return unlockStatus;
    }
    const auto* label = platform::queryValue<std::string>(attributes, sec::kAttrLabel);
    const auto* account = platform::queryValue<std::string>(attributes, sec::kAttrAccount);
    const std::string shown = label != nullptr     ? *label
                              : account != nullptr ? *account
                                                   : kDefaultLabel;
    Hash properties(g_hash_table_new_full(g_str_hash, g_str_equal, nullptr,
                                          reinterpret_cast<GDestroyNotify>(g_variant_unref)));
    g_hash_table_insert(properties.get(), const_cast<gchar*>(kLabelProperty),
                        g_variant_ref_sink(g_variant_new_string(shown.c_str())));
    g_hash_table_insert(properties.get(), const_cast<gchar*>(kAttributesProperty),
                        g_variant_ref_sink(attributesVariant(attributes)));
    Value value(secret_value_new(reinterpret_cast<const gchar*>(data.data()),
                                 static_cast<gssize>(data.size()), kContentType));
    GError* raw = nullptr;
    Text path(secret_service_create_item_dbus_path_sync(s, collection.c_str(), properties.get(),
                                                        value.get(), SECRET_ITEM_CREATE_NONE,
                                                        nullptr, &raw));
    Error error(raw);
    if (!path) return secretStatus("secret_service_create_item_dbus_path_sync", error.get());
    return st::kSuccess;
  }

  // The a{ss} of an item: ours and the schema's name.
  static GVariant* attributesVariant(const KeychainQuery& attributes) {
    GVariantBuilder builder;
    g_variant_builder_init(&builder, G_VARIANT_TYPE("a{ss}"));
    for (const auto& [name, value] : attributes) {
      g_variant_builder_add(&builder, "{ss}", name.c_str(), encode(value).c_str());
    }
    g_variant_builder_add(&builder, "{ss}", kSchemaAttribute, kSchemaName);
    return g_variant_builder_end(&builder);
  }

  int32_t attributesOf(const std::string& path, KeychainQuery* out) {
    int32_t status = st::kSuccess;
    Variant reply = connection_->call(path, kPropertiesInterface, "Get",
                                      g_variant_new("(ss)", kItemInterface, "Attributes"),
                                      G_VARIANT_TYPE("(v)"), &status);
    if (!reply) return status;
    GVariant* boxed = nullptr;
    g_variant_get(reply.get(), "(v)", &boxed);
    Variant map(boxed);
    if (!g_variant_is_of_type(map.get(), G_VARIANT_TYPE("a{ss}"))) return st::kNotAvailable;
    GVariantIter iter;
    g_variant_iter_init(&iter, map.get());
    const gchar* name = nullptr;
    const gchar* text = nullptr;
    while (g_variant_iter_next(&iter, "{&s&s}", &name, &text)) {
      for (const auto& [attribute, type] : rules::kAttributes) {
        if (attribute != name) continue;
        if (auto value = decode(type, text))
          out->insert_or_assign(std::string(name), std::move(*value));
      }
    }
    return st::kSuccess;
  }

  int32_t setSecret(const std::string& path, const Bytes& data) {
    int32_t status = st::kSuccess;
    SecretService* s = connection_->service(&status);
    if (s == nullptr) return status;
    Value value(secret_value_new(reinterpret_cast<const gchar*>(data.data()),
                                 static_cast<gssize>(data.size()), kContentType));
    GVariant* encoded = secret_service_encode_dbus_secret(s, value.get());
    if (encoded == nullptr) return st::kNotAvailable;
    Variant reply = connection_->call(path, kItemInterface, "SetSecret",
                                      g_variant_new_tuple(&encoded, 1), nullptr, &status);
    return reply ? st::kSuccess : status;
  }

  int32_t setAttributes(const std::string& path, const KeychainQuery& attributes) {
    forgetSearches();
    int32_t status = st::kSuccess;
    Variant reply = connection_->call(
        path, kPropertiesInterface, "Set",
        g_variant_new("(ssv)", kItemInterface, "Attributes", attributesVariant(attributes)),
        nullptr, &status);
    return reply ? st::kSuccess : status;
  }

  std::shared_ptr<SecretConnection> connection_;
  std::mutex rememberedMutex_;
  std::map<std::string, Remembered> remembered_;
};

// Whether the default collection is unlocked, and its changes: libsecret
// reports each twice, so only a change of the state itself is passed on.
class SecretProtectedData : public platform::ProtectedData {
 public:
  explicit SecretProtectedData(std::shared_ptr<SecretConnection> connection)
      : connection_(std::move(connection)) {}
  ~SecretProtectedData() override {
    if (collection_ && handler_ != 0) g_signal_handler_disconnect(collection_.get(), handler_);
  }

  bool isProtectedDataAvailable() override {
    int32_t status = st::kSuccess;
    const std::string path = connection_->defaultCollection(&status);
    if (path.empty()) return false;
    return !connection_->collectionLocked(path, &status).value_or(true);
  }

  void watch(Listener listener) override {
    {
      std::lock_guard lock(mutex_);
      listener_ = std::move(listener);
      if (collection_) return;
    }
    int32_t status = st::kSuccess;
    SecretService* service = connection_->service(&status);
    const std::string path = connection_->defaultCollection(&status);
    if (service == nullptr || path.empty()) return;
    // Made on this worker thread, which has no context of its own, the
    // proxy delivers its signals on the global default context: the main loop.
    GError* raw = nullptr;
    Collection collection(secret_collection_new_for_dbus_path_sync(
        service, path.c_str(), SECRET_COLLECTION_NONE, nullptr, &raw));
    Error error(raw);
    if (!collection) {
      secretStatus("secret_collection_new_for_dbus_path_sync", error.get());
      return;
    }
    std::lock_guard lock(mutex_);
    locked_ = secret_collection_get_locked(collection.get()) != FALSE;
    handler_ =
        g_signal_connect(collection.get(), "notify::locked", G_CALLBACK(&onLockedChanged), this);
    collection_ = std::move(collection);
  }

 private:
  static void onLockedChanged(GObject* object, GParamSpec* /*property*/, gpointer data) {
    auto* self = static_cast<SecretProtectedData*>(data);
    const bool locked = secret_collection_get_locked(SECRET_COLLECTION(object)) != FALSE;
    Listener listener;
    {
      std::lock_guard lock(self->mutex_);
      if (locked == self->locked_) return;
      self->locked_ = locked;
      listener = self->listener_;
    }
    try {
      if (listener) listener(!locked);
    } catch (...) {
      // Nothing may unwind into GLib.
    }
  }

  std::shared_ptr<SecretConnection> connection_;
  std::mutex mutex_;
  Listener listener_;
  Collection collection_;
  gulong handler_ = 0;
  bool locked_ = false;
};

}  // namespace

std::shared_ptr<platform::KeychainServices> createSecretKeychainServices() {
  auto connection = std::make_shared<SecretConnection>();
  return std::make_shared<platform::KeychainServices>(platform::KeychainServices{
      std::make_shared<SecretKeychain>(connection), std::make_shared<OpenSslAesGcm>(),
      std::make_shared<SecretProtectedData>(connection)});
}

}  // namespace vellumark::linux_platform
