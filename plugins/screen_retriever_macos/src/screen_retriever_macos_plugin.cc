#include "screen_retriever_macos/screen_retriever_macos_plugin.h"

#include <string>
#include <utility>
#include <vector>

namespace vellumark {

namespace {

constexpr char kChannelName[] = "marrowdene/screen_retriever";
constexpr char kEventChannelName[] = "marrowdene/screen_retriever_event";

constexpr char kMethodGetCursorScreenPoint[] = "getCursorScreenPoint";
constexpr char kMethodGetPrimaryDisplay[] = "getPrimaryDisplay";
constexpr char kMethodGetAllDisplays[] = "getAllDisplays";

constexpr char kKeyId[] = "id";
constexpr char kKeyName[] = "name";
constexpr char kKeySize[] = "size";
constexpr char kKeyVisiblePosition[] = "visiblePosition";
constexpr char kKeyVisibleSize[] = "visibleSize";
constexpr char kKeyWidth[] = "width";
constexpr char kKeyHeight[] = "height";
constexpr char kKeyDx[] = "dx";
constexpr char kKeyDy[] = "dy";
constexpr char kKeyDisplays[] = "displays";
constexpr char kKeyType[] = "type";

constexpr char kEventDisplayAdded[] = "display-added";
constexpr char kEventDisplayRemoved[] = "display-removed";

ChannelMap sizeMap(double width, double height) {
  return ChannelMap{{kKeyWidth, width}, {kKeyHeight, height}};
}

// The top edge of the primary screen: top-left y is measured down from it.
double primaryTop(const std::vector<platform::ScreenInfo>& screens) {
  if (screens.empty()) return 0;
  const platform::Rect& frame = screens.front().frame;
  return frame.y + frame.height;
}

ChannelMap displayMap(const platform::ScreenInfo& screen, double top) {
  const platform::Rect& visible = screen.visibleFrame;
  return ChannelMap{
      {kKeyId, std::to_string(screen.screenNumber.value_or(0))},
      {kKeyName, screen.localizedName},
      {kKeySize, sizeMap(screen.frame.width, screen.frame.height)},
      {kKeyVisiblePosition,
       ChannelMap{{kKeyDx, visible.x}, {kKeyDy, top - visible.y - visible.height}}},
      {kKeyVisibleSize, sizeMap(visible.width, visible.height)},
  };
}

}  // namespace

void ScreenRetrieverMacosPlugin::registerWithRegistrar(FlutterPluginRegistrar& registrar) {
  auto channel = FlutterMethodChannel::methodChannelWithName(kChannelName, registrar.messenger());
  auto instance = std::make_shared<ScreenRetrieverMacosPlugin>(registrar.platform().screens);
  registrar.addMethodCallDelegate(instance, *channel);
  auto events = FlutterEventChannel::eventChannelWithName(kEventChannelName, registrar.messenger());
  events->setStreamHandler(instance);
  instance->externalDisplayCount_ = instance->screenCount();
  if (instance->screens_) {
    instance->observation_ = instance->screens_->observeScreenParameters(
        [weak = std::weak_ptr<ScreenRetrieverMacosPlugin>(instance)] {
          if (auto self = weak.lock()) self->screenParametersDidChange();
        });
  }
}

ScreenRetrieverMacosPlugin::ScreenRetrieverMacosPlugin(std::shared_ptr<platform::Screens> screens)
    : screens_(std::move(screens)) {}

void ScreenRetrieverMacosPlugin::handleMethodCall(const MethodCall& call, MethodResult result) {
  if (call.method == kMethodGetCursorScreenPoint) {
    getCursorScreenPoint(result);
  } else if (call.method == kMethodGetPrimaryDisplay) {
    getPrimaryDisplay(result);
  } else if (call.method == kMethodGetAllDisplays) {
    getAllDisplays(result);
  } else {
    result.notImplemented();
  }
}

void ScreenRetrieverMacosPlugin::getCursorScreenPoint(const MethodResult& result) {
  platform::Point mouse;
  double top = 0;
  if (screens_) {
    mouse = screens_->mouseLocation();
    top = primaryTop(screens_->screens());
  }
  result.success(ChannelMap{{kKeyDx, mouse.x}, {kKeyDy, top - mouse.y}});
}

void ScreenRetrieverMacosPlugin::getPrimaryDisplay(const MethodResult& result) {
  std::vector<platform::ScreenInfo> screens;
  if (screens_) screens = screens_->screens();
  if (screens.empty()) {
    result.success(displayMap(platform::ScreenInfo{}, 0));
    return;
  }
  result.success(displayMap(screens.front(), primaryTop(screens)));
}

void ScreenRetrieverMacosPlugin::getAllDisplays(const MethodResult& result) {
  std::vector<platform::ScreenInfo> screens;
  if (screens_) screens = screens_->screens();
  const double top = primaryTop(screens);
  ChannelList displays;
  displays.reserve(screens.size());
  for (const auto& screen : screens) displays.emplace_back(displayMap(screen, top));
  result.success(ChannelMap{{kKeyDisplays, std::move(displays)}});
}

std::optional<ChannelError> ScreenRetrieverMacosPlugin::onListenWithArguments(
    const ChannelValue& /*arguments*/, EventSink events) {
  eventSink_ = std::move(events);
  return std::nullopt;
}

std::optional<ChannelError> ScreenRetrieverMacosPlugin::onCancelWithArguments(
    const ChannelValue& /*arguments*/) {
  eventSink_.reset();
  return std::nullopt;
}

void ScreenRetrieverMacosPlugin::screenParametersDidChange() {
  const int64_t count = screenCount();
  const int64_t old = externalDisplayCount_;
  if (eventSink_ && count != old) {
    (*eventSink_)(ChannelMap{{kKeyType, count > old ? kEventDisplayAdded : kEventDisplayRemoved}});
  }
  externalDisplayCount_ = count;
}

int64_t ScreenRetrieverMacosPlugin::screenCount() const {
  return screens_ ? static_cast<int64_t>(screens_->screenCount()) : 0;
}

}  // namespace vellumark
