#include <dlfcn.h>

#include "token_module.h"

namespace vellumark {

std::shared_ptr<platform::TokenService> loadTokenModule(const std::string& path,
                                                        const TokenModuleOptions& options,
                                                        std::string* error) {
  // RTLD_NOW: a module built against other symbols fails here, not mid-call.
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* why = dlerror();
    *error = "dlopen " + path + ": " + (why != nullptr ? why : "unknown error");
    return nullptr;
  }
  auto entry = reinterpret_cast<TokenModuleEntry>(dlsym(handle, kTokenModuleEntry));
  if (entry == nullptr) {
    *error = std::string("dlsym ") + kTokenModuleEntry + ": no such entry in " + path;
    dlclose(handle);
    return nullptr;
  }
  std::shared_ptr<platform::TokenService> service;
  entry(options, &service);
  if (!service) *error = path + " made no token service";
  return service;
}

}  // namespace vellumark
