// Control of the application's windows, the application's activation and its
// dock tile, for the window manager plugin. Frames are in the platform's
// screen coordinates with a bottom-left origin, y growing upwards, whose
// origin is the bottom-left corner of the primary screen (screens.h).
// Everything here is main-thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/app_shell.h"

namespace vellumark::platform {

// Style-mask bits, with AppKit's values so masks read the same everywhere.
namespace window_style {
inline constexpr uint64_t kTitled = 1;
inline constexpr uint64_t kClosable = 2;
inline constexpr uint64_t kMiniaturizable = 4;
inline constexpr uint64_t kResizable = 8;
inline constexpr uint64_t kNonactivatingPanel = 128;
inline constexpr uint64_t kFullScreen = 1u << 14;
inline constexpr uint64_t kFullSizeContentView = 1u << 15;
}  // namespace window_style

namespace window_level {
inline constexpr int kNormal = 0;
inline constexpr int kFloating = 3;
}  // namespace window_level

namespace collection_behavior {
inline constexpr uint64_t kCanJoinAllSpaces = 1;
inline constexpr uint64_t kFullScreenAuxiliary = 256;
}  // namespace collection_behavior

enum class ActivationPolicy { kRegular = 0, kAccessory = 1 };
enum class TitleVisibility { kVisible = 0, kHidden = 1 };
enum class WindowButton { kClose = 0, kMiniaturize = 1, kZoom = 2 };
enum class Appearance { kVibrantDark, kVibrantLight };

struct Size {
  double width = 0;
  double height = 0;
  bool operator==(const Size&) const = default;
};

// What a window tells the object managing it, and the two questions it asks.
// Defaults are the platform's own behaviour.
class WindowDelegate {
 public:
  virtual ~WindowDelegate() = default;
  // The close button or performClose(); false keeps the window open.
  virtual bool windowShouldClose() { return true; }
  // A zoom (maximize or restore) was asked for; false refuses it.
  virtual bool windowShouldZoom() { return true; }
  virtual void windowDidResize() {}
  // The last size change of a live resize, once changes have stopped.
  virtual void windowDidEndLiveResize() {}
  virtual void windowWillMove() {}
  virtual void windowDidMove() {}
  virtual void windowDidBecomeKey() {}
  virtual void windowDidResignKey() {}
  virtual void windowDidBecomeMain() {}
  virtual void windowDidResignMain() {}
  virtual void windowDidMiniaturize() {}
  virtual void windowDidDeminiaturize() {}
  virtual void windowDidEnterFullScreen() {}
  virtual void windowDidExitFullScreen() {}
};

// One window. Every query reads the window afresh; nothing is cached above.
class WindowControl {
 public:
  virtual ~WindowControl() = default;

  // Held weakly: the window never keeps its delegate alive.
  virtual void setDelegate(std::weak_ptr<WindowDelegate> delegate) = 0;
  // A utility panel rather than a standard window.
  virtual bool isPanel() const = 0;
  // The window system's number of the window (the X window id on X11); 0
  // while it has none.
  virtual int64_t windowNumber() const = 0;

  // Frame, title bar included.
  virtual Rect frame() const = 0;
  virtual void setFrame(Rect frame, bool display, bool animate) = 0;
  // The part of `frame` left to the content (the frame less its title bar
  // and borders), for this window's style.
  virtual Rect contentRectForFrameRect(Rect frame) const = 0;
  virtual void setMinSize(Size size) = 0;
  virtual void setMaxSize(Size size) = 0;
  virtual void setResizeIncrements(Size increments) = 0;
  // Width to height; a zero size sets no ratio.
  virtual void setAspectRatio(Size ratio) = 0;
  virtual void setContentAspectRatio(Size ratio) = 0;

  virtual uint64_t styleMask() const = 0;
  virtual void setStyleMask(uint64_t mask) = 0;
  virtual int level() const = 0;
  virtual void setLevel(int level) = 0;
  virtual uint64_t collectionBehavior() const = 0;
  virtual void setCollectionBehavior(uint64_t behavior) = 0;
  virtual bool isMovable() const = 0;
  virtual void setMovable(bool movable) = 0;

