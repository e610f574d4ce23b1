// The engine's application delegate: hands application events on to the
// application delegates plugins added to the engine's registry.
#pragma once

#include <string>
#include <vector>

#include "embedding/registrar.h"
#include "platform/app_shell.h"

namespace vellumark {

class FlutterAppDelegate : public platform::ApplicationDelegate {
 public:
  // The registry of the engine whose plugins hear application events; set
  // when the engine is made. Null detaches. The registry must outlive its
  // attachment.
  void setLifecycleRegistry(PluginRegistry* registry) { registry_ = registry; }
  PluginRegistry* lifecycleRegistry() const { return registry_; }

  void applicationWillFinishLaunching() override {
    if (registry_ != nullptr) registry_->publishWillFinishLaunching();
  }
  void applicationDidFinishLaunching() override {
    if (registry_ != nullptr) registry_->publishDidFinishLaunching();
  }
  void applicationOpenURLs(const std::vector<std::string>& urls) override {
    if (registry_ != nullptr) registry_->publishOpenURLs(urls);
  }
  void applicationWillTerminate() override {
    if (registry_ != nullptr) registry_->publishWillTerminate();
  }

 private:
  PluginRegistry* registry_ = nullptr;
};

}  // namespace vellumark
