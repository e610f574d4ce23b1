#include "application_main.h"

#include <glib.h>

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
#include "platform_linux/device.h"
#include "platform_linux/file_services.h"
#include "platform_linux/gtk_app_shell.h"
#include "platform_linux/gtk_window_services.h"
#include "platform_linux/links.h"
#include "platform_linux/update_framework.h"
#include "platform_linux/user_defaults.h"
#include "platform_linux/workspace.h"
#include "secrets_module.h"
#include "signal_quit.h"
#include "token_module.h"
#include "updater_disabled.h"
#include "updater_module.h"

namespace vellumark {

namespace {

// GLib's log (domain "vellumark"): standard error, or the journal when
// standard error is connected to it.
void logError(const std::string& line) { g_message("%s", line.c_str()); }

// Bounds the delivery of work left on the main context after the main loop
// ended: each pass dispatches what is ready, never waits.
constexpr int kMaxTearDownPasses = 100;
// The application ID (preferences domain, desktop entry) when the bundle
// names none.
constexpr char kFallbackApplicationId[] = "vellumark";

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
  const std::string applicationId =
      bundle ? bundle->bundleIdentifier().value_or(kFallbackApplicationId) : kFallbackApplicationId;
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
#if VELLUMARK_UPDATER
    const std::string updaterModule = bundle->bundlePath() + "/" + kUpdaterModuleFile;
    UpdaterModuleOptions updaterOptions{bundle, services.mainQueue};
    services.updater = platform::Lazy<platform::UpdateFramework>([updaterModule, updaterOptions] {
      std::string error;
      auto framework = loadUpdaterModule(updaterModule, updaterOptions, &error);
      if (!framework) logError(error);
      return framework;
    });
#else
    services.updater = platform::Lazy<platform::UpdateFramework>(
        [queue = services.mainQueue] { return makeNoUpdateFramework(queue); });
#endif
    // The keychain: the module is loaded, and D-Bus reached, on the secure
    // storage plugin's first call or availability listener.
    const std::string secretsModule = bundle->bundlePath() + "/" + kSecretsModuleFile;
    services.keychain = platform::Lazy<platform::KeychainServices>([secretsModule] {
      std::string error;
      auto keychain = loadSecretsModule(secretsModule, &error);
      if (!keychain) logError(error);
      return keychain;
    });
  }
  services.systemLog = linux_platform::createSystemLog();
  // The window and screens: GTK, GDK and the session bus are touched on
  // first use only.
  services.windows = linux_platform::makeGtkWindowSystem(applicationId);
  services.screens = linux_platform::makeGdkScreens();
  // Device and package facts, URLs and links: nothing is read or looked up
  // before the first call.
  services.sysctl = linux_platform::createSysctl();
  services.deviceFacts = linux_platform::createDeviceFacts();
  services.packageFacts = linux_platform::createPackageFacts();
  services.urlParser = linux_platform::createUrlParser();
  services.workspace = linux_platform::createWorkspace();
  services.incomingLinks = linux_platform::createLinkEvents();
  // Preferences: the folder is named now, its files read on each call.
  services.userDefaults =
      linux_platform::makeUserDefaults(linux_platform::defaultUserDefaultsFolder(), applicationId);
  // Files: nothing is read before the first call (the entitlements file on
  // each panel call, the content types on the first filter).
  if (bundle) services.entitlements = linux_platform::createEntitlements(bundle->bundlePath());
  services.filePanels = linux_platform::createFilePanels();
  services.contentTypes = linux_platform::createContentTypes();
  services.fileManager = linux_platform::createFileManager();
  services.bookmarks = linux_platform::createBookmarks();
  return services;
}

std::string infoString(const platform::Bundle* bundle, const char* key, const char* fallback) {
  if (bundle != nullptr) {
    if (auto value = bundle->objectForInfoDictionaryKey(key)) {
      if (const std::string* text = value->asString()) return *text;
    }
  }
  return fallback;
}

// "Vellumark 1.0.0 (build 1)": the bundle's name, short version and build.
std::string versionText(const platform::Bundle* bundle) {
  return infoString(bundle, "CFBundleName", "Vellumark") + " " +
         infoString(bundle, "CFBundleShortVersionString", "unknown") + " (build " +
         infoString(bundle, "CFBundleVersion", "unknown") + ")";
}

std::string helpDescription() {
  return "The host serves the application's user interface over a private socket, the UI\n"
         "bridge; hostctl(1) talks to it. Here it is " +
         bridge::socketPath() +
         "\n\n"
         "Environment:\n"
         "  VELLUMARK_UI_SOCKET  the bridge socket (default $XDG_RUNTIME_DIR/vellumark/ui.sock,\n"
         "                       else /tmp/vellumark-UID/ui.sock)\n"
         "  VELLUMARK_PINENTRY   the pinentry program that asks for token PINs\n"
         "  G_MESSAGES_DEBUG     \"vellumark\" or \"all\" shows debug messages\n"
         "  SOFTHSM2_CONF, XDG_CONFIG_HOME, DBUS_SESSION_BUS_ADDRESS are read by the services\n"
         "  the host uses (PKCS#11 modules, preferences, the Secret Service).\n\n"
         "A second start hands its vellumark: links to the running host and exits.\n"
         "SIGTERM, SIGINT and SIGHUP quit cleanly. --help-all adds GTK's options.";
}

}  // namespace

int ApplicationMain(int argc, char** argv) {
  // The engine's and the plugins' lines go to GLib's log too.
  setEngineLogSink([](const std::string& line) { g_message("%s", line.c_str()); });
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
  classes.versionText = versionText(bundle.get());
  classes.helpSummary = "Sign PDF documents with smart cards and other hardware tokens.";
  classes.helpDescription = helpDescription();
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
  // The links the application is asked to open go to the get-URL handler
  // a plugin installed, the rest (files) to the delegate.
  classes.getURLEvent =
      [links = std::dynamic_pointer_cast<linux_platform::LinkEvents>(services.incomingLinks)](
          const std::string& url) { return links && links->dispatchGetURL(url); };
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