  virtual bool isZoomed() const = 0;
  // Toggles between zoomed and not, asking the delegate first.
  virtual void zoom() = 0;
  virtual bool isMiniaturized() const = 0;
  virtual void miniaturize() = 0;
  virtual void deminiaturize() = 0;
  // Enters or leaves full screen, whichever the window is not in.
  virtual void toggleFullScreen() = 0;

  virtual bool isKeyWindow() const = 0;
  virtual void makeKeyAndOrderFront() = 0;
  virtual void orderBack() = 0;
  virtual void orderOut() = 0;
  virtual bool isVisible() const = 0;
  virtual void setIsVisible(bool visible) = 0;
  // Asks the delegate, then closes the window if it agrees.
  virtual void performClose() = 0;
  // Starts moving the window with the pointer when a button is held down on
  // it (the current event); does nothing otherwise.
  virtual void performWindowDragWithCurrentEvent() = 0;

  virtual std::string title() const = 0;
  virtual void setTitle(const std::string& title) = 0;
  virtual TitleVisibility titleVisibility() const = 0;
  virtual void setTitleVisibility(TitleVisibility visibility) = 0;
  virtual bool titlebarAppearsTransparent() const = 0;
  virtual void setTitlebarAppearsTransparent(bool transparent) = 0;
  // The bar holding the title and the standard buttons.
  virtual bool isTitlebarContainerHidden() const = 0;
  virtual void setTitlebarContainerHidden(bool hidden) = 0;
  virtual bool isButtonHidden(WindowButton button) const = 0;
  virtual void setButtonHidden(WindowButton button, bool hidden) = 0;

  virtual void setBackgroundColor(Color color) = 0;
  virtual bool isOpaque() const = 0;
  virtual void setOpaque(bool opaque) = 0;
  virtual double alphaValue() const = 0;
  virtual void setAlphaValue(double alpha) = 0;
  virtual bool hasShadow() const = 0;
  virtual void setHasShadow(bool shadow) = 0;
  virtual void invalidateShadow() = 0;
  virtual void setAppearance(Appearance appearance) = 0;
  virtual bool ignoresMouseEvents() const = 0;
  virtual void setIgnoresMouseEvents(bool ignore) = 0;
  virtual bool acceptsMouseMovedEvents() const = 0;
  virtual void setAcceptsMouseMovedEvents(bool accept) = 0;
};

// The bar a dock tile shows over the application's icon.
struct DockProgress {
  bool hidden = false;
  bool indeterminate = false;
  double minValue = 0;
  double maxValue = 1;
  double value = 0;
  bool operator==(const DockProgress&) const = default;
};

// The application's tile in the dock, taskbar or panel.
class DockTile {
 public:
  virtual ~DockTile() = default;
  virtual std::string badgeLabel() const = 0;
  virtual void setBadgeLabel(const std::string& label) = 0;
  // Null until a progress bar was installed.
  virtual DockProgress* progressBar() = 0;
  // Installs a determinate bar from 0 to 1 at 0, shown; replaces any other.
  virtual DockProgress& installProgressBar() = 0;
  // Shows the tile as it now is (the bar's changes included).
  virtual void display() = 0;
};

// The application's windows, activation and dock tile.
class WindowSystem {
 public:
  virtual ~WindowSystem() = default;
  // The window showing `view`, or null when it is in none (yet).
  virtual std::shared_ptr<WindowControl> windowForView(View& view) = 0;
  // Ends the application as its quit command does.
  virtual void terminate() = 0;
  virtual void activate(bool ignoringOtherApps) = 0;
  virtual ActivationPolicy activationPolicy() const = 0;
  virtual void setActivationPolicy(ActivationPolicy policy) = 0;
  virtual DockTile& dockTile() = 0;
};

}  // namespace vellumark::platform
