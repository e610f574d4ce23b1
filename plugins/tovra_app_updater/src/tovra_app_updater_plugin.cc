#include "tovra_app_updater/tovra_app_updater_plugin.h"

#include <string>
#include <string_view>
#include <utility>

#include "sparkle_event_forwarder.h"

namespace vellumark {

namespace {

constexpr char kChannelName[] = "tovra/app_updater";
constexpr char kEventChannelName[] = "tovra/app_updater/events";

constexpr char kMethodSetConfig[] = "setConfig";
constexpr char kMethodCheckForUpdates[] = "checkForUpdates";
constexpr char kMethodSetAutomaticChecks[] = "setAutomaticChecks";

constexpr std::string_view kArgFeedUrl = "feedUrl";
constexpr std::string_view kArgPublicEdKey = "publicEdKey";
constexpr std::string_view kArgScheduledInterval = "scheduledCheckIntervalSeconds";
constexpr std::string_view kArgUserInitiated = "userInitiated";
constexpr std::string_view kArgEnabled = "enabled";
constexpr std::string_view kArgIntervalSeconds = "intervalSeconds";

constexpr char kErrorAlreadyConfigured[] = "ALREADY_CONFIGURED";
constexpr char kMessageAlreadyConfigured[] =
    "AppUpdater already configured \u2014 reconfig not supported";
constexpr char kErrorInvalidArgs[] = "INVALID_ARGS";
constexpr char kMessageFeedUrlRequired[] = "feedUrl required";
constexpr char kMessageEnabledRequired[] = "enabled required";
constexpr char kErrorNotConfigured[] = "NOT_CONFIGURED";
constexpr char kMessageNotConfigured[] = "Call setConfig first";
// Not one of the channel's designed errors: without the framework nothing
// can be configured, and answering success would hide that.
constexpr char kErrorUnavailable[] = "UPDATER_UNAVAILABLE";
constexpr char kMessageUnavailable[] = "The update framework could not be loaded";

constexpr char kPublicKeyInfoKey[] = "SUPublicEDKey";
constexpr char kLogKeyMismatch[] =
    "[TovraAppUpdater] publicEdKey mismatch between Dart and Info.plist \u2014 Sparkle uses "
    "Info.plist value";

constexpr char kEventType[] = "type";
constexpr char kEventCheckStarted[] = "checkStarted";
constexpr char kEventUserInitiated[] = "userInitiated";

// The arguments as a map whose keys are all strings; null for anything else.
const ChannelMap* stringKeyedMap(const ChannelValue& arguments) {
  const ChannelMap* map = arguments.asMap();
  if (map == nullptr) return nullptr;
  for (const auto& [key, value] : *map) {
    if (key.asString() == nullptr) return nullptr;
  }
  return map;
}

const ChannelValue* entry(const ChannelMap* map, std::string_view key) {
  return map != nullptr ? map->find(key) : nullptr;
}

// An integer or floating-point number as a double.
std::optional<double> numberValue(const ChannelValue* value) {
  if (value == nullptr) return std::nullopt;
  if (const auto* d = value->getIf<double>()) return *d;
  if (auto i = value->asInteger()) return static_cast<double>(*i);
  return std::nullopt;
}

}  // namespace

void TovraAppUpdaterPlugin::registerWithRegistrar(FlutterPluginRegistrar& registrar) {
  const auto& services = registrar.platform();
  auto instance = std::make_shared<TovraAppUpdaterPlugin>(services.updater, services.bundle,
                                                          services.systemLog, services.mainQueue);
  auto channel = FlutterMethodChannel::methodChannelWithName(kChannelName, registrar.messenger());
  registrar.addMethodCallDelegate(instance, *channel);
  auto events = FlutterEventChannel::eventChannelWithName(kEventChannelName, registrar.messenger());
  events->setStreamHandler(instance);
}

TovraAppUpdaterPlugin::TovraAppUpdaterPlugin(platform::Lazy<platform::UpdateFramework> framework,
                                             std::shared_ptr<platform::Bundle> bundle,
                                             std::shared_ptr<platform::SystemLog> systemLog,
                                             std::shared_ptr<platform::TaskQueue> mainQueue)
    : framework_(std::move(framework)),
      bundle_(std::move(bundle)),
      systemLog_(std::move(systemLog)),
      mainQueue_(std::move(mainQueue)) {}

// The controller goes before the forwarder it reports to.
TovraAppUpdaterPlugin::~TovraAppUpdaterPlugin() { updaterController.reset(); }

void TovraAppUpdaterPlugin::handleMethodCall(const MethodCall& call, MethodResult result) {
  const std::string& method = call.method;
  if (method == kMethodSetConfig) {
    setConfig(call, result);
  } else if (method == kMethodCheckForUpdates) {
    checkForUpdates(call, result);
  } else if (method == kMethodSetAutomaticChecks) {
    setAutomaticChecks(call, result);
  } else {
    result.notImplemented();
  }
}

platform::Updater* TovraAppUpdaterPlugin::updater() const {
  return updaterController ? updaterController->updater() : nullptr;
}

void TovraAppUpdaterPlugin::setConfig(const MethodCall& call, const MethodResult& result) {
  if (updaterController) {
    result.error(kErrorAlreadyConfigured, kMessageAlreadyConfigured);
    return;
  }
  const ChannelMap* arguments = stringKeyedMap(call.arguments);
  const ChannelValue* feedValue = entry(arguments, kArgFeedUrl);
  const std::string* feedUrl = feedValue != nullptr ? feedValue->asString() : nullptr;
  if (feedUrl == nullptr || feedUrl->empty()) {
    result.error(kErrorInvalidArgs, kMessageFeedUrlRequired);
    return;
  }

  // Signatures are always checked against the bundle's own key; a differing
  // key from the UI is only worth a line in the log.
  const ChannelValue* keyValue = entry(arguments, kArgPublicEdKey);
  const std::string* givenKey = keyValue != nullptr ? keyValue->asString() : nullptr;
  if (givenKey != nullptr && !givenKey->empty()) {
    std::optional<platform::InfoValue> bundleKey;
    if (bundle_) bundleKey = bundle_->objectForInfoDictionaryKey(kPublicKeyInfoKey);
    const std::string* bundleText = bundleKey ? bundleKey->asString() : nullptr;
    if ((bundleText == nullptr || *bundleText != *givenKey) && systemLog_) {
      systemLog_->log(kLogKeyMismatch);
    }
  }

  std::shared_ptr<platform::UpdateFramework> framework = framework_.get();
  if (!framework) {
    result.error(kErrorUnavailable, kMessageUnavailable);
    return;
  }
  auto newForwarder = std::make_shared<SparkleEventForwarder>(
      *feedUrl,
      [plugin = weak_from_this(), queue = mainQueue_](ChannelMap event) {
        auto task = [plugin, event = std::move(event)]() mutable {
          if (auto self = plugin.lock()) self->deliver(std::move(event));
        };
        if (queue) {
          queue->post(std::move(task));
        } else {
          task();
        }
      },
      bundle_);
  auto controller = framework->makeStandardUpdaterController(true, newForwarder);
  if (!controller) {
    result.error(kErrorUnavailable, kMessageUnavailable);
    return;
  }

  if (auto interval = numberValue(entry(arguments, kArgScheduledInterval))) {
    if (controller->updater() != nullptr) {
      controller->updater()->setUpdateCheckInterval(*interval);
    }
  }
  forwarder = std::move(newForwarder);
  updaterController = std::move(controller);
  result.success();
}

void TovraAppUpdaterPlugin::checkForUpdates(const MethodCall& call, const MethodResult& result) {
  platform::Updater* current = updater();
  if (current == nullptr) {
    result.error(kErrorNotConfigured, kMessageNotConfigured);
    return;
  }
  bool userInitiated = false;
  if (const ChannelValue* value = entry(stringKeyedMap(call.arguments), kArgUserInitiated)) {
    if (const auto* flag = value->getIf<bool>()) userInitiated = *flag;
  }
  if (forwarder) {
    forwarder->emit({{kEventType, kEventCheckStarted}, {kEventUserInitiated, userInitiated}});
  }
  if (userInitiated) {
    current->checkForUpdates();
  } else {
    current->checkForUpdatesInBackground();
  }
  result.success();
}

void TovraAppUpdaterPlugin::setAutomaticChecks(const MethodCall& call, const MethodResult& result) {
  platform::Updater* current = updater();
  if (current == nullptr) {
    result.error(kErrorNotConfigured, kMessageNotConfigured);
    return;
  }
  const ChannelMap* arguments = stringKeyedMap(call.arguments);
  const ChannelValue* enabled = entry(arguments, kArgEnabled);
  if (enabled == nullptr || !enabled->is<bool>()) {
    result.error(kErrorInvalidArgs, kMessageEnabledRequired);
    return;
  }
  current->setAutomaticallyChecksForUpdates(enabled->get<bool>());
  if (auto interval = numberValue(entry(arguments, kArgIntervalSeconds))) {
    current->setUpdateCheckInterval(*interval);
  }
  result.success();
}

std::optional<ChannelError> TovraAppUpdaterPlugin::onListenWithArguments(
    const ChannelValue& /*arguments*/, EventSink events) {
  eventSink = std::move(events);
  std::vector<ChannelMap> queued = std::exchange(pendingEvents, {});
  for (ChannelMap& event : queued) eventSink->success(ChannelValue(std::move(event)));
  return std::nullopt;
}

std::optional<ChannelError> TovraAppUpdaterPlugin::onCancelWithArguments(
    const ChannelValue& /*arguments*/) {
  eventSink.reset();
  return std::nullopt;
}

void TovraAppUpdaterPlugin::deliver(ChannelMap event) {
  if (eventSink) {
    eventSink->success(ChannelValue(std::move(event)));
  } else {
    pendingEvents.push_back(std::move(event));
  }
}

}  // namespace vellumark
