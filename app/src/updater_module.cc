// The bundle's updater module: the appcast update framework, loaded on first use.
#include "updater_module.h"

#include <type_traits>

#include "platform_linux/update_framework.h"

extern "C" __attribute__((visibility("default"))) void vellumark_create_update_framework_1(
    const vellumark::UpdaterModuleOptions& options,
    std::shared_ptr<vellumark::platform::UpdateFramework>* out) {
  // Nothing may throw back into the loader.
  try {
    vellumark::linux_platform::UpdateFrameworkOptions framework;
    framework.bundle = options.bundle;
    framework.mainQueue = options.mainQueue;
    *out = vellumark::linux_platform::createUpdateFramework(std::move(framework));
  } catch (...) {
    out->reset();
  }
}

// The loader calls it through this type.
static_assert(
    std::is_same_v<decltype(&vellumark_create_update_framework_1), vellumark::UpdaterModuleEntry>);
