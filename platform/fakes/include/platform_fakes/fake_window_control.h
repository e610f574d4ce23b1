// In-memory windows, dock tile and window system for tests. Every property
// is a plain field a test may set or read; operations that the platform
// reports to a window's delegate (zoom, miniaturise, full screen, close) do
// so as AppKit does. Main-thread only.
#pragma once

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/window_control.h"

namespace vellumark::platform::fakes {

class FakeWindowControl : public WindowControl {
 public:
  void setDelegate(std::weak_ptr<WindowDelegate> d) override { delegate = std::move(d); }
  bool isPanel() const override { return panel; }
  int64_t windowNumber() const override { return number; }

  Rect frame() const override { return frameValue; }
  void setFrame(Rect frame, bool display, bool animate) override;
  // The frame less `titleBarHeight` at its top.
  Rect contentRectForFrameRect(Rect frame) const override;
  void setMinSize(Size size) override { minSize = size; }
  void setMaxSize(Size size) override { maxSize = size; }
  void setResizeIncrements(Size increments) override { resizeIncrements = increments; }
  void setAspectRatio(Size ratio) override { aspectRatio = ratio; }
  void setContentAspectRatio(Size ratio) override { contentAspectRatio = ratio; }

  uint64_t styleMask() const override { return style; }
  void setStyleMask(uint64_t mask) override { style = mask; }
  int level() const override { return levelValue; }
  void setLevel(int l) override { levelValue = l; }
  uint64_t collectionBehavior() const override { return behavior; }
  void setCollectionBehavior(uint64_t b) override { behavior = b; }
  bool isMovable() const override { return movable; }
  void setMovable(bool m) override { movable = m; }

  bool isZoomed() const override { return zoomed; }
  // Asks the delegate; if it agrees, toggles between `zoomedFrame` and the
  // frame before, then reports the resize.
  void zoom() override;
  bool isMiniaturized() const override { return miniaturized; }
  void miniaturize() override;
  void deminiaturize() override;
  void toggleFullScreen() override;

  bool isKeyWindow() const override { return key; }
  void makeKeyAndOrderFront() override;
  void orderBack() override { log.push_back("orderBack"); }
  void orderOut() override;
  bool isVisible() const override { return visible; }
  void setIsVisible(bool v) override;
  // Asks the delegate; if it agrees, the window closes (and is no longer visible).
  void performClose() override;
  void performWindowDragWithCurrentEvent() override { log.push_back("performWindowDrag"); }

  std::string title() const override { return titleValue; }
  void setTitle(const std::string& t) override { titleValue = t; }
  TitleVisibility titleVisibility() const override { return titleVisibilityValue; }
  void setTitleVisibility(TitleVisibility v) override { titleVisibilityValue = v; }
  bool titlebarAppearsTransparent() const override { return titlebarTransparent; }
  void setTitlebarAppearsTransparent(bool t) override { titlebarTransparent = t; }
  bool isTitlebarContainerHidden() const override { return titlebarContainerHidden; }
  void setTitlebarContainerHidden(bool h) override { titlebarContainerHidden = h; }
  bool isButtonHidden(WindowButton button) const override;
  void setButtonHidden(WindowButton button, bool hidden) override;

  void setBackgroundColor(Color color) override { backgroundColor = color; }
  bool isOpaque() const override { return opaque; }
  void setOpaque(bool o) override { opaque = o; }
  double alphaValue() const override { return alpha; }
  void setAlphaValue(double a) override { alpha = a; }
  bool hasShadow() const override { return shadow; }
  void setHasShadow(bool s) override { shadow = s; }
  void invalidateShadow() override { ++shadowInvalidations; }
  void setAppearance(Appearance a) override { appearance = a; }
  bool ignoresMouseEvents() const override { return ignoresMouse; }
  void setIgnoresMouseEvents(bool i) override { ignoresMouse = i; }
  bool acceptsMouseMovedEvents() const override { return acceptsMouseMoved; }
  void setAcceptsMouseMovedEvents(bool a) override { acceptsMouseMoved = a; }

  // The delegate while it lives, else null.
  std::shared_ptr<WindowDelegate> liveDelegate() const { return delegate.lock(); }

  std::weak_ptr<WindowDelegate> delegate;
  bool panel = false;
  int64_t number = 4711;
  Rect frameValue{100, 200, 800, 600};
  Rect zoomedFrame{0, 0, 1440, 875};
  std::optional<Rect> unzoomedFrame;
  bool lastAnimate = false;
  double titleBarHeight = 28;
  Size minSize, maxSize, resizeIncrements, aspectRatio, contentAspectRatio;
  uint64_t style = window_style::kTitled | window_style::kClosable | window_style::kMiniaturizable |
                   window_style::kResizable;
  int levelValue = window_level::kNormal;
  uint64_t behavior = 0;
  bool movable = true;
  bool zoomed = false;
  bool miniaturized = false;
  bool key = false;
  bool visible = true;
  bool closed = false;
  std::string titleValue;
  TitleVisibility titleVisibilityValue = TitleVisibility::kVisible;
  bool titlebarTransparent = false;
  bool titlebarContainerHidden = false;
  std::array<bool, 3> buttonsHidden{};
  std::optional<Color> backgroundColor;
  bool opaque = true;
  double alpha = 1.0;
  bool shadow = true;
  int shadowInvalidations = 0;
  std::optional<Appearance> appearance;
  bool ignoresMouse = false;
  bool acceptsMouseMoved = false;
  // Ordering operations, in the order they were done.
  std::vector<std::string> log;
};

class FakeDockTile : public DockTile {
 public:
  std::string badgeLabel() const override { return label; }
  void setBadgeLabel(const std::string& l) override { label = l; }
  DockProgress* progressBar() override { return bar ? &*bar : nullptr; }
  DockProgress& installProgressBar() override;
  void display() override { ++displays; }

  std::string label;
  std::optional<DockProgress> bar;
  int installs = 0;
  int displays = 0;
};

class FakeWindowSystem : public WindowSystem {
 public:
  // `window` is the window of `view` (of every view when `view` is null).
  std::shared_ptr<WindowControl> windowForView(View& view) override;
  void terminate() override { ++terminations; }
  void activate(bool ignoringOtherApps) override { activations.push_back(ignoringOtherApps); }
  ActivationPolicy activationPolicy() const override { return policy; }
  void setActivationPolicy(ActivationPolicy p) override { policy = p; }
  DockTile& dockTile() override { return tile; }

  std::shared_ptr<FakeWindowControl> window = std::make_shared<FakeWindowControl>();
  View* view = nullptr;
  int lookups = 0;
  int terminations = 0;
  std::vector<bool> activations;
  ActivationPolicy policy = ActivationPolicy::kRegular;
  FakeDockTile tile;
};

}  // namespace vellumark::platform::fakes
