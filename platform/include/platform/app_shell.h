// The application shell: the application object and its delegate, windows,
// the UI view and views laid over it, images and the main menu. The app's
// main window is written against these; GTK backs them on Linux, fakes in
// tests. Everything here is main-thread only.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/services.h"

namespace vellumark::platform {

class DraggingDestination;

struct Color {
  double red = 0;
  double green = 0;
  double blue = 0;
  double alpha = 1;
  bool operator==(const Color&) const = default;
};

// Points. A view's frame has its origin at the bottom left of its superview;
// a window's frame is in the backend's screen coordinates, so reading it and
// setting it back leaves the window where it was.
struct Rect {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;
  bool operator==(const Rect&) const = default;
};

// A position in points, in the coordinates its user names.
struct Point {
  double x = 0;
  double y = 0;
  bool operator==(const Point&) const = default;
};

// How a view follows its superview's size changes (the bits of AppKit's
// autoresizing mask, so masks read the same on every backend).
namespace autoresizing {
inline constexpr unsigned kNotSizable = 0;
inline constexpr unsigned kMinXMargin = 1;
inline constexpr unsigned kWidthSizable = 2;
inline constexpr unsigned kMaxXMargin = 4;
inline constexpr unsigned kMinYMargin = 8;
inline constexpr unsigned kHeightSizable = 16;
inline constexpr unsigned kMaxYMargin = 32;
}  // namespace autoresizing

// A loaded image; backends attach their pixels.
class Image {
 public:
  virtual ~Image() = default;
};

// A view the app lays over the UI view (the splash and its parts).
class ShellView {
 public:
  virtual ~ShellView() = default;
  virtual Rect frame() const = 0;
  virtual void setAutoresizingMask(unsigned mask) = 0;
  virtual void setBackgroundColor(Color color) = 0;
  // Adds above the existing subviews.
  virtual void addSubview(std::shared_ptr<ShellView> subview) = 0;
  virtual double alphaValue() const = 0;
  virtual void setAlphaValue(double alpha) = 0;
  // Animates the alpha value to `alpha` over `duration`; `completion` runs on
  // the main queue once the animation ends.
  virtual void animateAlphaValue(double alpha, std::chrono::milliseconds duration,
                                 std::function<void()> completion) = 0;
  // Does nothing when the view has no superview.
  virtual void removeFromSuperview() = 0;
};

// The view the engine draws the UI into (the registrar's `view`).
class UiView : public View {
 public:
  virtual Rect bounds() const = 0;
  // Adds above the subviews the view has at that moment.
  virtual void addSubview(std::shared_ptr<ShellView> subview) = 0;
  // Drags offering one of `types` (drag_drop.h) over the whole view are told
  // to `destination`, which the view keeps from then on, in place of an
  // earlier one. False, and nothing registered, while the view is in no
  // window or the backend takes no drops.
  virtual bool registerForDraggedTypes(const std::vector<std::string>& /*types*/,
                                       std::shared_ptr<DraggingDestination> /*destination*/) {
    return false;
  }
};

class Menu;

class MenuItem {
 public:
  virtual ~MenuItem() = default;
  virtual std::string title() const = 0;
  // The shortcut's key as a one-character string, without its modifiers
  // ("," for <Primary>comma); empty when the item has no shortcut.
  virtual std::string keyEquivalent() const = 0;
  // Null when the item opens no submenu. Owned by the item.
  virtual Menu* submenu() = 0;
  // Choosing the item or pressing its shortcut performs `action` (named by
  // `selector`) from then on, in place of what the item did before.
  virtual void setAction(const std::string& selector, std::function<void()> action) = 0;
};

class Menu {
 public:
  virtual ~Menu() = default;
  virtual size_t numberOfItems() const = 0;
  // Null past the end. Owned by the menu.
  virtual MenuItem* itemAtIndex(size_t index) = 0;
};

class Window {
 public:
  virtual ~Window() = default;
  virtual Rect frame() const = 0;
  virtual void setFrame(Rect frame, bool display) = 0;
  // Makes `view` the window's content; the view must outlive the window's use of it.
  virtual void setContentView(UiView& view) = 0;
  virtual void setBackgroundColor(Color color) = 0;
  virtual void setOpaque(bool opaque) = 0;
  // The window system's identifier of the window ("0x..." for an X11
  // window), for dialogs of other programs that must stay above it; empty
  // while the window has none (not realized) or the window system has no
  // such identifiers.
  virtual std::string nativeHandle() const { return {}; }
};

// Application events, from the shell to the program.
class ApplicationDelegate {
 public:
  virtual ~ApplicationDelegate() = default;
  virtual void applicationWillFinishLaunching() {}
  virtual void applicationDidFinishLaunching() {}
  virtual void applicationOpenURLs(const std::vector<std::string>& /*urls*/) {}
  virtual void applicationWillTerminate() {}
  virtual bool applicationShouldTerminateAfterLastWindowClosed() { return false; }
  virtual bool applicationSupportsSecureRestorableState() { return false; }
};

// The program's side of a window the interface description creates. The
// shell wakes it once, right after the description is loaded.
class NibWindow {
 public:
  virtual ~NibWindow() = default;
  virtual void awakeFromNib() = 0;
};

class Application {
 public:
  virtual ~Application() = default;
  // Null when the interface description gave none.
  virtual Menu* mainMenu() = 0;
  // The image resource `name`, or null when there is none.
  virtual std::shared_ptr<Image> imageNamed(const std::string& name) = 0;
  // A new, empty UI view for an engine.
  virtual std::unique_ptr<UiView> makeUiView() = 0;
  // A plain view with the given frame, transparent until given a colour.
  virtual std::shared_ptr<ShellView> makeView(Rect frame) = 0;
  // A view showing `image` scaled proportionally up or down to fit `frame`.
  virtual std::shared_ptr<ShellView> makeImageView(std::shared_ptr<Image> image, Rect frame) = 0;
  // Tells the delegate the application will terminate, closes the windows and
  // ends the main loop; the application main then returns `status`.
  virtual void terminate(int status = 0) = 0;
};

}  // namespace vellumark::platform
