#include "application_main.h"

#include <glib.h>

#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

#include "app_delegate.h"
#include "embedding/bridge_protocol.h"
#include "embedding_glib/main_queue.h"
#include "embedding_glib/ui_bridge.h"
#include "lazy_token_service.h"
#include "main_flutter_window.h"
#include "platform_linux/bundle.h"
#include "platform_linux/gtk_app_shell.h"
#include "signal_quit.h"
#include "token_module.h"

namespace vellumark {

namespace {

// stdio rather than iostreams: std::cerr would set up the C++ locale
// machinery at start-up for a line that is rarely printed.
void logError(const std::string& line) { std::fprintf(stderr, "vellumark: %s\n", line.c_str()); }

// Bounds the delivery of work left on the main context after the main loop
// ended: each pass dispatches what is ready, never waits.
constexpr int kMaxTearDownPasses = 100;

// The main window's native handle ("0x..." on X11), for the PIN dialog that
// must stay above it. Empty until the window is shown and again once the
// application terminates. Any thread.
class MainWindowHandle {
 public:
  void set(std::string handle) {
    std::lock_guard lock(mutex_);
    handle_ = std::move(handle);
  }
  std::string get() const {
    std::lock_guard lock(mutex_);
    return handle_;
  }

 private:
  mutable std::mutex mutex_;
  std::string handle_;
};

// The application delegate, telling `handle` the main window's handle once
// launching finished (the window is shown, so it has one).
class HostAppDelegate : public AppDelegate {
 public:
  explicit HostAppDelegate(std::shared_ptr<MainWindowHandle> handle) : handle_(std::move(handle)) {}

  // The window the interface description made; it outlives the delegate's use.
  void setMainWindow(platform::Window* window) { window_ = window; }

  void applicationDidFinishLaunching() override {
    if (window_ != nullptr) handle_->set(window_->nativeHandle());
    AppDelegate::applicationDidFinishLaunching();
  }
  void applicationWillTerminate() override {
    // The window goes next: no dialog may be parented to it any more.
    handle_->set({});
    AppDelegate::applicationWillTerminate();
  }

 private:
  std::shared_ptr<MainWindowHandle> handle_;
  platform::Window* window_ = nullptr;
};

// Runs what is ready on the main context once the main loop has ended:
// replies the plugins gave on "will terminate", and the writes that carry
// them to the UI, go out before the bridge closes.
void deliverPendingWork() {
  GMainContext* context = g_main_context_default();
  for (int pass = 0; pass < kMaxTearDownPasses && g_main_context_pending(context); ++pass) {
    g_main_context_iteration(context, FALSE);
  }
}

platform::Services makeServices(std::shared_ptr<platform::Bundle> bundle,
                                std::shared_ptr<MainWindowHandle> windowHandle) {
  platform::Services services;
  services.mainQueue = std::make_shared<GlibMainQueue>();
  services.bundle = bundle;
  if (bundle) {
    const std::string module = bundle->bundlePath() + "/" + kTokenModuleFile;
    TokenModuleOptions options;
    // The PIN dialog stays above the main window.
    options.parentWindowId = [windowHandle] { return windowHandle->get(); };
    services.tokens = std::make_shared<LazyTokenService>([module, options] {
      std::string error;
      auto tokens = loadTokenModule(module, options, &error);
      if (!tokens) logError(error);
      return tokens;
    });
  }
  return services;
}

}  // namespace

int ApplicationMain(int argc, char** argv) {
  std::string bundleError;
  std::shared_ptr<platform::Bundle> bundle = linux_platform::openMainBundle(&bundleError);
  if (!bundleError.empty()) logError(bundleError);
  auto windowHandle = std::make_shared<MainWindowHandle>();
  const platform::Services services = makeServices(bundle, windowHandle);
  // Dismisses an open PIN dialog; the call waiting on it is answered as
  // cancelled by the user.
  auto cancelInteraction = [tokens = services.tokens] {
    if (tokens) tokens->cancelInteraction();
  };

  MainFlutterWindow* mainWindow = nullptr;
  std::unique_ptr<UiBridge> bridge;
  std::unique_ptr<SignalQuit> signalQuit;

  linux_platform::ApplicationClasses classes;
  classes.makeDelegate = [windowHandle] { return std::make_unique<HostAppDelegate>(windowHandle); };
  classes.windowClass = "MainFlutterWindow";
  classes.makeWindow = [&](platform::Application& app, platform::Window& window,
                           platform::ApplicationDelegate& delegate) {
    if (auto* appDelegate = dynamic_cast<HostAppDelegate*>(&delegate)) {
      appDelegate->setMainWindow(&window);
    }
    auto created = std::make_unique<MainFlutterWindow>(
        app, window, services, dynamic_cast<FlutterAppDelegate*>(&delegate));
    mainWindow = created.get();
    return created;
  };
  // The bridge listens only once every plugin is registered and the main
  // loop runs, so a UI that waits for the socket never meets a missing handler.
  classes.onLaunched = [&](platform::Application& app) {
    if (mainWindow == nullptr || mainWindow->viewController() == nullptr) return;
    signalQuit = std::make_unique<SignalQuit>(cancelInteraction, [&app] { app.terminate(0); });
    bridge = std::make_unique<UiBridge>(mainWindow->viewController()->engine().binaryMessenger());
    // A UI that hangs up no longer waits for the PIN it asked for.
    bridge->setOnDisconnect(cancelInteraction);
    std::string error;
    if (!bridge->listen(bridge::socketPath(), &error)) {
      logError(error);
      bridge.reset();
      app.terminate(1);
      return;
    }
    signalQuit->setSocket(SocketFile::of(bridge->path()));
  };
  classes.onTearDown = [&] {
    // Whatever ended the main loop, no token call waits on a dialog now.
    cancelInteraction();
    if (bridge) deliverPendingWork();
    bridge.reset();
    mainWindow = nullptr;
  };

  const int status =
      linux_platform::applicationMain(argc, argv, bundle, services.mainQueue, std::move(classes));
  signalQuit.reset();
  return status;
}

}  // namespace vellumark
