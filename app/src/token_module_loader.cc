#include "backend_module.h"
#include "token_module.h"

namespace vellumark {

std::shared_ptr<platform::TokenService> loadTokenModule(const std::string& path,
                                                        const TokenModuleOptions& options,
                                                        std::string* error) {
  return makeBackendService<platform::TokenService>(path, kTokenModuleEntry, "token service", error,
                                                    options);
}

}  // namespace vellumark
