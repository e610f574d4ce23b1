#include "window_manager/window_manager_plugin.h"

#include <cmath>
#include <limits>
#include <optional>
#include <utility>

namespace vellumark {

namespace {

constexpr char kChannelName[] = "window_manager";
constexpr char kMethodOnEvent[] = "onEvent";
constexpr char kArgEventName[] = "eventName";

constexpr char kArgIsPreventClose[] = "isPreventClose";
constexpr char kArgIsMaximizable[] = "isMaximizable";
constexpr char kArgIsFullScreen[] = "isFullScreen";
constexpr char kArgAspectRatio[] = "aspectRatio";
constexpr char kArgColorA[] = "backgroundColorA";
constexpr char kArgColorR[] = "backgroundColorR";
constexpr char kArgColorG[] = "backgroundColorG";
constexpr char kArgColorB[] = "backgroundColorB";
constexpr char kArgX[] = "x";
constexpr char kArgY[] = "y";
constexpr char kArgWidth[] = "width";
constexpr char kArgHeight[] = "height";
constexpr char kArgAnimate[] = "animate";
constexpr char kArgIsResizable[] = "isResizable";
constexpr char kArgIsMovable[] = "isMovable";
constexpr char kArgIsMinimizable[] = "isMinimizable";
constexpr char kArgIsClosable[] = "isClosable";
constexpr char kArgIsAlwaysOnTop[] = "isAlwaysOnTop";
constexpr char kArgTitle[] = "title";
constexpr char kArgTitleBarStyle[] = "titleBarStyle";
constexpr char kArgWindowButtonVisibility[] = "windowButtonVisibility";
constexpr char kArgIsSkipTaskbar[] = "isSkipTaskbar";
constexpr char kArgLabel[] = "label";
constexpr char kArgProgress[] = "progress";
constexpr char kArgVisible[] = "visible";
constexpr char kArgVisibleOnFullScreen[] = "visibleOnFullScreen";
constexpr char kArgHasShadow[] = "hasShadow";
constexpr char kArgOpacity[] = "opacity";
constexpr char kArgBrightness[] = "brightness";
constexpr char kArgIgnore[] = "ignore";
constexpr char kArgForward[] = "forward";

constexpr char kTitleBarStyleHidden[] = "hidden";
constexpr char kBrightnessDark[] = "dark";

// What a window-less query answers for the opacity: the platform's default.
constexpr double kNoWindowOpacity = 1.0;

using platform::WindowButton;
namespace style = platform::window_style;

// Size limits are single precision on the window. Through a volatile, so the
// optimizer keeps the rounding (GCC 12 at -O2 drops a plain float round trip
// here).
double singlePrecision(double value) {
  volatile float single = static_cast<float>(value);
  return static_cast<double>(single);
}

}  // namespace

// One call: its arguments read as a string-keyed map (anything else is an
// empty map), and its result.
class WindowManagerPlugin::Call {
 public:
  Call(const MethodCall& call, MethodResult result)
      : name(call.method), args_(call.arguments.asMap()), result_(std::move(result)) {}

  std::optional<bool> boolean(const char* key) const {
    const ChannelValue* value = find(key);
    return value != nullptr ? value->asBool() : std::nullopt;
  }
  std::optional<double> number(const char* key) const {
    const ChannelValue* value = find(key);
    if (value == nullptr) return std::nullopt;
    if (const auto* d = value->getIf<double>()) return *d;
    if (auto i = value->asInteger()) return static_cast<double>(*i);
    return std::nullopt;
  }
  std::optional<int64_t> integer(const char* key) const {
    const ChannelValue* value = find(key);
    return value != nullptr ? value->asInteger() : std::nullopt;
  }
  const std::string* string(const char* key) const {
    const ChannelValue* value = find(key);
    return value != nullptr ? value->asString() : nullptr;
  }

  void reply(const ChannelValue& value) const { result_.success(value); }
  void done() const { result_.success(true); }
  void notImplemented() const { result_.notImplemented(); }

  const std::string& name;

