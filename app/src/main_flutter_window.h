// The main window: embeds the engine's view, hides its first frames behind a
// splash that fades out, opens the menu channel and wires the settings item
// to it, and registers every plugin. Main-thread only.
#pragma once

#include <functional>
#include <memory>

#include "embedding/channels.h"
#include "embedding/engine.h"
#include "flutter_app_delegate.h"
#include "platform/app_shell.h"

namespace vellumark {

inline constexpr char kMenuChannelName[] = "vellumark/menu";
inline constexpr char kOpenPreferencesMethod[] = "openPreferences";
inline constexpr char kOpenPreferencesSelector[] = "openPreferences:";
inline constexpr char kSettingsKeyEquivalent[] = ",";
inline constexpr char kAppIconName[] = "AppIcon";
inline constexpr platform::Color kBackgroundColor{18.0 / 255.0, 78.0 / 255.0, 152.0 / 255.0, 1.0};
inline constexpr double kSplashIconSize = 128;
inline constexpr std::chrono::milliseconds kSplashHold{500};
inline constexpr std::chrono::milliseconds kSplashFade{300};

class MainFlutterWindow : public platform::NibWindow {
 public:
  using RegisterPlugins = std::function<void(FlutterPluginRegistry&)>;

  // `appDelegate` (may be null) hears the engine's application events from
  // its registry. `registerPlugins` defaults to RegisterGeneratedPlugins.
  // The application, window and delegate must outlive this object.
  MainFlutterWindow(platform::Application& application, platform::Window& window,
                    platform::Services services, FlutterAppDelegate* appDelegate,
                    RegisterPlugins registerPlugins = {});
  ~MainFlutterWindow() override;
  MainFlutterWindow(const MainFlutterWindow&) = delete;
  MainFlutterWindow& operator=(const MainFlutterWindow&) = delete;

  void awakeFromNib() override;
  // Sends "openPreferences" to the UI once the menu channel exists.
  void openPreferences();

  // Null until the window wakes.
  FlutterViewController* viewController() { return viewController_.get(); }
  FlutterMethodChannel* menuChannel() { return menuChannel_.get(); }
  // The splash while it is up, else null.
  platform::ShellView* splash() { return splash_.get(); }

 private:
  void wireMenu();
  std::shared_ptr<platform::ShellView> makeSplash(const platform::Rect& bounds);
  void fadeSplash();

  platform::Application& application_;
  platform::Window& window_;
  platform::Services services_;
  FlutterAppDelegate* appDelegate_;
  RegisterPlugins registerPlugins_;
  // Declared before the controller so the engine goes first.
  std::unique_ptr<platform::UiView> uiView_;
  std::unique_ptr<FlutterViewController> viewController_;
  std::shared_ptr<FlutterMethodChannel> menuChannel_;
  std::shared_ptr<platform::ShellView> splash_;
  // Deferred tasks hold this weakly: they do nothing once the window is gone.
  std::shared_ptr<MainFlutterWindow*> self_;
};

}  // namespace vellumark
