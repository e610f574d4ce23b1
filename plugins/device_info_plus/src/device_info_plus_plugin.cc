#include "device_info_plus/device_info_plus_plugin.h"

#include <array>
#include <functional>
#include <string>
#include <utility>

#include "model_names.h"
#include "sysctl_reader.h"

namespace vellumark {

namespace {

constexpr char kChannelName[] = "kelvarrow/device_info";
constexpr char kMethodGetDeviceInfo[] = "getDeviceInfo";

constexpr char kKeyComputerName[] = "computerName";
constexpr char kKeyHostName[] = "hostName";
constexpr char kKeyArch[] = "arch";
constexpr char kKeyModel[] = "model";
constexpr char kKeyModelName[] = "modelName";
constexpr char kKeyKernelVersion[] = "kernelVersion";
constexpr char kKeyOsRelease[] = "osRelease";
constexpr char kKeyMajorVersion[] = "majorVersion";
constexpr char kKeyMinorVersion[] = "minorVersion";
constexpr char kKeyPatchVersion[] = "patchVersion";
constexpr char kKeyActiveCpus[] = "activeCPUs";
constexpr char kKeyMemorySize[] = "memorySize";
constexpr char kKeyCpuFrequency[] = "cpuFrequency";
constexpr char kKeySystemGuid[] = "systemGUID";

constexpr char kCpuFrequencyName[] = "hw.cpufrequency";

namespace ctl = platform::sysctl;
constexpr std::array kKernOsType{ctl::kCtlKern, ctl::kKernOsType};
constexpr std::array kKernVersion{ctl::kCtlKern, ctl::kKernVersion};
constexpr std::array kKernHostName{ctl::kCtlKern, ctl::kKernHostName};
constexpr std::array kHwMachine{ctl::kCtlHw, ctl::kHwMachine};
constexpr std::array kHwModel{ctl::kCtlHw, ctl::kHwModel};
constexpr std::array kHwActiveCpu{ctl::kCtlHw, ctl::kHwActiveCpu};
constexpr std::array kHwMemSize{ctl::kCtlHw, ctl::kHwMemSize};

// The value `read` gives, or `fallback` when its source fails.
template <typename T>
T orFallback(const std::function<T()>& read, T fallback) {
  try {
    return read();
  } catch (const device_info::SysctlError&) {
    return fallback;
  }
}

}  // namespace

void DeviceInfoPlusMacosPlugin::registerWithRegistrar(FlutterPluginRegistrar& registrar) {
  auto channel = FlutterMethodChannel::methodChannelWithName(kChannelName, registrar.messenger());
  const auto& services = registrar.platform();
  auto instance =
      std::make_shared<DeviceInfoPlusMacosPlugin>(services.sysctl, services.deviceFacts);
  registrar.addMethodCallDelegate(std::move(instance), *channel);
}

DeviceInfoPlusMacosPlugin::DeviceInfoPlusMacosPlugin(std::shared_ptr<platform::Sysctl> sysctl,
                                                     std::shared_ptr<platform::DeviceFacts> facts)
    : sysctl_(std::move(sysctl)), facts_(std::move(facts)) {}

void DeviceInfoPlusMacosPlugin::handleMethodCall(const MethodCall& call, MethodResult result) {
  if (call.method == kMethodGetDeviceInfo) {
    getDeviceInfo(result);
  } else {
    result.notImplemented();
  }
}

void DeviceInfoPlusMacosPlugin::getDeviceInfo(const MethodResult& result) const {
  result.success(deviceInfo());
}

ChannelMap DeviceInfoPlusMacosPlugin::deviceInfo() const {
  const device_info::SysctlReader sysctl(sysctl_.get());
  auto text = [&](std::span<const int> path) {
    return orFallback<std::string>([&] { return sysctl.text(path); }, "");
  };

  ChannelMap map;
  // The control's host name only when the host has no name for people.
  std::optional<std::string> computerName = facts_ ? facts_->localizedHostName() : std::nullopt;
  map.append(kKeyComputerName, computerName ? *computerName : text(kKernHostName));
  map.append(kKeyHostName, text(kKernOsType));
  map.append(kKeyArch, text(kHwMachine));
  const std::string model = text(kHwModel);
  map.append(kKeyModel, model);
  map.append(kKeyModelName, std::string(device_info::modelName(model)));
  map.append(kKeyKernelVersion, text(kKernVersion));

  map.append(kKeyOsRelease, facts_ ? facts_->operatingSystemVersionString() : std::string());
  const platform::OperatingSystemVersion version =
      facts_ ? facts_->operatingSystemVersion() : platform::OperatingSystemVersion{};
  map.append(kKeyMajorVersion, version.majorVersion);
  map.append(kKeyMinorVersion, version.minorVersion);
  map.append(kKeyPatchVersion, version.patchVersion);

  map.append(kKeyActiveCpus,
             orFallback<int32_t>([&] { return sysctl.int32(kHwActiveCpu); }, int32_t{0}));
  // Unsigned on the wire as its 64-bit pattern, as the standard codec sends it.
  map.append(kKeyMemorySize, static_cast<int64_t>(orFallback<uint64_t>(
                                 [&] { return sysctl.uint64(kHwMemSize); }, uint64_t{0})));
  map.append(kKeyCpuFrequency,
             orFallback<int64_t>([&] { return sysctl.int64(sysctl.path(kCpuFrequencyName)); },
                                 int64_t{0}));

  std::optional<std::string> guid = facts_ ? facts_->platformUUID() : std::nullopt;
  map.append(kKeySystemGuid, guid ? ChannelValue(*guid) : ChannelValue());
  return map;
}

}  // namespace vellumark
