#include "backend_module.h"
#include "token_module.h"

namespace vellumark {

std::shared_ptr<platform::TokenService> loadTokenModule(const std::string& path,
                                                        const TokenModuleOptions& options,
                                                        std::string* error) {
  auto entry = loadBackendEntry<TokenModuleEntry>(path, kTokenModuleEntry, error);
  if (entry == nullptr) return nullptr;
  std::shared_ptr<platform::TokenService> service;
  entry(options, &service);
  if (!service) *error = path + " made no token service";
  return service;
}

}  // namespace vellumark
