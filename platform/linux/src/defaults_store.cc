#include <pwd.h>
#include <unistd.h>

#include <array>
#include <cstdlib>

#include "defaults_files.h"
#include "platform_linux/user_defaults.h"

namespace vellumark::linux_platform {
namespace {

using defaults::DomainFiles;
using defaults::PlistPtr;
using platform::DefaultsDictionary;
using platform::DefaultsValue;

constexpr char kFolderName[] = "vellumark";
constexpr char kGlobalDomain[] = ".GlobalPreferences";
constexpr char kGlobalDomainAlias[] = "NSGlobalDomain";

class FileStore : public platform::UserDefaultsStore {
 public:
  FileStore(std::shared_ptr<const DomainFiles> files, std::string domain)
      : files_(std::move(files)), domain_(std::move(domain)) {}

  std::optional<DefaultsValue> objectForKey(const std::string& key) override {
    if (key.find('\0') != std::string::npos) return std::nullopt;
    for (const std::string* domain : searchList()) {
      PlistPtr root = files_->read(*domain);
      if (!root) continue;
      if (plist_t item = plist_dict_get_item(root.get(), key.c_str())) {
        if (auto value = defaults::toValue(item, 1)) return value;
      }
    }
    return std::nullopt;
  }

  bool setObject(const std::string& key, const DefaultsValue& value, std::string& error) override {
    if (key.find('\0') != std::string::npos) {
      error = "the key holds a NUL character";
      return false;
    }
    if (std::string why = defaults::unstorableReason(value); !why.empty()) {
      error = "the value cannot be stored: " + why;
      return false;
    }
    return files_->update(
        domain_,
        [&](plist_t dict) {
          plist_dict_set_item(dict, key.c_str(), defaults::toNode(value).release());
          return true;
        },
        error);
  }

  bool removeObjectForKey(const std::string& key, std::string& error) override {
    return removeObjectsForKeys({key}, error);
  }

  bool removeObjectsForKeys(const std::vector<std::string>& keys, std::string& error) override {
    return files_->update(
        domain_,
        [&](plist_t dict) {
          bool changed = false;
          for (const auto& key : keys) {
            if (key.find('\0') != std::string::npos) continue;
            if (plist_dict_get_item(dict, key.c_str()) != nullptr) {
              plist_dict_remove_item(dict, key.c_str());
              changed = true;
            }
          }
          return changed;
        },
        error);
  }

  DefaultsDictionary dictionaryRepresentation() override {
    DefaultsDictionary merged;
    for (const std::string* domain : searchList()) {
      PlistPtr root = files_->read(*domain);
      if (!root) continue;
      // map::merge keeps what is there: the opened domain wins.
      DefaultsDictionary values = defaults::toDictionary(root.get());
      merged.merge(values);
    }
    return merged;
  }

  std::optional<DefaultsDictionary> persistentDomainForName(const std::string& name) override {
    PlistPtr root = files_->read(name);
    if (!root) return std::nullopt;
    return defaults::toDictionary(root.get());
  }

 private:
  static inline const std::string kGlobal = kGlobalDomain;
  // The opened domain, then the global one.
  std::array<const std::string*, 2> searchList() const { return {&domain_, &kGlobal}; }

  std::shared_ptr<const DomainFiles> files_;
  std::string domain_;
};

class FileUserDefaults : public platform::UserDefaults {
 public:
  FileUserDefaults(std::string folder, std::string applicationDomain)
      : files_(std::make_shared<const DomainFiles>(std::move(folder))),
        applicationDomain_(std::move(applicationDomain)) {}

  std::shared_ptr<platform::UserDefaultsStore> standardUserDefaults() override {
    return std::make_shared<FileStore>(files_, applicationDomain_);
  }

  std::shared_ptr<platform::UserDefaultsStore> openSuite(
      const std::optional<std::string>& suiteName) override {
    if (!suiteName) return standardUserDefaults();
    // The global domain is not a suite: writing it would change every
    // store's merged view.
    if (*suiteName == kGlobalDomainAlias || *suiteName == kGlobalDomain ||
        !DomainFiles::canNameFile(*suiteName)) {
      return nullptr;
    }
    return std::make_shared<FileStore>(files_, *suiteName);
  }

 private:
  std::shared_ptr<const DomainFiles> files_;
  std::string applicationDomain_;
};

}  // namespace

std::string defaultUserDefaultsFolder() {
  // Relative values are invalid by the XDG rules and ignored.
  const char* config = std::getenv("XDG_CONFIG_HOME");
  if (config != nullptr && config[0] == '/') return std::string(config) + "/" + kFolderName;
  const char* home = std::getenv("HOME");
  std::string base;
  if (home != nullptr && home[0] == '/') {
    base = home;
  } else if (const passwd* pw = ::getpwuid(::getuid()); pw != nullptr && pw->pw_dir != nullptr) {
    base = pw->pw_dir;
  }
  return base + "/.config/" + kFolderName;
}

std::shared_ptr<platform::UserDefaults> makeUserDefaults(std::string folder,
                                                         std::string applicationDomain) {
  return std::make_shared<FileUserDefaults>(std::move(folder), std::move(applicationDomain));
}

}  // namespace vellumark::linux_platform
