
#include <map>
#include <memory>
#include <utility>

#include "platform_linux/file_services.h"
#include "plist_file.h"

namespace vellumark::linux_platform {

namespace {

constexpr char kEntitlementsFile[] = "/Entitlements.plist";
// Entitlement files are a few kilobytes; anything this large is not one.
constexpr size_t kMaxEntitlementsSize = 1024 * 1024;

class FileTask : public platform::SecTask {
 public:
  explicit FileTask(std::map<std::string, platform::InfoValue> values)
      : values_(std::move(values)) {}
  std::optional<platform::InfoValue> copyValueForEntitlement(
      const std::string& entitlement) const override {
    auto it = values_.find(entitlement);
    if (it == values_.end()) return std::nullopt;
    return it->second;
  }

 private:
  std::map<std::string, platform::InfoValue> values_;
};

class BundleEntitlements : public platform::Entitlements {
 public:
  explicit BundleEntitlements(std::string bundlePath) : file_(bundlePath + kEntitlementsFile) {}

  // A missing file means no entitlements; one that cannot be read or parsed
  // means the task could not be had.
  std::unique_ptr<platform::SecTask> createTaskFromSelf() override {
    std::map<std::string, platform::InfoValue> values;
    std::string error;
    if (readPlistDictionary(file_, kMaxEntitlementsSize, values, error) == PlistFileRead::kFailed)
      return nullptr;
    return std::make_unique<FileTask>(std::move(values));
  }

 private:
  std::string file_;
};

}  // namespace

std::shared_ptr<platform::Entitlements> createEntitlements(std::string bundlePath) {
  return std::make_shared<BundleEntitlements>(std::move(bundlePath));
}

}  // namespace vellumark::linux_platform
