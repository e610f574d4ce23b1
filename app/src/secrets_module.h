// The keychain backend lives in a module of the bundle
// (lib/vellumark_secrets.so) loaded on the secure storage plugin's first call
// or availability listener: it pulls in libsecret and OpenSSL, and talks to
// the Secret Service over D-Bus, none of which start-up needs.
#pragma once

#include <memory>
#include <string>

#include "backend_module.h"
#include "platform/keychain.h"

namespace vellumark {

inline constexpr char kSecretsModuleFile[] = "lib/vellumark_secrets.so";
// Versioned: a module built for another entry signature is refused, not called.
inline constexpr char kSecretsModuleEntry[] = "vellumark_create_keychain_services_1";

// The module's entry: fills `out` with the services, or leaves it null.
using SecretsModuleEntry = void (*)(std::shared_ptr<platform::KeychainServices>* out);

// Loads the module at `path` (kept loaded for the process's life) and makes
// its services; null with `error` set when that fails. Any thread.
inline std::shared_ptr<platform::KeychainServices> loadSecretsModule(const std::string& path,
                                                                     std::string* error) {
  return makeBackendService<platform::KeychainServices>(path, kSecretsModuleEntry, "keychain",
                                                        error);
}

}  // namespace vellumark
