// The bundle's keychain module: the Secret Service keychain, loaded on first use.
#include "secrets_module.h"

#include <type_traits>

#include "secret_keychain.h"

extern "C" __attribute__((visibility("default"))) void vellumark_create_keychain_services_1(
    std::shared_ptr<vellumark::platform::KeychainServices>* out) {
  // Nothing may throw back into the loader.
  try {
    *out = vellumark::linux_platform::createSecretKeychainServices();
  } catch (...) {
    out->reset();
  }
}

// The loader calls it through this type.
static_assert(
    std::is_same_v<decltype(&vellumark_create_keychain_services_1), vellumark::SecretsModuleEntry>);
