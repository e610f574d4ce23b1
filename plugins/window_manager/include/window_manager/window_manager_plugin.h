// The window manager plugin: serves the "window_manager" channel, through
// which the UI queries and changes the main window (the window of the
// registrar's view), the application's activation and its dock tile, and
// sends the window's events back to the UI as "onEvent" calls.
//
// Choices where the UI never sends something:
// - Before "ensureInitialized" there is no managed window: commands on the
//   window change nothing and answer true; queries on it answer as for no
//   window (false, 0, "", zero bounds, opacity 1.0). "isPreventClose",
//   "isMaximizable" and their setters, "destroy", the dock tile and the
//   activation policy need no window and work at once. No event is sent.
// - "ensureInitialized" when the view is in no window changes nothing and
//   answers true; a later call tries again.
// - A setter whose argument is missing or of another type changes nothing
//   and answers true (every listed argument is required; "setBounds" takes
//   its pairs as described, "animate" is optional). Numbers may be integers
//   or doubles.
// - "getBounds" and "setBounds" with no screen take the primary screen's
//   height as 0.
// Main-thread only.
#pragma once

#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "embedding/channels.h"
#include "embedding/registrar.h"
#include "platform/screens.h"
#include "platform/task_queue.h"
#include "platform/window_control.h"

namespace vellumark {

// The managed window's delegate: turns window notifications into event names
// and answers the close and zoom questions.
class WindowManager : public platform::WindowDelegate {
 public:
  using EventCallback = std::function<void(const std::string& eventName)>;

  // Also makes this object the window's delegate.
  void setMainWindow(std::shared_ptr<platform::WindowControl> window,
                     std::weak_ptr<platform::WindowDelegate> self);
  platform::WindowControl* mainWindow() const { return mainWindow_.get(); }

  EventCallback onEvent;
  bool isPreventClose = false;
  bool isMaximizable = true;
  // The last maximized state sent in an event.
  bool isMaximized() const { return isMaximized_; }

  bool windowShouldClose() override;
  bool windowShouldZoom() override;
  void windowDidResize() override;
  void windowDidEndLiveResize() override;
  void windowWillMove() override;
  void windowDidMove() override;
  void windowDidBecomeKey() override;
  void windowDidResignKey() override;
  void windowDidBecomeMain() override;
  void windowDidResignMain() override;
  void windowDidMiniaturize() override;
  void windowDidDeminiaturize() override;
  void windowDidEnterFullScreen() override;
  void windowDidExitFullScreen() override;

 private:
  void emit(const char* eventName);

  std::shared_ptr<platform::WindowControl> mainWindow_;
  bool isMaximized_ = false;
};

class WindowManagerPlugin : public FlutterPlugin,
                            public std::enable_shared_from_this<WindowManagerPlugin> {
 public:
  // Creates the channel and the plugin; touches no window or screen.
  static void registerWithRegistrar(FlutterPluginRegistrar& registrar);

  // `view` is the registrar's view (may be null); the services' window
  // system, screens and main queue may be null too (nothing is done then).
  WindowManagerPlugin(platform::View* view, const platform::Services& services,
                      std::shared_ptr<FlutterMethodChannel> channel);

  void handleMethodCall(const MethodCall& call, MethodResult result) override;

  // The method names in the order they are matched.
  static std::span<const std::string_view> methodNames();
  const WindowManager& windowManager() const { return *windowManager_; }

 private:
  class Call;
  using Method = void (WindowManagerPlugin::*)(const Call& call);
  struct Row {
    std::string_view name;
    Method method;
  };
  static const Row kMethods[];

  void dispatch(const Call& call);
  // Runs `work` on the next turn of the main queue if the plugin is still there.
  void defer(std::function<void(WindowManagerPlugin&)> work);
  // The primary screen's frame height (0 with no screen).
  double primaryHeight() const;

  void ensureInitialized(const Call& call);
  void waitUntilReadyToShow(const Call& call);
  void getId(const Call& call);
  void setAsFrameless(const Call& call);
  void destroy(const Call& call);
  void close(const Call& call);
  void isPreventClose(const Call& call);
  void setPreventClose(const Call& call);
  void focus(const Call& call);
  void blur(const Call& call);
  void isFocused(const Call& call);
  void show(const Call& call);
  void hide(const Call& call);
  void isVisible(const Call& call);
  void isMaximized(const Call& call);
  void maximize(const Call& call);
  void unmaximize(const Call& call);
  void isMinimized(const Call& call);
  void isMaximizable(const Call& call);
  void setMaximizable(const Call& call);
  void minimize(const Call& call);
  void restore(const Call& call);
  void isDockable(const Call& call);
  void isDocked(const Call& call);
  void dock(const Call& call);
  void undock(const Call& call);
  void isFullScreen(const Call& call);
  void setFullScreen(const Call& call);
  void setAspectRatio(const Call& call);
  void setBackgroundColor(const Call& call);
  void getBounds(const Call& call);
  void setBounds(const Call& call);
  void setMinimumSize(const Call& call);
  void setMaximumSize(const Call& call);
  void isResizable(const Call& call);
  void setResizable(const Call& call);
  void isMovable(const Call& call);
  void setMovable(const Call& call);
  void isMinimizable(const Call& call);
  void setMinimizable(const Call& call);
  void isClosable(const Call& call);
  void setClosable(const Call& call);
  void isAlwaysOnTop(const Call& call);
  void setAlwaysOnTop(const Call& call);
  void getTitle(const Call& call);
  void setTitle(const Call& call);
  void setTitleBarStyle(const Call& call);
  void getTitleBarHeight(const Call& call);
  void isSkipTaskbar(const Call& call);
  void setSkipTaskbar(const Call& call);
  void setBadgeLabel(const Call& call);
  void setProgressBar(const Call& call);
  void isVisibleOnAllWorkspaces(const Call& call);
  void setVisibleOnAllWorkspaces(const Call& call);
  void hasShadow(const Call& call);
  void setHasShadow(const Call& call);
  void getOpacity(const Call& call);
  void setOpacity(const Call& call);
  void setBrightness(const Call& call);
  void setIgnoreMouseEvents(const Call& call);
  void startDragging(const Call& call);

  // Sets or clears `bit` of the managed window's style mask.
  void setStyleBit(uint64_t bit, bool on);
  bool hasStyleBit(uint64_t bit) const;

  platform::View* view_;
  std::shared_ptr<platform::WindowSystem> windows_;
  std::shared_ptr<platform::Screens> screens_;
  std::shared_ptr<platform::TaskQueue> mainQueue_;
  std::shared_ptr<FlutterMethodChannel> channel_;
  bool inited_ = false;
  std::shared_ptr<WindowManager> windowManager_ = std::make_shared<WindowManager>();
};

}  // namespace vellumark
