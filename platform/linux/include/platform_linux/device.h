// Device and package facts on Linux: the kernel's controls from uname(2),
// sysconf, sysinfo, /sys/class/dmi/id and cpufreq; the pretty host name
// from /etc/machine-info; the system's version from /etc/os-release; the
// DMI product UUID; the environment, the XDG documents folder and statx
// file dates. Every call reads its source afresh; nothing is read when the
// services are made.
#pragma once

#include <memory>
#include <string>

#include "platform/device_facts.h"
#include "platform/package_facts.h"
#include "platform/sysctl.h"

namespace vellumark::linux_platform {

struct DeviceSourceOptions {
  // Prefixed to /etc, /sys and /usr/lib paths (fixture trees in tests);
  // uname, sysconf and sysinfo are always the running system's.
  std::string root;
};

std::shared_ptr<platform::Sysctl> createSysctl(DeviceSourceOptions options = {});
std::shared_ptr<platform::DeviceFacts> createDeviceFacts(DeviceSourceOptions options = {});
std::shared_ptr<platform::PackageFacts> createPackageFacts();

}  // namespace vellumark::linux_platform
