// The user-defaults store: small typed values under string keys, kept per
// domain. The application's domain is named by its bundle identifier; a
// suite is a domain of its own. An opened store reads its own domain and,
// after it, the global domain; it writes and removes only in its own.
//
// Every call reads the stored state afresh, so a change made by another
// process is seen by the next call. Any thread.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace vellumark::platform {

// Seconds since 2001-01-01T00:00:00Z.
struct DefaultsDate {
  double secondsSinceReferenceDate = 0;
  bool operator==(const DefaultsDate&) const = default;
};

struct DefaultsValue;
using DefaultsArray = std::vector<DefaultsValue>;
using DefaultsDictionary = std::map<std::string, DefaultsValue>;
using DefaultsData = std::vector<uint8_t>;

// A property-list value. Strings and keys hold no NUL character.
struct DefaultsValue {
  using Storage = std::variant<bool, int64_t, double, std::string, DefaultsData, DefaultsDate,
                               DefaultsArray, DefaultsDictionary>;
  Storage value;

  template <typename T>
  const T* getIf() const {
    return std::get_if<T>(&value);
  }
  bool operator==(const DefaultsValue&) const = default;
};

// One opened store (NSUserDefaults). Failures to write are reported, never
// swallowed: `error` then says what failed and nothing was changed.
class UserDefaultsStore {
 public:
  virtual ~UserDefaultsStore() = default;

  // The value under `key` in the merged view, or nullopt.
  virtual std::optional<DefaultsValue> objectForKey(const std::string& key) = 0;
  virtual bool setObject(const std::string& key, const DefaultsValue& value,
                         std::string& error) = 0;
  // Removing keys that are not stored succeeds and changes nothing.
  virtual bool removeObjectForKey(const std::string& key, std::string& error) = 0;
  // Several keys in one write.
  virtual bool removeObjectsForKeys(const std::vector<std::string>& keys, std::string& error) = 0;
  // The merged view: the opened domain over the global domain.
  virtual DefaultsDictionary dictionaryRepresentation() = 0;
  // The stored values of the domain `name`, or nullopt when it has none.
  virtual std::optional<DefaultsDictionary> persistentDomainForName(const std::string& name) = 0;
};

class UserDefaults {
 public:
  virtual ~UserDefaults() = default;
  // The application's own store (standardUserDefaults).
  virtual std::shared_ptr<UserDefaultsStore> standardUserDefaults() = 0;
  // The store of the suite `suiteName` (initWithSuiteName:), the
  // application's own store for nullopt, or null when the name is refused.
  virtual std::shared_ptr<UserDefaultsStore> openSuite(
      const std::optional<std::string>& suiteName) = 0;
};

}  // namespace vellumark::platform
