#include <glib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <ctime>
#include <mutex>
#include <string>

#include "platform_linux/file_services.h"

namespace vellumark::linux_platform {

namespace {

// Whether `path` is a real directory (not a link) that only we can enter.
bool isPrivateDirectory(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::getuid() &&
         (st.st_mode & 077) == 0;
}

class GioFileManager : public platform::FileManager {
 public:
  std::string homeDirectory() const override { return g_get_home_dir(); }

  // The system's temporary folder is shared by every user: one could plant
  // a link or read what we drop there. We use a folder of our own below it.
  std::string temporaryDirectory() const override {
    std::call_once(tmpOnce_, [this] {
      const std::string base = g_get_tmp_dir();
      std::string own = base + "/vellumark-" + std::to_string(::getuid());
      if (::mkdir(own.c_str(), 0700) != 0 && errno != EEXIST) own.clear();
      if (!own.empty() && !isPrivateDirectory(own)) own.clear();
      if (own.empty()) {
        // Someone else holds the name: a fresh folder of our own.
        GError* error = nullptr;
        gchar* made = g_dir_make_tmp("vellumark-XXXXXX", &error);
        if (made != nullptr) {
          own = made;
          g_free(made);
        } else {
          g_error_free(error);
          own = base;
        }
      }
      tmp_ = own;
    });
    return tmp_;
  }

  std::optional<bool> isDirectory(const std::string& path) const override {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return std::nullopt;
    return S_ISDIR(st.st_mode);
  }

  bool createDirectory(const std::string& path, bool withIntermediates) override {
    if (withIntermediates) return g_mkdir_with_parents(path.c_str(), 0700) == 0;
    return ::mkdir(path.c_str(), 0700) == 0 || (errno == EEXIST && isDirectory(path) == true);
  }

  platform::LocalDateTime now() const override {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    std::tm local{};
    localtime_r(&seconds, &local);
    return {local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,           local.tm_hour,
            local.tm_min,         local.tm_sec,     static_cast<int>(millis)};
  }

 private:
  mutable std::once_flag tmpOnce_;
  mutable std::string tmp_;
};

}  // namespace

std::shared_ptr<platform::FileManager> createFileManager() {
  return std::make_shared<GioFileManager>();
}

}  // namespace vellumark::linux_platform
