// What the package information needs of the system beyond the bundle
// (platform/bundle.h): the process environment, the user's document
// folders and file dates. Each call reads its source afresh.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace vellumark::platform {

// A point in time as seconds since 1970-01-01 00:00 UTC, fraction included.
struct Date {
  double timeIntervalSince1970 = 0;
  bool operator==(const Date&) const = default;
};

class PackageFacts {
 public:
  virtual ~PackageFacts() = default;

  // Whether the process environment holds a variable `name`, whatever its value.
  virtual bool hasEnvironmentVariable(const std::string& name) const = 0;
  // The user's document folders, most general first; may be empty.
  virtual std::vector<std::string> documentDirectories() const = 0;
  // The creation (birth) date of the file at `path`; nullopt when the file
  // cannot be read or its file system keeps no such date.
  virtual std::optional<Date> creationDate(const std::string& path) const = 0;
  // The modification date of the file at `path`; nullopt when it cannot be read.
  virtual std::optional<Date> modificationDate(const std::string& path) const = 0;
};

}  // namespace vellumark::platform
