#include <fcntl.h>
#include <plist/plist.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <map>
#include <memory>
#include <utility>

#include "platform_linux/file_services.h"

namespace vellumark::linux_platform {

namespace {

constexpr char kEntitlementsFile[] = "/Entitlements.plist";
// Entitlement files are a few kilobytes; anything this large is not one.
constexpr size_t kMaxEntitlementsSize = 1024 * 1024;

struct PlistFree {
  void operator()(plist_t node) const { plist_free(node); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;
struct Free {
  void operator()(void* p) const { std::free(p); }
};

struct FdCloser {
  int fd;
  ~FdCloser() {
    if (fd >= 0) ::close(fd);
  }
};

// Strings and booleans keep their value; other kinds only say they are there.
platform::InfoValue toValue(plist_t node) {
  switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
      uint8_t b = 0;
      plist_get_bool_val(node, &b);
      return {b != 0};
    }
    case PLIST_STRING: {
      char* raw = nullptr;
      plist_get_string_val(node, &raw);
      std::unique_ptr<char, Free> text(raw);
      return {std::string(text ? text.get() : "")};
    }
    case PLIST_UINT: {
      uint64_t u = 0;
      plist_get_uint_val(node, &u);
      return {static_cast<int64_t>(u)};
    }
    default:
      return {platform::InfoValue::Other{}};
  }
}

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

  std::unique_ptr<platform::SecTask> createTaskFromSelf() override {
    std::string content;
    const int fd = ::open(file_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      if (errno == ENOENT)
        return std::make_unique<FileTask>(std::map<std::string, platform::InfoValue>{});
      return nullptr;
    }
    FdCloser closer{fd};
    char buffer[4096];
    for (;;) {
      const ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return nullptr;
      if (n == 0) break;
      content.append(buffer, static_cast<size_t>(n));
      if (content.size() > kMaxEntitlementsSize) return nullptr;
    }

    plist_t raw = nullptr;
    plist_from_memory(content.data(), static_cast<uint32_t>(content.size()), &raw);
    PlistPtr root(raw);
    if (!root || plist_get_node_type(root.get()) != PLIST_DICT) return nullptr;

    std::map<std::string, platform::InfoValue> values;
    plist_dict_iter rawIter = nullptr;
    plist_dict_new_iter(root.get(), &rawIter);
    std::unique_ptr<void, Free> iter(rawIter);
    for (;;) {
      char* rawKey = nullptr;
      plist_t value = nullptr;
      plist_dict_next_item(root.get(), rawIter, &rawKey, &value);
      std::unique_ptr<char, Free> key(rawKey);
      if (!key || value == nullptr) break;
      values.insert_or_assign(key.get(), toValue(value));
    }
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
