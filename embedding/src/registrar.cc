#include "embedding/registrar.h"

namespace vellumark {

class PluginRegistry::Registrar : public FlutterPluginRegistrar {
 public:
  explicit Registrar(PluginRegistry& registry) : registry_(registry) {}

  BinaryMessenger& messenger() override { return registry_.messenger_; }
  platform::View* view() override { return registry_.view_; }
  const platform::Services& platform() override { return registry_.services_; }

  void addMethodCallDelegate(std::shared_ptr<FlutterPlugin> delegate,
                             FlutterMethodChannel& channel) override {
    channel.setMethodCallHandler(
        [delegate = std::move(delegate)](const MethodCall& call, MethodResult result) {
          delegate->handleMethodCall(call, std::move(result));
        });
  }

  void addApplicationDelegate(std::shared_ptr<FlutterAppLifecycleDelegate> delegate) override {
    if (delegate) registry_.appDelegates_.push_back(std::move(delegate));
  }

 private:
  PluginRegistry& registry_;
};

PluginRegistry::PluginRegistry(BinaryMessenger& messenger, platform::View* view,
                               platform::Services services)
    : messenger_(messenger), view_(view), services_(std::move(services)) {}

PluginRegistry::~PluginRegistry() = default;

FlutterPluginRegistrar& PluginRegistry::registrarForPlugin(const std::string& pluginKey) {
  auto it = registrars_.find(pluginKey);
  if (it == registrars_.end()) {
    it = registrars_.emplace(pluginKey, std::make_unique<Registrar>(*this)).first;
    order_.push_back(pluginKey);
  }
  return *it->second;
}

bool PluginRegistry::hasPlugin(const std::string& pluginKey) const {
  return registrars_.count(pluginKey) != 0;
}

// Delegates added while an event is published hear the next event, not this
// one: iterate over a snapshot.
void PluginRegistry::publishWillFinishLaunching() {
  auto delegates = appDelegates_;
  for (auto& d : delegates) d->handleWillFinishLaunching();
}

void PluginRegistry::publishDidFinishLaunching() {
  auto delegates = appDelegates_;
  for (auto& d : delegates) d->handleDidFinishLaunching();
}

bool PluginRegistry::publishOpenURLs(const std::vector<std::string>& urls) {
  auto delegates = appDelegates_;
  for (auto& d : delegates) {
    if (d->handleOpenURLs(urls)) return true;
  }
  return false;
}

void PluginRegistry::publishWillTerminate() {
  auto delegates = appDelegates_;
  for (auto& d : delegates) d->handleWillTerminate();
}

}  // namespace vellumark
