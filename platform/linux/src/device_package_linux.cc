#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "device_files.h"
#include "platform_linux/device.h"

namespace vellumark::linux_platform {
namespace {

constexpr char kDocumentsVariable[] = "XDG_DOCUMENTS_DIR";
constexpr char kUserDirsFile[] = "/user-dirs.dirs";
constexpr char kDefaultDocuments[] = "/Documents";

std::string homeDirectory() {
  if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') return home;
  if (const passwd* entry = ::getpwuid(::getuid()); entry != nullptr && entry->pw_dir != nullptr) {
    return entry->pw_dir;
  }
  return "/";
}

// xdg-user-dirs writes "$HOME/Folder" or an absolute path.
std::optional<std::string> expandUserDir(const std::string& value, const std::string& home) {
  if (value.rfind("$HOME", 0) == 0) {
    const std::string rest = value.substr(5);
    if (!rest.empty() && rest[0] != '/') return std::nullopt;
    return home + rest;
  }
  if (!value.empty() && value[0] == '/') return value;
  return std::nullopt;
}

platform::Date toDate(const statx_timestamp& time) {
  return {static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_nsec) / 1e9};
}

std::optional<statx_timestamp> fileTime(const std::string& path, unsigned int field) {
  struct statx info {};
  if (::statx(AT_FDCWD, path.c_str(), 0, field, &info) != 0) return std::nullopt;
  // A file system without birth times leaves the bit clear.
  if ((info.stx_mask & field) == 0) return std::nullopt;
  return field == STATX_BTIME ? info.stx_btime : info.stx_mtime;
}

class LinuxPackageFacts : public platform::PackageFacts {
 public:
  bool hasEnvironmentVariable(const std::string& name) const override {
    return std::getenv(name.c_str()) != nullptr;
  }

  // $XDG_DOCUMENTS_DIR, else its entry in user-dirs.dirs, else ~/Documents.
  std::vector<std::string> documentDirectories() const override {
    const std::string home = homeDirectory();
    if (const char* set = std::getenv(kDocumentsVariable); set != nullptr) {
      if (auto dir = expandUserDir(set, home)) return {*dir};
    }
    const char* config = std::getenv("XDG_CONFIG_HOME");
    const std::string configHome =
        config != nullptr && config[0] == '/' ? std::string(config) : home + "/.config";
    if (auto content = device::readSmallFile(configHome + kUserDirsFile)) {
      auto values = device::parseAssignments(*content);
      if (auto it = values.find(kDocumentsVariable); it != values.end()) {
        if (auto dir = expandUserDir(it->second, home)) return {*dir};
      }
    }
    return {home + kDefaultDocuments};
  }

  std::optional<platform::Date> creationDate(const std::string& path) const override {
    auto time = fileTime(path, STATX_BTIME);
    if (!time) return std::nullopt;
    return toDate(*time);
  }

  std::optional<platform::Date> modificationDate(const std::string& path) const override {
    auto time = fileTime(path, STATX_MTIME);
    if (!time) return std::nullopt;
    return toDate(*time);
  }
};

}  // namespace

std::shared_ptr<platform::PackageFacts> createPackageFacts() {
  return std::make_shared<LinuxPackageFacts>();
}

}  // namespace vellumark::linux_platform
