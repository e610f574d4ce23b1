#include "backend_module.h"

#include <dlfcn.h>

namespace vellumark {

void* loadBackendEntry(const std::string& path, const char* entry, std::string* error) {
  // RTLD_NOW: a module built against other symbols fails here, not mid-call.
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* why = dlerror();
    *error = "dlopen " + path + ": " + (why != nullptr ? why : "unknown error");
    return nullptr;
  }
  void* symbol = dlsym(handle, entry);
  if (symbol == nullptr) {
    *error = std::string("dlsym ") + entry + ": no such entry in " + path;
    dlclose(handle);
  }
  return symbol;
}

}  // namespace vellumark
