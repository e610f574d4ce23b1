// The application bundle: where it lives, its information dictionary and its
// resources. Backends read the bundle once when it is opened; every call
// here is cheap and may be made from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace vellumark::platform {

// A value of the information dictionary. A normal bundle holds strings; the
// other kinds are kept so a caller can tell "not a string" from "absent".
// Arrays, dictionaries and dates are reported as Other.
struct InfoValue {
  struct Other {
    bool operator==(const Other&) const = default;
  };
  std::variant<std::string, bool, int64_t, double, std::vector<uint8_t>, Other> value;

  const std::string* asString() const { return std::get_if<std::string>(&value); }
  bool operator==(const InfoValue&) const = default;
};

class Bundle {
 public:
  virtual ~Bundle() = default;

  // The bundle's folder.
  virtual std::string bundlePath() const = 0;
  // The folder holding the bundle's resources.
  virtual std::string resourcePath() const = 0;
  // "CFBundleIdentifier" when it is a non-empty string.
  virtual std::optional<std::string> bundleIdentifier() const = 0;
  // The information dictionary's value for `key`, or nullopt when absent.
  virtual std::optional<InfoValue> objectForInfoDictionaryKey(const std::string& key) const = 0;
  // The path of the resource file `name`.`type` (no dot when `type` is
  // empty), or nullopt when there is no such regular file.
  virtual std::optional<std::string> pathForResource(const std::string& name,
                                                     const std::string& type) const = 0;
};

}  // namespace vellumark::platform
