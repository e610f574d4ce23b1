#include <dirent.h>
#include <sys/sysinfo.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "device_files.h"
#include "platform_linux/device.h"

namespace vellumark::linux_platform {
namespace {

namespace ctl = platform::sysctl;

constexpr char kDmiProductName[] = "/sys/class/dmi/id/product_name";
constexpr char kDmiProductUuid[] = "/sys/class/dmi/id/product_uuid";
constexpr char kCpuFolder[] = "/sys/devices/system/cpu";
constexpr char kMaxFrequencyFile[] = "/cpufreq/cpuinfo_max_freq";
constexpr char kMachineInfo[] = "/etc/machine-info";
constexpr char kOsRelease[] = "/etc/os-release";
constexpr char kOsReleaseFallback[] = "/usr/lib/os-release";

// The BSD number of the processor frequency control; the kernels that have
// it publish it only by name.
constexpr int kHwCpuFrequency = 15;

struct NamedControl {
  const char* name;
  int path[2];
};
constexpr NamedControl kNames[] = {
    {"kern.ostype", {ctl::kCtlKern, ctl::kKernOsType}},
    {"kern.version", {ctl::kCtlKern, ctl::kKernVersion}},
    {"kern.hostname", {ctl::kCtlKern, ctl::kKernHostName}},
    {"hw.machine", {ctl::kCtlHw, ctl::kHwMachine}},
    {"hw.model", {ctl::kCtlHw, ctl::kHwModel}},
    {"hw.memsize", {ctl::kCtlHw, ctl::kHwMemSize}},
    {"hw.activecpu", {ctl::kCtlHw, ctl::kHwActiveCpu}},
    {"hw.cpufrequency", {ctl::kCtlHw, kHwCpuFrequency}},
};

// An answer, or the errno that stands for its absence.
struct Answer {
  std::vector<uint8_t> bytes;
  int error = 0;
};

Answer failed(int error) { return {{}, error}; }

Answer text(const std::string& value) {
  Answer answer;
  answer.bytes.assign(value.begin(), value.end());
  answer.bytes.push_back(0);  // the kernel counts the terminator
  return answer;
}

template <typename T>
Answer fixed(T value) {
  Answer answer;
  answer.bytes.resize(sizeof(T));
  std::memcpy(answer.bytes.data(), &value, sizeof(T));
  return answer;
}

// A one-line sysfs file without its newline.
Answer fileLine(const std::string& path) {
  auto content = device::readSmallFile(path);
  if (!content) return failed(errno != 0 ? errno : EIO);
  return text(device::trimEnd(*content));
}

// The highest maximum frequency of any processor, in Hz.
Answer cpuFrequency(const std::string& root) {
  const std::string folder = root + kCpuFolder;
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return failed(ENOENT);
  int64_t best = 0;
  while (const dirent* entry = ::readdir(dir)) {
    const char* name = entry->d_name;
    if (std::strncmp(name, "cpu", 3) != 0 || name[3] < '0' || name[3] > '9') continue;
    auto khz = device::readSmallFile(folder + "/" + name + kMaxFrequencyFile);
    if (!khz) continue;
    char* end = nullptr;
    const long long value = std::strtoll(khz->c_str(), &end, 10);
    if (end != khz->c_str() && value > 0 && value < INT64_MAX / 1000) {
      best = std::max<int64_t>(best, value * 1000);
    }
  }
  ::closedir(dir);
  return best > 0 ? fixed<int64_t>(best) : failed(ENOENT);
}

class LinuxSysctl : public platform::Sysctl {
 public:
  explicit LinuxSysctl(std::string root) : root_(std::move(root)) {}

  int read(const int* path, size_t length, void* buffer, size_t* size) const override {
    if (path == nullptr || size == nullptr) return EINVAL;
    const Answer answer = lookUp(path, length);
    if (answer.error != 0) return answer.error;
    if (buffer != nullptr) {
      if (*size < answer.bytes.size()) return ENOMEM;
      std::memcpy(buffer, answer.bytes.data(), answer.bytes.size());
    }
    *size = answer.bytes.size();
    return 0;
  }

  int nameToPath(const std::string& name, int* path, size_t* length) const override {
    if (path == nullptr || length == nullptr) return EINVAL;
    for (const NamedControl& control : kNames) {
      if (name != control.name) continue;
      if (*length < 2) return ENOMEM;
      path[0] = control.path[0];
      path[1] = control.path[1];
      *length = 2;
      return 0;
    }
    return ENOENT;
  }

