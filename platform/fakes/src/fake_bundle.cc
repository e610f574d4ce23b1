#include "platform_fakes/fake_bundle.h"

namespace vellumark::platform::fakes {

std::optional<std::string> FakeBundle::bundleIdentifier() const {
  auto it = info.find("CFBundleIdentifier");
  if (it == info.end()) return std::nullopt;
  const std::string* id = it->second.asString();
  if (id == nullptr || id->empty()) return std::nullopt;
  return *id;
}

std::optional<InfoValue> FakeBundle::objectForInfoDictionaryKey(const std::string& key) const {
  auto it = info.find(key);
  if (it == info.end()) return std::nullopt;
  return it->second;
}

std::optional<std::string> FakeBundle::pathForResource(const std::string& name,
                                                       const std::string& type) const {
  const std::string file = type.empty() ? name : name + "." + type;
  if (!resources.contains(file)) return std::nullopt;
  return resourcePath() + "/" + file;
}

}  // namespace vellumark::platform::fakes
