// Facts about the machine beyond the kernel's controls (platform/sysctl.h):
// the host's display name, the operating system's version and the
// hardware's identifier. Each call reads its source afresh.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace vellumark::platform {

struct OperatingSystemVersion {
  int64_t majorVersion = 0;
  int64_t minorVersion = 0;
  int64_t patchVersion = 0;
  bool operator==(const OperatingSystemVersion&) const = default;
};

class DeviceFacts {
 public:
  virtual ~DeviceFacts() = default;

  // The host's name as shown to people, or nullopt when it has none.
  virtual std::optional<std::string> localizedHostName() const = 0;
  // A readable description of the operating system's version; never fails.
  virtual std::string operatingSystemVersionString() const = 0;
  // Never fails; parts the system does not say are 0.
  virtual OperatingSystemVersion operatingSystemVersion() const = 0;
  // The hardware's identifier, or nullopt when it is not known or not text.
  virtual std::optional<std::string> platformUUID() const = 0;
};

}  // namespace vellumark::platform
