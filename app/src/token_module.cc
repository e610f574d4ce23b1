// The bundle's token module: the PKCS#11 token service, loaded on first use.
#include "token_module.h"

#include "platform_linux/token_service.h"

extern "C" __attribute__((visibility("default"))) void vellumark_create_token_service(
    std::shared_ptr<vellumark::platform::TokenService>* out) {
  // Nothing may throw back into the loader.
  try {
    *out = vellumark::linux_platform::createTokenService();
  } catch (...) {
    out->reset();
  }
}
