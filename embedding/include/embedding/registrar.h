// Plugins, their registrars and the registry that hands registrars out.
// Main-thread only.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "embedding/channels.h"
#include "platform/services.h"

namespace vellumark {

// Application events a plugin may handle (the engine's app-lifecycle
// delegate). Every method has a do-nothing default.
class FlutterAppLifecycleDelegate {
 public:
  virtual ~FlutterAppLifecycleDelegate() = default;
  virtual void handleWillFinishLaunching() {}
  virtual void handleDidFinishLaunching() {}
  // Returns true when the delegate took the URLs; later delegates are then
  // not asked.
  virtual bool handleOpenURLs(const std::vector<std::string>& /*urls*/) { return false; }
  virtual void handleWillTerminate() {}
};

// A plugin that takes method calls as a channel's call delegate.
class FlutterPlugin {
 public:
  virtual ~FlutterPlugin() = default;
  virtual void handleMethodCall(const MethodCall& call, MethodResult result) = 0;
};

class FlutterPluginRegistrar {
 public:
  virtual ~FlutterPluginRegistrar() = default;
  virtual BinaryMessenger& messenger() = 0;
  // The UI view; null in tests that have none.
  virtual platform::View* view() = 0;
  virtual const platform::Services& platform() = 0;
  // The channel's calls reach delegate->handleMethodCall. The channel keeps
  // the delegate alive as long as its handler is installed.
  virtual void addMethodCallDelegate(std::shared_ptr<FlutterPlugin> delegate,
                                     FlutterMethodChannel& channel) = 0;
  virtual void addApplicationDelegate(std::shared_ptr<FlutterAppLifecycleDelegate> delegate) = 0;
};

class FlutterPluginRegistry {
 public:
  virtual ~FlutterPluginRegistry() = default;
  virtual FlutterPluginRegistrar& registrarForPlugin(const std::string& pluginKey) = 0;
};

// The registry behind a view controller: one registrar per plugin name, all
// sharing a messenger, a view and the platform services; it keeps the
// application delegates and publishes application events to them in the
// order they were added.
class PluginRegistry : public FlutterPluginRegistry {
 public:
  PluginRegistry(BinaryMessenger& messenger, platform::View* view, platform::Services services);
  ~PluginRegistry() override;

  FlutterPluginRegistrar& registrarForPlugin(const std::string& pluginKey) override;
  bool hasPlugin(const std::string& pluginKey) const;
  // Registrar names in the order they were first asked for.
  const std::vector<std::string>& pluginKeys() const { return order_; }

  void publishWillFinishLaunching();
  void publishDidFinishLaunching();
  bool publishOpenURLs(const std::vector<std::string>& urls);
  void publishWillTerminate();

 private:
  class Registrar;
  BinaryMessenger& messenger_;
  platform::View* view_;
  platform::Services services_;
  std::map<std::string, std::unique_ptr<Registrar>> registrars_;
  std::vector<std::string> order_;
  std::vector<std::shared_ptr<FlutterAppLifecycleDelegate>> appDelegates_;
};

}  // namespace vellumark
