#include <fcntl.h>
#include <plist/plist.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>

#include "platform_linux/bundle.h"
#include "plist_file.h"

namespace vellumark::linux_platform {
namespace {

// Info.plist files are a few kilobytes; anything this large is not one.
constexpr std::uintmax_t kMaxInfoPlistSize = 4 * 1024 * 1024;

struct PlistDeleter {
  void operator()(plist_t node) const { plist_free(node); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};
template <typename T>
using MallocPtr = std::unique_ptr<T, FreeDeleter>;

std::string errnoMessage(const std::string& call, const std::string& path, int err) {
  return call + " " + path + ": " + std::strerror(err);
}

platform::InfoValue toInfoValue(plist_t node) {
  switch (plist_get_node_type(node)) {
    case PLIST_STRING: {
      char* raw = nullptr;
      plist_get_string_val(node, &raw);
      MallocPtr<char> text(raw);
      return {std::string(text ? text.get() : "")};
    }
    case PLIST_BOOLEAN: {
      uint8_t b = 0;
      plist_get_bool_val(node, &b);
      return {b != 0};
    }
    case PLIST_UINT: {
      // libplist has no signed integers: negatives are stored as their
      // two's-complement unsigned value.
      uint64_t u = 0;
      plist_get_uint_val(node, &u);
      return {static_cast<int64_t>(u)};
    }
    case PLIST_REAL: {
      double d = 0;
      plist_get_real_val(node, &d);
      return {d};
    }
    case PLIST_DATA: {
      char* raw = nullptr;
      uint64_t length = 0;
      plist_get_data_val(node, &raw, &length);
      MallocPtr<char> data(raw);
      const auto* bytes = reinterpret_cast<const uint8_t*>(data.get());
      return {std::vector<uint8_t>(bytes, bytes + (data ? length : 0))};
    }
    default:
      return {platform::InfoValue::Other{}};
  }
}

class LinuxBundle : public platform::Bundle {
 public:
  LinuxBundle(std::string path, std::map<std::string, platform::InfoValue> info)
      : path_(std::move(path)), info_(std::move(info)) {}

  std::string bundlePath() const override { return path_; }
  std::string resourcePath() const override { return path_ + "/Resources"; }

  std::optional<std::string> bundleIdentifier() const override {
    auto value = objectForInfoDictionaryKey("CFBundleIdentifier");
    const std::string* id = value ? value->asString() : nullptr;
    if (id == nullptr || id->empty()) return std::nullopt;
    return *id;
  }

  std::optional<platform::InfoValue> objectForInfoDictionaryKey(
      const std::string& key) const override {
    auto it = info_.find(key);
    if (it == info_.end()) return std::nullopt;
    return it->second;
  }

  std::optional<std::string> pathForResource(const std::string& name,
                                             const std::string& type) const override {
    // A name that climbs out of the resource folder is no resource.
    if (name.empty() || name.find('/') != std::string::npos || name == "." || name == ".." ||
        type.find('/') != std::string::npos) {
      return std::nullopt;
    }
    std::string file = resourcePath() + "/" + name;
    if (!type.empty()) file += "." + type;
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    return file;
  }

 private:
  std::string path_;
  std::map<std::string, platform::InfoValue> info_;
};

// Reads `file` whole; false with errno set when it cannot. Plain reads: a
// file stream would set up the C++ locale machinery during start-up.
bool readFile(const std::string& file, std::string& content) {
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int err = errno;
      ::close(fd);
      errno = err;
      return n == 0;
    }
    content.append(buffer, static_cast<size_t>(n));
  }
}

}  // namespace

PlistFileRead readPlistDictionary(const std::string& file, std::uintmax_t maxSize,
                                  std::map<std::string, platform::InfoValue>& values,
                                  std::string& error) {
  values.clear();
  std::error_code ec;
  const std::uintmax_t size = std::filesystem::file_size(file, ec);
  if (ec == std::errc::no_such_file_or_directory) {
    error = "reading " + file + ": " + ec.message();
    return PlistFileRead::kMissing;
  }
  if (ec) {
    error = "reading " + file + ": " + ec.message();
    return PlistFileRead::kFailed;
  }
  if (size > maxSize) {
    error = "reading " + file + ": larger than " + std::to_string(maxSize) + " bytes";
    return PlistFileRead::kFailed;
  }
  std::string content;
  if (!readFile(file, content)) {
    error = errnoMessage("reading", file, errno);
    return PlistFileRead::kFailed;
  }

  plist_t raw = nullptr;
  plist_from_memory(content.data(), static_cast<uint32_t>(content.size()), &raw);
  PlistPtr root(raw);
  if (!root || plist_get_node_type(root.get()) != PLIST_DICT) {
    error = "parsing " + file + ": not a property list holding a dictionary";
    return PlistFileRead::kFailed;
  }

  plist_dict_iter rawIter = nullptr;
  plist_dict_new_iter(root.get(), &rawIter);
  MallocPtr<void> iter(rawIter);
  for (;;) {
    char* rawKey = nullptr;
    plist_t value = nullptr;
    plist_dict_next_item(root.get(), rawIter, &rawKey, &value);
    MallocPtr<char> key(rawKey);
    if (!key || value == nullptr) break;
    values.insert_or_assign(key.get(), toInfoValue(value));
  }
  return PlistFileRead::kRead;
}

std::shared_ptr<platform::Bundle> openBundle(const std::string& path, std::string* error) {
  std::string why;
  std::map<std::string, platform::InfoValue> info;
  readPlistDictionary(path + "/Info.plist", kMaxInfoPlistSize, info, why);
  if (error != nullptr) *error = why;
  return std::make_shared<LinuxBundle>(path, std::move(info));
}

std::string bundlePathForExecutable(const std::string& executablePath) {
  std::filesystem::path exe(executablePath);
  return exe.parent_path().parent_path().string();
}

std::shared_ptr<platform::Bundle> openMainBundle(std::string* error) {
  std::error_code ec;
  const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) {
    if (error != nullptr) *error = "reading /proc/self/exe: " + ec.message();
    return std::make_shared<LinuxBundle>(std::string(),
                                         std::map<std::string, platform::InfoValue>{});
  }
  return openBundle(bundlePathForExecutable(exe.string()), error);
}

}  // namespace vellumark::linux_platform
