#include "shared_preferences_foundation/shared_preferences_plugin.h"

#include <set>
#include <utility>

namespace vellumark {
namespace {

using platform::DefaultsArray;
using platform::DefaultsDictionary;
using platform::DefaultsValue;
using shared_preferences::SharedPreferencesPigeonOptions;
using shared_preferences::StringList;

constexpr char kErrorArgument[] = "Argument Error";
constexpr char kMessageSuitePrefix[] = "The provided Suite Name '";
constexpr char kMessageSuiteSuffix[] = "' does not exist";
constexpr char kErrorStorage[] = "Storage Error";
constexpr char kErrorUnavailable[] = "Unavailable";
constexpr char kMessageUnavailable[] = "The user-defaults store is not available";

[[noreturn]] void throwStorageError(const std::string& error) {
  throw ChannelError::errorWithCode(kErrorStorage, error, ChannelValue());
}

platform::UserDefaults& service(const std::shared_ptr<platform::UserDefaults>& defaults) {
  if (!defaults) throw ChannelError::errorWithCode(kErrorUnavailable, kMessageUnavailable);
  return *defaults;
}

// Opens the store of the options; "Argument Error" when the suite is refused.
std::shared_ptr<platform::UserDefaultsStore> openStore(
    const std::shared_ptr<platform::UserDefaults>& defaults,
    const std::optional<std::string>& suiteName) {
  auto store = service(defaults).openSuite(suiteName);
  if (!store) {
    throw ChannelError::errorWithCode(
        kErrorArgument, kMessageSuitePrefix + suiteName.value_or("") + kMessageSuiteSuffix,
        ChannelValue(""));
  }
  return store;
}

// The property-list value of a channel value; nullopt, with `why` set, for
// one the store cannot hold.
std::optional<DefaultsValue> toDefaults(const ChannelValue& value, std::string& why) {
  if (const auto* b = value.getIf<bool>()) return DefaultsValue{*b};
  if (auto i = value.asInteger()) return DefaultsValue{*i};
  if (const auto* d = value.getIf<double>()) return DefaultsValue{*d};
  if (const auto* s = value.asString()) return DefaultsValue{*s};
  if (const auto* bytes = value.asBytes()) return DefaultsValue{platform::DefaultsData(*bytes)};
  if (const auto* list = value.asList()) {
    DefaultsArray array;
    array.reserve(list->size());
    for (const auto& element : *list) {
      auto converted = toDefaults(element, why);
      if (!converted) return std::nullopt;
      array.push_back(std::move(*converted));
    }
    return DefaultsValue{std::move(array)};
  }
  if (const auto* map = value.asMap()) {
    DefaultsDictionary dict;
    for (const auto& [key, element] : *map) {
      const auto* name = key.asString();
      if (name == nullptr) {
        why = "a map key that is not a string";
        return std::nullopt;
      }
      auto converted = toDefaults(element, why);
      if (!converted) return std::nullopt;
      dict.insert_or_assign(*name, std::move(*converted));
    }
    return DefaultsValue{std::move(dict)};
  }
  if (value.isNull()) {
    why = "null";
  } else if (value.is<FlutterStandardTypedData>()) {
    why = "a typed list other than bytes";
  } else {
    why = "a record";
  }
  return std::nullopt;
}

// Writes `value` under `key`; nothing is written when the store cannot hold it.
void store(platform::UserDefaultsStore& defaults, const std::string& key,
           const ChannelValue& value) {
  std::string why;
  auto converted = toDefaults(value, why);
  if (!converted) {
    pigeon::throwInvalidArgs("The value for key '" + key + "' cannot be stored: " + why);
  }
  std::string error;
  if (!defaults.setObject(key, *converted, error)) throwStorageError(error);
}

void removeKeys(platform::UserDefaultsStore& defaults, const std::vector<std::string>& keys) {
  std::string error;
  if (!keys.empty() && !defaults.removeObjectsForKeys(keys, error)) throwStorageError(error);
}

// The channel value of a compatible value (bool, number, string, or a list
// of compatible values), or nullopt.
std::optional<ChannelValue> compatible(const DefaultsValue& value) {
  if (const auto* b = value.getIf<bool>()) return ChannelValue(*b);
  if (const auto* i = value.getIf<int64_t>()) return ChannelValue(*i);
  if (const auto* d = value.getIf<double>()) return ChannelValue(*d);
  if (const auto* s = value.getIf<std::string>()) return ChannelValue(*s);
  if (const auto* array = value.getIf<DefaultsArray>()) {
    ChannelList list;
    list.reserve(array->size());
    for (const auto& element : *array) {
      auto converted = compatible(element);
      if (!converted) return std::nullopt;
      list.push_back(std::move(*converted));
    }
    return ChannelValue(std::move(list));
  }
  return std::nullopt;
}

// The reading shared by both interfaces: the stored values of the domain
// (the suite, else the application's), restricted to the allow list and to
// compatible values.
ChannelMap readAll(const std::shared_ptr<platform::UserDefaults>& defaults,
                   const std::shared_ptr<platform::Bundle>& bundle,
                   const std::optional<StringList>& allowList,
                   const std::optional<std::string>& suiteName) {
  std::optional<std::string> domain = suiteName;
  if (!domain && bundle) domain = bundle->bundleIdentifier();
  if (!domain) return {};
  auto store = openStore(defaults, suiteName);
  auto stored = store->persistentDomainForName(*domain);
  if (!stored) return {};
  std::optional<std::set<std::string>> allowed;
  if (allowList) allowed.emplace(allowList->begin(), allowList->end());
  ChannelMap result;
  for (const auto& [key, value] : *stored) {
    if (allowed && !allowed->contains(key)) continue;
    if (auto converted = compatible(value)) result.append(ChannelValue(key), std::move(*converted));
  }
  return result;
}

}  // namespace

void SharedPreferencesPlugin::registerWithRegistrar(FlutterPluginRegistrar& registrar) {
  const auto& services = registrar.platform();
  auto instance = std::make_shared<SharedPreferencesPlugin>(services.userDefaults, services.bundle);
  shared_preferences::UserDefaultsApiSetup(registrar.messenger(), instance);
  auto legacy =
      std::make_shared<LegacySharedPreferencesPlugin>(services.userDefaults, services.bundle);
  shared_preferences::LegacyUserDefaultsApiSetup(registrar.messenger(), legacy);
}

SharedPreferencesPlugin::SharedPreferencesPlugin(std::shared_ptr<platform::UserDefaults> defaults,
                                                 std::shared_ptr<platform::Bundle> bundle)
    : defaults_(std::move(defaults)), bundle_(std::move(bundle)) {}

void SharedPreferencesPlugin::set(const std::string& key, const ChannelValue& value,
                                  const SharedPreferencesPigeonOptions& options) {
  store(*openStore(defaults_, options.suiteName()), key, value);
}

void SharedPreferencesPlugin::clear(const std::optional<StringList>& allowList,
                                    const SharedPreferencesPigeonOptions& options) {
  auto defaults = openStore(defaults_, options.suiteName());
  if (allowList) {
    removeKeys(*defaults, *allowList);
    return;
  }
  std::vector<std::string> keys;
  for (const auto& [key, value] : defaults->dictionaryRepresentation()) keys.push_back(key);
  removeKeys(*defaults, keys);
}

ChannelMap SharedPreferencesPlugin::getAll(const std::optional<StringList>& allowList,
                                           const SharedPreferencesPigeonOptions& options) {
  return readAll(defaults_, bundle_, allowList, options.suiteName());
}

ChannelValue SharedPreferencesPlugin::getValue(const std::string& key,
                                               const SharedPreferencesPigeonOptions& options) {
  auto value = openStore(defaults_, options.suiteName())->objectForKey(key);
  if (!value) return {};
  return compatible(*value).value_or(ChannelValue());
}

StringList SharedPreferencesPlugin::getKeys(const std::optional<StringList>& allowList,
                                            const SharedPreferencesPigeonOptions& options) {
  StringList keys;
  for (const auto& [key, value] : getAll(allowList, options)) keys.push_back(*key.asString());
  return keys;
}

void LegacySharedPreferencesPlugin::registerWithRegistrar(FlutterPluginRegistrar& registrar) {
  const auto& services = registrar.platform();
  auto instance =
      std::make_shared<LegacySharedPreferencesPlugin>(services.userDefaults, services.bundle);
  shared_preferences::LegacyUserDefaultsApiSetup(registrar.messenger(), instance);
}

LegacySharedPreferencesPlugin::LegacySharedPreferencesPlugin(
    std::shared_ptr<platform::UserDefaults> defaults, std::shared_ptr<platform::Bundle> bundle)
    : defaults_(std::move(defaults)), bundle_(std::move(bundle)) {}

void LegacySharedPreferencesPlugin::remove(const std::string& key) {
  removeKeys(*openStore(defaults_, std::nullopt), {key});
}

void LegacySharedPreferencesPlugin::setBool(const std::string& key, bool value) {
  store(*openStore(defaults_, std::nullopt), key, ChannelValue(value));
}

void LegacySharedPreferencesPlugin::setDouble(const std::string& key, double value) {
  store(*openStore(defaults_, std::nullopt), key, ChannelValue(value));
}

void LegacySharedPreferencesPlugin::setValue(const std::string& key, const ChannelValue& value) {
  store(*openStore(defaults_, std::nullopt), key, value);
}

ChannelMap LegacySharedPreferencesPlugin::getAll(const std::string& prefix,
                                                 const std::optional<StringList>& allowList) {
  ChannelMap result;
  for (const auto& [key, value] : readAll(defaults_, bundle_, allowList, std::nullopt)) {
    if (key.asString()->starts_with(prefix)) result.append(key, value);
  }
  return result;
}

bool LegacySharedPreferencesPlugin::clear(const std::string& prefix,
                                          const std::optional<StringList>& allowList) {
  std::vector<std::string> keys;
  for (const auto& [key, value] : getAll(prefix, allowList)) keys.push_back(*key.asString());
  removeKeys(*openStore(defaults_, std::nullopt), keys);
  return true;
}

}  // namespace vellumark
