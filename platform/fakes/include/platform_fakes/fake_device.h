// Scriptable kernel controls, device facts and package facts.
#pragma once

#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/device_facts.h"
#include "platform/package_facts.h"
#include "platform/sysctl.h"

namespace vellumark::platform::fakes {

class FakeSysctl : public Sysctl {
 public:
  using Path = std::vector<int>;

  int read(const int* path, size_t length, void* buffer, size_t* size) const override;
  int nameToPath(const std::string& name, int* path, size_t* length) const override;

  // Controls and their raw answers; a path in `errors` fails with that errno.
  std::map<Path, std::vector<uint8_t>> values;
  std::map<Path, int> errors;
  std::map<std::string, Path> names;
  std::map<std::string, int> nameErrors;
  // When set, the answer grows by this many bytes between the size query and
  // the read (a value that changed meanwhile).
  size_t growAfterSizeQuery = 0;
  // Every read, size queries included.
  mutable std::vector<Path> reads;

  // A text answer with its terminating zero, as the kernel gives it.
  void setText(const Path& path, const std::string& text);
  template <typename T>
  void setValue(const Path& path, T value) {
    std::vector<uint8_t> bytes(sizeof(T));
    std::memcpy(bytes.data(), &value, sizeof(T));
    values[path] = std::move(bytes);
  }
};

class FakeDeviceFacts : public DeviceFacts {
 public:
  std::optional<std::string> localizedHostName() const override { return hostName; }
  std::string operatingSystemVersionString() const override { return versionString; }
  OperatingSystemVersion operatingSystemVersion() const override { return version; }
  std::optional<std::string> platformUUID() const override { return uuid; }

  std::optional<std::string> hostName;
  std::string versionString;
  OperatingSystemVersion version;
  std::optional<std::string> uuid;
};

class FakePackageFacts : public PackageFacts {
 public:
  bool hasEnvironmentVariable(const std::string& name) const override {
    return environment.contains(name);
  }
  std::vector<std::string> documentDirectories() const override { return documents; }
  std::optional<Date> creationDate(const std::string& path) const override;
  std::optional<Date> modificationDate(const std::string& path) const override;

  std::set<std::string> environment;
  std::vector<std::string> documents;
  std::map<std::string, Date> created;
  std::map<std::string, Date> modified;
  // Every path whose dates were asked for.
  mutable std::vector<std::string> looked;
};

}  // namespace vellumark::platform::fakes
