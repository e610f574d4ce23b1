#include "package_info_plus/package_info_plus_plugin.h"

#include <cmath>
#include <utility>
#include <variant>

namespace vellumark {

namespace {

constexpr char kChannelName[] = "kelvarrow/package_info";
constexpr char kMethodGetAll[] = "getAll";

constexpr char kKeyAppName[] = "appName";
constexpr char kKeyPackageName[] = "packageName";
constexpr char kKeyVersion[] = "version";
constexpr char kKeyBuildNumber[] = "buildNumber";
constexpr char kKeyInstallerStore[] = "installerStore";
constexpr char kKeyInstallTime[] = "installTime";
constexpr char kKeyUpdateTime[] = "updateTime";

constexpr char kInfoDisplayName[] = "CFBundleDisplayName";
constexpr char kInfoName[] = "CFBundleName";
constexpr char kInfoShortVersion[] = "CFBundleShortVersionString";
constexpr char kInfoVersion[] = "CFBundleVersion";

constexpr char kSandboxVariable[] = "APP_SANDBOX_CONTAINER_ID";

// 2^63 as a double: milliseconds at or beyond it do not fit an int64.
constexpr double kInt64Bound = 9223372036854775808.0;

// An information value as stored; kinds the channel cannot carry as they are
// (arrays, dictionaries, dates) go as null.
ChannelValue toChannelValue(const platform::InfoValue& info) {
  return std::visit(
      [](const auto& value) -> ChannelValue {
        using T = std::decay_t<decltype(value)>;
        if constexpr (std::is_same_v<T, std::vector<uint8_t>>) {
          return ChannelValue::bytes(value);
        } else if constexpr (std::is_same_v<T, platform::InfoValue::Other>) {
          return {};
        } else {
          return ChannelValue(value);
        }
      },
      info.value);
}

ChannelValue textOrNull(const std::optional<std::string>& text) {
  return text ? ChannelValue(*text) : ChannelValue();
}

}  // namespace

void FPPPackageInfoPlusPlugin::registerWithRegistrar(FlutterPluginRegistrar& registrar) {
  auto channel = FlutterMethodChannel::methodChannelWithName(kChannelName, registrar.messenger());
  const auto& services = registrar.platform();
  auto instance =
      std::make_shared<FPPPackageInfoPlusPlugin>(services.bundle, services.packageFacts);
  registrar.addMethodCallDelegate(std::move(instance), *channel);
}

FPPPackageInfoPlusPlugin::FPPPackageInfoPlusPlugin(std::shared_ptr<platform::Bundle> bundle,
                                                   std::shared_ptr<platform::PackageFacts> facts)
    : bundle_(std::move(bundle)), facts_(std::move(facts)) {}

void FPPPackageInfoPlusPlugin::handleMethodCall(const MethodCall& call, MethodResult result) {
  if (call.method == kMethodGetAll) {
    getAll(result);
  } else {
    result.notImplemented();
  }
}

void FPPPackageInfoPlusPlugin::getAll(const MethodResult& result) const {
  result.success(packageInfo());
}

ChannelMap FPPPackageInfoPlusPlugin::packageInfo() const {
  const std::optional<std::string> installTime = getTimeMillisStringFromDate(getInstallDate());
  const std::optional<std::string> updateTime = getTimeMillisStringFromDate(getUpdateDate());

  ChannelMap map;
  // A display name of any kind wins, even one the channel carries as null.
  const std::optional<platform::InfoValue> displayName =
      bundle_ ? bundle_->objectForInfoDictionaryKey(kInfoDisplayName) : std::nullopt;
  map.append(kKeyAppName, displayName ? toChannelValue(*displayName) : infoValue(kInfoName));
  map.append(kKeyPackageName, textOrNull(bundle_ ? bundle_->bundleIdentifier() : std::nullopt));
  map.append(kKeyVersion, infoValue(kInfoShortVersion));
  map.append(kKeyBuildNumber, infoValue(kInfoVersion));
  map.append(kKeyInstallerStore, ChannelValue());
  map.append(kKeyInstallTime, textOrNull(installTime ? installTime : updateTime));
  map.append(kKeyUpdateTime, textOrNull(updateTime));
  return map;
}

ChannelValue FPPPackageInfoPlusPlugin::infoValue(const char* key) const {
  if (!bundle_) return {};
  const std::optional<platform::InfoValue> value = bundle_->objectForInfoDictionaryKey(key);
  return value ? toChannelValue(*value) : ChannelValue();
}

bool FPPPackageInfoPlusPlugin::isRunningInSandbox() const {
  return facts_ && facts_->hasEnvironmentVariable(kSandboxVariable);
}

std::optional<platform::Date> FPPPackageInfoPlusPlugin::getInstallDate() const {
  if (!isRunningInSandbox()) return std::nullopt;
  const std::vector<std::string> documents = facts_->documentDirectories();
  if (documents.empty()) return std::nullopt;
  return facts_->creationDate(documents.back());
}

std::optional<platform::Date> FPPPackageInfoPlusPlugin::getUpdateDate() const {
  if (!facts_ || !bundle_) return std::nullopt;
  return facts_->modificationDate(bundle_->bundlePath());
}

std::optional<std::string> FPPPackageInfoPlusPlugin::getTimeMillisStringFromDate(
    const std::optional<platform::Date>& date) {
  if (!date) return std::nullopt;
  const double millis = std::trunc(date->timeIntervalSince1970 * 1000.0);
  // Converting a value outside int64 (or NaN) is undefined: such a date has
  // no text rather than a made-up one.
  if (!(millis > -kInt64Bound && millis < kInt64Bound)) return std::nullopt;
  return std::to_string(static_cast<int64_t>(millis));
}

}  // namespace vellumark
