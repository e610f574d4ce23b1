// The bundle's token module: the PKCS#11 token service, loaded on first use.
#include "token_module.h"

#include <type_traits>

#include "platform_linux/token_service.h"

extern "C" __attribute__((visibility("default"))) void vellumark_create_token_service_2(
    const vellumark::TokenModuleOptions& options,
    std::shared_ptr<vellumark::platform::TokenService>* out) {
  // Nothing may throw back into the loader.
  try {
    vellumark::linux_platform::PinentryOptions pinentry;
    pinentry.parentWindowId = options.parentWindowId;
    *out = vellumark::linux_platform::createTokenService(std::move(pinentry));
  } catch (...) {
    out->reset();
  }
}

// The loader calls it through this type.
static_assert(
    std::is_same_v<decltype(&vellumark_create_token_service_2), vellumark::TokenModuleEntry>);
