// A bundle whose information dictionary and resources a test sets.
#pragma once

#include <map>
#include <set>
#include <string>

#include "platform/bundle.h"

namespace vellumark::platform::fakes {

class FakeBundle : public Bundle {
 public:
  explicit FakeBundle(std::string path = "/fake/Vellumark") : path_(std::move(path)) {}

  std::string bundlePath() const override { return path_; }
  std::string resourcePath() const override { return path_ + "/Resources"; }
  std::optional<std::string> bundleIdentifier() const override;
  std::optional<InfoValue> objectForInfoDictionaryKey(const std::string& key) const override;
  std::optional<std::string> pathForResource(const std::string& name,
                                             const std::string& type) const override;

  std::map<std::string, InfoValue> info;
  // Resource file names ("AppIcon.png") that exist.
  std::set<std::string> resources;

 private:
  std::string path_;
};

}  // namespace vellumark::platform::fakes
