#include "application_main.h"

#include <iostream>
#include <memory>
#include <string>

#include "app_delegate.h"
#include "embedding/bridge_protocol.h"
#include "embedding_glib/main_queue.h"
#include "embedding_glib/ui_bridge.h"
#include "lazy_token_service.h"
#include "main_flutter_window.h"
#include "platform_linux/bundle.h"
#include "platform_linux/gtk_app_shell.h"
#include "token_module.h"

namespace vellumark {

namespace {

platform::Services makeServices(std::shared_ptr<platform::Bundle> bundle) {
  platform::Services services;
  services.mainQueue = std::make_shared<GlibMainQueue>();
  services.bundle = bundle;
  if (bundle) {
    const std::string module = bundle->bundlePath() + "/" + kTokenModuleFile;
    services.tokens = std::make_shared<LazyTokenService>([module] {
      std::string error;
      auto tokens = loadTokenModule(module, &error);
      if (!tokens) std::cerr << "vellumark: " << error << '\n';
      return tokens;
    });
  }
  return services;
}

}  // namespace

int ApplicationMain(int argc, char** argv) {
  std::string bundleError;
  std::shared_ptr<platform::Bundle> bundle = linux_platform::openMainBundle(&bundleError);
  if (!bundleError.empty()) std::cerr << "vellumark: " << bundleError << '\n';
  const platform::Services services = makeServices(bundle);

  MainFlutterWindow* mainWindow = nullptr;
  std::unique_ptr<UiBridge> bridge;

  linux_platform::ApplicationClasses classes;
  classes.makeDelegate = [] { return std::make_unique<AppDelegate>(); };
  classes.windowClass = "MainFlutterWindow";
  classes.makeWindow = [&](platform::Application& app, platform::Window& window,
                           platform::ApplicationDelegate& delegate) {
    auto created = std::make_unique<MainFlutterWindow>(
        app, window, services, dynamic_cast<FlutterAppDelegate*>(&delegate));
    mainWindow = created.get();
    return created;
  };
  // The bridge listens only once every plugin is registered and the main
  // loop runs, so a UI that waits for the socket never meets a missing handler.
  classes.onLaunched = [&](platform::Application& app) {
    if (mainWindow == nullptr || mainWindow->viewController() == nullptr) return;
    bridge = std::make_unique<UiBridge>(mainWindow->viewController()->engine().binaryMessenger());
    std::string error;
    if (!bridge->listen(bridge::socketPath(), &error)) {
      std::cerr << "vellumark: " << error << '\n';
      bridge.reset();
      app.terminate(1);
    }
  };
  classes.onTearDown = [&] {
    bridge.reset();
    mainWindow = nullptr;
  };

  return linux_platform::applicationMain(argc, argv, bundle, services.mainQueue,
                                         std::move(classes));
}

}  // namespace vellumark
