// The preferences plugin: the UI's small typed values kept in the user
// defaults, served over two interfaces at once on basic-message channels:
// UserDefaultsApi (SharedPreferencesPlugin, suites through its options) and
// the older LegacyUserDefaultsApi (LegacySharedPreferencesPlugin, always the
// application's own store, keys filtered by a prefix). Neither holds state:
// every operation opens its store anew. Main-thread only.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "embedding/registrar.h"
#include "platform/bundle.h"
#include "platform/user_defaults.h"
#include "shared_preferences_foundation/messages.h"

namespace vellumark {

class SharedPreferencesPlugin : public shared_preferences::UserDefaultsApi {
 public:
  // Creates both plugins and sets up both interfaces on the registrar's
  // messenger. Touches no file.
  static void registerWithRegistrar(FlutterPluginRegistrar& registrar);

  // A null `defaults` is a process without a store: every operation then
  // answers an error. `bundle` names the application's domain.
  SharedPreferencesPlugin(std::shared_ptr<platform::UserDefaults> defaults,
                          std::shared_ptr<platform::Bundle> bundle);

  void set(const std::string& key, const ChannelValue& value,
           const shared_preferences::SharedPreferencesPigeonOptions& options) override;
  void clear(const std::optional<shared_preferences::StringList>& allowList,
             const shared_preferences::SharedPreferencesPigeonOptions& options) override;
  ChannelMap getAll(const std::optional<shared_preferences::StringList>& allowList,
                    const shared_preferences::SharedPreferencesPigeonOptions& options) override;
  ChannelValue getValue(const std::string& key,
                        const shared_preferences::SharedPreferencesPigeonOptions& options) override;
  shared_preferences::StringList getKeys(
      const std::optional<shared_preferences::StringList>& allowList,
      const shared_preferences::SharedPreferencesPigeonOptions& options) override;

 private:
  std::shared_ptr<platform::UserDefaults> defaults_;
  std::shared_ptr<platform::Bundle> bundle_;
};

class LegacySharedPreferencesPlugin : public shared_preferences::LegacyUserDefaultsApi {
 public:
  // Sets up only LegacyUserDefaultsApi; the host's registration uses
  // SharedPreferencesPlugin's instead.
  static void registerWithRegistrar(FlutterPluginRegistrar& registrar);

  LegacySharedPreferencesPlugin(std::shared_ptr<platform::UserDefaults> defaults,
                                std::shared_ptr<platform::Bundle> bundle);

  void remove(const std::string& key) override;
  void setBool(const std::string& key, bool value) override;
  void setDouble(const std::string& key, double value) override;
  void setValue(const std::string& key, const ChannelValue& value) override;
  ChannelMap getAll(const std::string& prefix,
                    const std::optional<shared_preferences::StringList>& allowList) override;
  bool clear(const std::string& prefix,
             const std::optional<shared_preferences::StringList>& allowList) override;

 private:
  std::shared_ptr<platform::UserDefaults> defaults_;
  std::shared_ptr<platform::Bundle> bundle_;
};

}  // namespace vellumark