 private:
  const ChannelValue* find(const char* key) const {
    return args_ != nullptr ? args_->find(key) : nullptr;
  }
  const ChannelMap* args_;
  MethodResult result_;
};

const WindowManagerPlugin::Row WindowManagerPlugin::kMethods[] = {
    {"ensureInitialized", &WindowManagerPlugin::ensureInitialized},
    {"waitUntilReadyToShow", &WindowManagerPlugin::waitUntilReadyToShow},
    {"getId", &WindowManagerPlugin::getId},
    {"setAsFrameless", &WindowManagerPlugin::setAsFrameless},
    {"destroy", &WindowManagerPlugin::destroy},
    {"close", &WindowManagerPlugin::close},
    {"isPreventClose", &WindowManagerPlugin::isPreventClose},
    {"setPreventClose", &WindowManagerPlugin::setPreventClose},
    {"focus", &WindowManagerPlugin::focus},
    {"blur", &WindowManagerPlugin::blur},
    {"isFocused", &WindowManagerPlugin::isFocused},
    {"show", &WindowManagerPlugin::show},
    {"hide", &WindowManagerPlugin::hide},
    {"isVisible", &WindowManagerPlugin::isVisible},
    {"isMaximized", &WindowManagerPlugin::isMaximized},
    {"maximize", &WindowManagerPlugin::maximize},
    {"unmaximize", &WindowManagerPlugin::unmaximize},
    {"isMinimized", &WindowManagerPlugin::isMinimized},
    {"isMaximizable", &WindowManagerPlugin::isMaximizable},
    {"setMaximizable", &WindowManagerPlugin::setMaximizable},
    {"minimize", &WindowManagerPlugin::minimize},
    {"restore", &WindowManagerPlugin::restore},
    {"isDockable", &WindowManagerPlugin::isDockable},
    {"isDocked", &WindowManagerPlugin::isDocked},
    {"dock", &WindowManagerPlugin::dock},
    {"undock", &WindowManagerPlugin::undock},
    {"isFullScreen", &WindowManagerPlugin::isFullScreen},
    {"setFullScreen", &WindowManagerPlugin::setFullScreen},
    {"setAspectRatio", &WindowManagerPlugin::setAspectRatio},
    {"setBackgroundColor", &WindowManagerPlugin::setBackgroundColor},
    {"getBounds", &WindowManagerPlugin::getBounds},
    {"setBounds", &WindowManagerPlugin::setBounds},
    {"setMinimumSize", &WindowManagerPlugin::setMinimumSize},
    {"setMaximumSize", &WindowManagerPlugin::setMaximumSize},
    {"isResizable", &WindowManagerPlugin::isResizable},
    {"setResizable", &WindowManagerPlugin::setResizable},
    {"isMovable", &WindowManagerPlugin::isMovable},
    {"setMovable", &WindowManagerPlugin::setMovable},
    {"isMinimizable", &WindowManagerPlugin::isMinimizable},
    {"setMinimizable", &WindowManagerPlugin::setMinimizable},
    {"isClosable", &WindowManagerPlugin::isClosable},
    {"setClosable", &WindowManagerPlugin::setClosable},
    {"isAlwaysOnTop", &WindowManagerPlugin::isAlwaysOnTop},
    {"setAlwaysOnTop", &WindowManagerPlugin::setAlwaysOnTop},
    {"getTitle", &WindowManagerPlugin::getTitle},
    {"setTitle", &WindowManagerPlugin::setTitle},
    {"setTitleBarStyle", &WindowManagerPlugin::setTitleBarStyle},
    {"getTitleBarHeight", &WindowManagerPlugin::getTitleBarHeight},
    {"isSkipTaskbar", &WindowManagerPlugin::isSkipTaskbar},
    {"setSkipTaskbar", &WindowManagerPlugin::setSkipTaskbar},
    {"setBadgeLabel", &WindowManagerPlugin::setBadgeLabel},
    {"setProgressBar", &WindowManagerPlugin::setProgressBar},
    {"isVisibleOnAllWorkspaces", &WindowManagerPlugin::isVisibleOnAllWorkspaces},
    {"setVisibleOnAllWorkspaces", &WindowManagerPlugin::setVisibleOnAllWorkspaces},
    {"hasShadow", &WindowManagerPlugin::hasShadow},
    {"setHasShadow", &WindowManagerPlugin::setHasShadow},
    {"getOpacity", &WindowManagerPlugin::getOpacity},
    {"setOpacity", &WindowManagerPlugin::setOpacity},
    {"setBrightness", &WindowManagerPlugin::setBrightness},
    {"setIgnoreMouseEvents", &WindowManagerPlugin::setIgnoreMouseEvents},
    {"startDragging", &WindowManagerPlugin::startDragging},
};

std::span<const std::string_view> WindowManagerPlugin::methodNames() {
  static const auto names = [] {
    std::vector<std::string_view> out;
    for (const Row& row : kMethods) out.push_back(row.name);
    return out;
  }();
  return names;
}

void WindowManagerPlugin::registerWithRegistrar(FlutterPluginRegistrar& registrar) {
  auto channel = FlutterMethodChannel::methodChannelWithName(kChannelName, registrar.messenger());
  auto instance =
      std::make_shared<WindowManagerPlugin>(registrar.view(), registrar.platform(), channel);
  registrar.addMethodCallDelegate(instance, *channel);
}

WindowManagerPlugin::WindowManagerPlugin(platform::View* view, const platform::Services& services,
                                         std::shared_ptr<FlutterMethodChannel> channel)
    : view_(view),
      windows_(services.windows),
      screens_(services.screens),
      mainQueue_(services.mainQueue),
      channel_(std::move(channel)) {}

void WindowManagerPlugin::handleMethodCall(const MethodCall& call, MethodResult result) {
  dispatch(Call(call, std::move(result)));
}

void WindowManagerPlugin::dispatch(const Call& call) {
  for (const Row& row : kMethods) {
    if (row.name == call.name) {
      (this->*row.method)(call);
      return;
    }
  }
  call.notImplemented();
}

void WindowManagerPlugin::defer(std::function<void(WindowManagerPlugin&)> work) {
  if (!mainQueue_) return;
  mainQueue_->post([weak = weak_from_this(), work = std::move(work)] {
    if (auto self = weak.lock()) work(*self);
  });
}

double WindowManagerPlugin::primaryHeight() const {
  if (!screens_) return 0;
  const auto list = screens_->screens();
  return list.empty() ? 0 : list.front().frame.height;
}

bool WindowManagerPlugin::hasStyleBit(uint64_t bit) const {
  auto* window = windowManager_->mainWindow();
  return window != nullptr && (window->styleMask() & bit) != 0;
}

void WindowManagerPlugin::setStyleBit(uint64_t bit, bool on) {
  auto* window = windowManager_->mainWindow();
  if (window == nullptr) return;
  const uint64_t mask = window->styleMask();
  window->setStyleMask(on ? (mask | bit) : (mask & ~bit));
}

// --- Methods, in the order they are matched ----------------------------------

void WindowManagerPlugin::ensureInitialized(const Call& call) {
  if (!inited_ && view_ != nullptr && windows_) {
    if (auto window = windows_->windowForView(*view_)) {
      windowManager_->setMainWindow(std::move(window), windowManager_);
      windowManager_->onEvent =
          [channel = std::weak_ptr<FlutterMethodChannel>(channel_)](const std::string& eventName) {
            if (auto alive = channel.lock()) {
              alive->invokeMethod(kMethodOnEvent, ChannelMap{{kArgEventName, eventName}});
            }
          };
      inited_ = true;
    }
  }
  call.done();
}

void WindowManagerPlugin::waitUntilReadyToShow(const Call& call) { call.done(); }

void WindowManagerPlugin::getId(const Call& call) {
  auto* window = windowManager_->mainWindow();
  const int64_t number = window != nullptr ? window->windowNumber() : 0;
  if (number >= std::numeric_limits<int32_t>::min() &&
      number <= std::numeric_limits<int32_t>::max()) {
    call.reply(static_cast<int32_t>(number));
  } else {
    call.reply(number);
  }
}

void WindowManagerPlugin::setAsFrameless(const Call& call) {
  if (auto* window = windowManager_->mainWindow()) {
    setStyleBit(style::kFullSizeContentView, true);
    window->setTitleVisibility(platform::TitleVisibility::kHidden);
    window->setOpaque(true);
    window->setHasShadow(false);
    window->setBackgroundColor(platform::Color{0, 0, 0, 0});
    if (hasStyleBit(style::kTitled)) window->setTitlebarContainerHidden(true);
  }
  call.done();
}

void WindowManagerPlugin::destroy(const Call& call) {
  if (windows_) windows_->terminate();
  call.done();
}

void WindowManagerPlugin::close(const Call& call) {
  if (auto* window = windowManager_->mainWindow()) window->performClose();
  call.done();
}

void WindowManagerPlugin::isPreventClose(const Call& call) {
  call.reply(windowManager_->isPreventClose);
}

void WindowManagerPlugin::setPreventClose(const Call& call) {
  if (auto value = call.boolean(kArgIsPreventClose)) windowManager_->isPreventClose = *value;
  call.done();
}

void WindowManagerPlugin::focus(const Call& call) {
  if (auto* window = windowManager_->mainWindow()) {
    if (windows_) windows_->activate(false);
    window->makeKeyAndOrderFront();
  }
  call.done();
}

void WindowManagerPlugin::blur(const Call& call) {
  if (auto* window = windowManager_->mainWindow()) window->orderBack();
  call.done();
}

void WindowManagerPlugin::isFocused(const Call& call) {
  auto* window = windowManager_->mainWindow();
  call.reply(window != nullptr && window->isKeyWindow());
}

void WindowManagerPlugin::show(const Call& call) {
  if (auto* window = windowManager_->mainWindow()) {
    window->setIsVisible(true);
    defer([](WindowManagerPlugin& self) {
      if (auto* w = self.windowManager_->mainWindow()) w->makeKeyAndOrderFront();
      if (self.windows_) self.windows_->activate(true);
    });
  }
  call.done();
}

void WindowManagerPlugin::hide(const Call& call) {
  if (windowManager_->mainWindow() != nullptr) {
    defer([](WindowManagerPlugin& self) {
      if (auto* w = self.windowManager_->mainWindow()) w->orderOut();
    });
  }
  call.done();
}

void WindowManagerPlugin::isVisible(const Call& call) {
  auto* window = windowManager_->mainWindow();
  call.reply(window != nullptr && window->isVisible());
}

void WindowManagerPlugin::isMaximized(const Call& call) {
  auto* window = windowManager_->mainWindow();
  call.reply(window != nullptr && window->isZoomed());
}

void WindowManagerPlugin::maximize(const Call& call) {
  auto* window = windowManager_->mainWindow();
  if (window != nullptr && !window->isZoomed()) window->zoom();
  call.done();
}

void WindowManagerPlugin::unmaximize(const Call& call) {
  auto* window = windowManager_->mainWindow();
  if (window != nullptr && window->isZoomed()) window->zoom();
  call.done();
}

void WindowManagerPlugin::isMinimized(const Call& call) {
  auto* window = windowManager_->mainWindow();
  call.reply(window != nullptr && window->isMiniaturized());
}

void WindowManagerPlugin::isMaximizable(const Call& call) {
  call.reply(windowManager_->isMaximizable);
}

void WindowManagerPlugin::setMaximizable(const Call& call) {
  if (auto value = call.boolean(kArgIsMaximizable)) windowManager_->isMaximizable = *value;
  call.done();
}

void WindowManagerPlugin::minimize(const Call& call) {
  if (auto* window = windowManager_->mainWindow()) window->miniaturize();
  call.done();
}

void WindowManagerPlugin::restore(const Call& call) {
  if (auto* window = windowManager_->mainWindow()) window->deminiaturize();
  call.done();
}

void WindowManagerPlugin::isDockable(const Call& call) { call.reply(false); }
void WindowManagerPlugin::isDocked(const Call& call) { call.reply(int32_t{0}); }
void WindowManagerPlugin::dock(const Call& call) { call.done(); }
void WindowManagerPlugin::undock(const Call& call) { call.done(); }

void WindowManagerPlugin::isFullScreen(const Call& call) {
  call.reply(hasStyleBit(style::kFullScreen));
}

void WindowManagerPlugin::setFullScreen(const Call& call) {
  auto* window = windowManager_->mainWindow();
  const auto wish = call.boolean(kArgIsFullScreen);
  if (window != nullptr && wish && *wish != hasStyleBit(style::kFullScreen)) {
    window->toggleFullScreen();
  }
  call.done();
}

void WindowManagerPlugin::setAspectRatio(const Call& call) {
  auto* window = windowManager_->mainWindow();
  const auto ratio = call.number(kArgAspectRatio);
  if (window != nullptr && ratio) {
    // A NaN fails the comparison too.
    if (!(*ratio > 0)) {
      window->setResizeIncrements({1, 1});
      window->setAspectRatio({0, 0});
      window->setContentAspectRatio({0, 0});
    } else if (hasStyleBit(style::kFullSizeContentView)) {
      window->setAspectRatio({*ratio, 1});
    } else {
      window->setContentAspectRatio({*ratio, 1});
    }
  }
  call.done();
}

void WindowManagerPlugin::setBackgroundColor(const Call& call) {
  auto* window = windowManager_->mainWindow();
  const auto a = call.integer(kArgColorA);
  const auto r = call.integer(kArgColorR);
  const auto g = call.integer(kArgColorG);
  const auto b = call.integer(kArgColorB);
  if (window != nullptr && a && r && g && b) {
    if (*a == 0 && *r == 0 && *g == 0 && *b == 0) {
      window->setBackgroundColor(platform::Color{0, 0, 0, 0});
    } else {
      const auto unit = [](int64_t v) { return static_cast<double>(v) / 255.0; };
      window->setBackgroundColor(platform::Color{unit(*r), unit(*g), unit(*b), unit(*a)});
    }
  }
  call.done();
}

void WindowManagerPlugin::getBounds(const Call& call) {
  platform::Rect frame;
  double y = 0;
  if (auto* window = windowManager_->mainWindow()) {
    frame = window->frame();
    y = primaryHeight() - frame.y - frame.height;
  }
  call.reply(ChannelMap{
      {kArgX, frame.x}, {kArgY, y}, {kArgWidth, frame.width}, {kArgHeight, frame.height}});
}

void WindowManagerPlugin::setBounds(const Call& call) {
  auto* window = windowManager_->mainWindow();
  if (window == nullptr) {
    call.done();
    return;
  }
  const bool animate = call.boolean(kArgAnimate).value_or(false);
  platform::Rect frame = window->frame();
  const auto width = call.number(kArgWidth);
  const auto height = call.number(kArgHeight);
  if (width && height) {
    frame.y += frame.height - *height;
    frame.width = *width;
    frame.height = *height;
  }
  const auto x = call.number(kArgX);
  const auto y = call.number(kArgY);
  if (x && y) {
    frame.x = *x;
    frame.y = primaryHeight() - *y - frame.height;
  }
  window->setFrame(frame, true, animate);
  call.done();
}

void WindowManagerPlugin::setMinimumSize(const Call& call) {
  auto* window = windowManager_->mainWindow();
  const auto width = call.number(kArgWidth);
  const auto height = call.number(kArgHeight);
  if (window != nullptr && width && height) {
    window->setMinSize({singlePrecision(*width), singlePrecision(*height)});
  }
  call.done();
}

void WindowManagerPlugin::setMaximumSize(const Call& call) {
  auto* window = windowManager_->mainWindow();
  const auto width = call.number(kArgWidth);
  const auto height = call.number(kArgHeight);
  if (window != nullptr && width && height) {
    window->setMaxSize({singlePrecision(*width), singlePrecision(*height)});
  }
  call.done();
}

void WindowManagerPlugin::isResizable(const Call& call) {
  call.reply(hasStyleBit(style::kResizable));
}

void WindowManagerPlugin::setResizable(const Call& call) {
  if (auto value = call.boolean(kArgIsResizable)) setStyleBit(style::kResizable, *value);
  call.done();
}

void WindowManagerPlugin::isMovable(const Call& call) {
  auto* window = windowManager_->mainWindow();
  call.reply(window != nullptr && window->isMovable());
}

void WindowManagerPlugin::setMovable(const Call& call) {
  auto* window = windowManager_->mainWindow();
  const auto value = call.boolean(kArgIsMovable);
  if (window != nullptr && value) window->setMovable(*value);
  call.done();
}

void WindowManagerPlugin::isMinimizable(const Call& call) {
  call.reply(hasStyleBit(style::kMiniaturizable));
}

void WindowManagerPlugin::setMinimizable(const Call& call) {
  if (auto value = call.boolean(kArgIsMinimizable)) setStyleBit(style::kMiniaturizable, *value);
  call.done();
}

void WindowManagerPlugin::isClosable(const Call& call) {
  call.reply(hasStyleBit(style::kClosable));
}

void WindowManagerPlugin::setClosable(const Call& call) {
  if (auto value = call.boolean(kArgIsClosable)) setStyleBit(style::kClosable, *value);
  call.done();
}

void WindowManagerPlugin::isAlwaysOnTop(const Call& call) {
  auto* window = windowManager_->mainWindow();
  call.reply(window != nullptr && window->level() == platform::window_level::kFloating);
}

void WindowManagerPlugin::setAlwaysOnTop(const Call& call) {
  auto* window = windowManager_->mainWindow();
  const auto value = call.boolean(kArgIsAlwaysOnTop);
  if (window != nullptr && value) {
    window->setLevel(*value ? platform::window_level::kFloating : platform::window_level::kNormal);
    if (window->isPanel()) setStyleBit(style::kNonactivatingPanel, *value);
  }
  call.done();
}

void WindowManagerPlugin::getTitle(const Call& call) {
  auto* window = windowManager_->mainWindow();
  call.reply(window != nullptr ? window->title() : std::string());
}

void WindowManagerPlugin::setTitle(const Call& call) {
  auto* window = windowManager_->mainWindow();
  const std::string* title = call.string(kArgTitle);
  if (window != nullptr && title != nullptr) window->setTitle(*title);
  call.done();
}

void WindowManagerPlugin::setTitleBarStyle(const Call& call) {
  auto* window = windowManager_->mainWindow();
  const std::string* titleBarStyle = call.string(kArgTitleBarStyle);
  const auto buttonsVisible = call.boolean(kArgWindowButtonVisibility);
  if (window != nullptr && titleBarStyle != nullptr && buttonsVisible) {
    const bool hidden = *titleBarStyle == kTitleBarStyleHidden;
    window->setTitleVisibility(hidden ? platform::TitleVisibility::kHidden
                                      : platform::TitleVisibility::kVisible);
    window->setTitlebarAppearsTransparent(hidden);
    setStyleBit(style::kFullSizeContentView, hidden);
    window->setOpaque(false);
    window->setHasShadow(true);
    window->setTitlebarContainerHidden(false);
    for (WindowButton button :
         {WindowButton::kClose, WindowButton::kMiniaturize, WindowButton::kZoom}) {
      window->setButtonHidden(button, !*buttonsVisible);
    }
  }
  call.done();
}

void WindowManagerPlugin::getTitleBarHeight(const Call& call) {
  int32_t height = 0;
  if (auto* window = windowManager_->mainWindow()) {
    const platform::Rect frame = window->frame();
    const double difference = frame.height - window->contentRectForFrameRect(frame).height;
    if (std::isfinite(difference)) height = static_cast<int32_t>(std::trunc(difference));
  }
  call.reply(height);
}

void WindowManagerPlugin::isSkipTaskbar(const Call& call) {
  call.reply(windows_ != nullptr &&
             windows_->activationPolicy() == platform::ActivationPolicy::kAccessory);
}

void WindowManagerPlugin::setSkipTaskbar(const Call& call) {
  const auto value = call.boolean(kArgIsSkipTaskbar);
  if (windows_ && value) {
    windows_->setActivationPolicy(*value ? platform::ActivationPolicy::kAccessory
                                         : platform::ActivationPolicy::kRegular);
  }
  call.done();
}

void WindowManagerPlugin::setBadgeLabel(const Call& call) {
  const std::string* label = call.string(kArgLabel);
  if (windows_ && label != nullptr) windows_->dockTile().setBadgeLabel(*label);
  call.done();
}

void WindowManagerPlugin::setProgressBar(const Call& call) {
  const auto progress = call.number(kArgProgress);
  if (windows_ && progress) {
    platform::DockTile& tile = windows_->dockTile();
    platform::DockProgress* bar = tile.progressBar();
    if (bar == nullptr) bar = &tile.installProgressBar();
    const double p = *progress;
    if (p < 0) {
      bar->hidden = true;
    } else {
      bar->hidden = false;
      if (p > 1) bar->indeterminate = true;
      bar->value = p > 1 ? 1.0 : p;
    }
    tile.display();
  }
  call.done();
}

void WindowManagerPlugin::isVisibleOnAllWorkspaces(const Call& call) {
  auto* window = windowManager_->mainWindow();
  call.reply(window != nullptr && (window->collectionBehavior() &
                                   platform::collection_behavior::kCanJoinAllSpaces) != 0);
}

void WindowManagerPlugin::setVisibleOnAllWorkspaces(const Call& call) {
  auto* window = windowManager_->mainWindow();
  const auto visible = call.boolean(kArgVisible);
  const auto onFullScreen = call.boolean(kArgVisibleOnFullScreen);
  if (window != nullptr && visible && onFullScreen) {
    const auto set = [](uint64_t behavior, uint64_t bit, bool on) {
      return on ? (behavior | bit) : (behavior & ~bit);
    };
    uint64_t behavior = window->collectionBehavior();
    behavior = set(behavior, platform::collection_behavior::kCanJoinAllSpaces, *visible);
    window->setCollectionBehavior(behavior);
    behavior = set(behavior, platform::collection_behavior::kFullScreenAuxiliary, *onFullScreen);
    window->setCollectionBehavior(behavior);
  }
  call.done();
}

void WindowManagerPlugin::hasShadow(const Call& call) {
  auto* window = windowManager_->mainWindow();
  call.reply(window != nullptr && window->hasShadow());
}

void WindowManagerPlugin::setHasShadow(const Call& call) {
  auto* window = windowManager_->mainWindow();
  const auto value = call.boolean(kArgHasShadow);
  if (window != nullptr && value) {
    window->setHasShadow(*value);
    window->invalidateShadow();
  }
  call.done();
}

void WindowManagerPlugin::getOpacity(const Call& call) {
  auto* window = windowManager_->mainWindow();
  call.reply(window != nullptr ? window->alphaValue() : kNoWindowOpacity);
}

void WindowManagerPlugin::setOpacity(const Call& call) {
  auto* window = windowManager_->mainWindow();
  const auto value = call.number(kArgOpacity);
  if (window != nullptr && value) window->setAlphaValue(*value);
  call.done();
}

void WindowManagerPlugin::setBrightness(const Call& call) {
  auto* window = windowManager_->mainWindow();
  const std::string* brightness = call.string(kArgBrightness);
  if (window != nullptr && brightness != nullptr) {
    window->setAppearance(*brightness == kBrightnessDark ? platform::Appearance::kVibrantDark
                                                         : platform::Appearance::kVibrantLight);
    window->invalidateShadow();
  }
  call.done();
}

void WindowManagerPlugin::setIgnoreMouseEvents(const Call& call) {
  auto* window = windowManager_->mainWindow();
  const auto ignore = call.boolean(kArgIgnore);
  const auto forward = call.boolean(kArgForward);
  if (window != nullptr && ignore && forward) {
    window->setIgnoresMouseEvents(*ignore);
    window->setAcceptsMouseMovedEvents(*ignore && *forward);
  }
  call.done();
}

void WindowManagerPlugin::startDragging(const Call& call) {
  if (windowManager_->mainWindow() != nullptr) {
    defer([](WindowManagerPlugin& self) {
      if (auto* w = self.windowManager_->mainWindow()) w->performWindowDragWithCurrentEvent();
    });
  }
  call.done();
}

}  // namespace vellumark
