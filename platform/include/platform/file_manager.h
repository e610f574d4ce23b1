// File-system facts and operations the plugins need beyond panels: the
// user's folders, directory flags, directory creation and the local time.
// Any thread.
#pragma once

#include <optional>
#include <string>

namespace vellumark::platform {

// A moment in the system's current time zone.
struct LocalDateTime {
  int year = 1970;
  int month = 1;  // 1..12
  int day = 1;    // 1..31
  int hour = 0;
  int minute = 0;
  int second = 0;
  int millisecond = 0;
  bool operator==(const LocalDateTime&) const = default;
};

class FileManager {
 public:
  virtual ~FileManager() = default;
  // The current user's home folder.
  virtual std::string homeDirectory() const = 0;
  // The current user's own folder for temporary files (no other user can
  // write into it).
  virtual std::string temporaryDirectory() const = 0;
  // Whether `path` is a directory; nullopt when that cannot be read.
  virtual std::optional<bool> isDirectory(const std::string& path) const = 0;
  // Creates `path` and, when asked, its missing parents; true when it exists
  // as a directory afterwards.
  virtual bool createDirectory(const std::string& path, bool withIntermediates) = 0;
  virtual LocalDateTime now() const = 0;
};

}  // namespace vellumark::platform