 private:
  Answer lookUp(const int* path, size_t length) const {
    if (length != 2) return failed(ENOENT);
    utsname names{};
    const bool named = ::uname(&names) == 0;
    if (path[0] == ctl::kCtlKern) {
      if (!named) return failed(errno);
      switch (path[1]) {
        case ctl::kKernOsType:
          return text(names.sysname);
        case ctl::kKernVersion:
          return text(std::string(names.sysname) + " " + names.release + " " + names.version);
        case ctl::kKernHostName:
          return text(names.nodename);
        default:
          return failed(ENOENT);
      }
    }
    if (path[0] != ctl::kCtlHw) return failed(ENOENT);
    switch (path[1]) {
      case ctl::kHwMachine:
        return named ? text(names.machine) : failed(errno);
      case ctl::kHwModel:
        return fileLine(root_ + kDmiProductName);
      case ctl::kHwMemSize: {
        struct sysinfo info {};
        if (::sysinfo(&info) != 0) return failed(errno);
        return fixed<uint64_t>(uint64_t{info.totalram} * info.mem_unit);
      }
      case ctl::kHwActiveCpu: {
        const long count = ::sysconf(_SC_NPROCESSORS_ONLN);
        if (count < 1) return failed(errno != 0 ? errno : EINVAL);
        return fixed<int32_t>(static_cast<int32_t>(count));
      }
      case kHwCpuFrequency:
        return cpuFrequency(root_);
      default:
        return failed(ENOENT);
    }
  }

  std::string root_;
};

// "22.04.1" as 22, 4, 1; parts that are missing or not numbers are 0.
platform::OperatingSystemVersion parseVersion(const std::string& text) {
  int64_t parts[3] = {0, 0, 0};
  const char* p = text.c_str();
  for (int64_t& part : parts) {
    if (*p < '0' || *p > '9') break;
    char* end = nullptr;
    part = std::strtoll(p, &end, 10);
    if (*end != '.') break;
    p = end + 1;
  }
  return {parts[0], parts[1], parts[2]};
}

class LinuxDeviceFacts : public platform::DeviceFacts {
 public:
  explicit LinuxDeviceFacts(std::string root) : root_(std::move(root)) {}

  std::optional<std::string> localizedHostName() const override {
    auto content = device::readSmallFile(root_ + kMachineInfo);
    if (!content) return std::nullopt;
    auto values = device::parseAssignments(*content);
    auto it = values.find("PRETTY_HOSTNAME");
    if (it == values.end() || it->second.empty()) return std::nullopt;
    return it->second;
  }

  std::string operatingSystemVersionString() const override {
    auto release = osRelease();
    if (auto it = release.find("PRETTY_NAME"); it != release.end() && !it->second.empty()) {
      return it->second;
    }
    std::string name = release.contains("NAME") ? release["NAME"] : "Linux";
    if (auto it = release.find("VERSION"); it != release.end() && !it->second.empty()) {
      name += " " + it->second;
    }
    return name;
  }

  platform::OperatingSystemVersion operatingSystemVersion() const override {
    auto release = osRelease();
    auto it = release.find("VERSION_ID");
    return it == release.end() ? platform::OperatingSystemVersion{} : parseVersion(it->second);
  }

  std::optional<std::string> platformUUID() const override {
    auto content = device::readSmallFile(root_ + kDmiProductUuid);
    if (!content) return std::nullopt;
    std::string uuid = device::trimEnd(*content);
    if (uuid.empty()) return std::nullopt;
    return uuid;
  }

 private:
  std::map<std::string, std::string> osRelease() const {
    auto content = device::readSmallFile(root_ + kOsRelease);
    if (!content) content = device::readSmallFile(root_ + kOsReleaseFallback);
    return content ? device::parseAssignments(*content) : std::map<std::string, std::string>{};
  }

  std::string root_;
};

}  // namespace

std::shared_ptr<platform::Sysctl> createSysctl(DeviceSourceOptions options) {
  return std::make_shared<LinuxSysctl>(std::move(options.root));
}

std::shared_ptr<platform::DeviceFacts> createDeviceFacts(DeviceSourceOptions options) {
  return std::make_shared<LinuxDeviceFacts>(std::move(options.root));
}

}  // namespace vellumark::linux_platform
