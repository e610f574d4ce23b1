// Backends with heavy libraries live in modules of the bundle (lib/*.so),
// loaded on their plugin's first call rather than at start-up.
#pragma once

#include <memory>
#include <string>

namespace vellumark {

// Loads the module at `path` (kept loaded for the process's life, since the
// service's code lives there) and returns its symbol `entry`; null with
// `error` set when the module or the symbol is missing. Any thread.
void* loadBackendEntry(const std::string& path, const char* entry, std::string* error);

template <typename Entry>
Entry loadBackendEntry(const std::string& path, const char* entry, std::string* error) {
  return reinterpret_cast<Entry>(loadBackendEntry(path, entry, error));
}

// Loads the module at `path` and makes its service through the entry named
// `entry`, of type void(const Options&..., std::shared_ptr<Service>* out).
// Null with `error` set when the module, the entry or the service is missing
// (`what` names the service in that message). Any thread.
template <typename Service, typename... Options>
std::shared_ptr<Service> makeBackendService(const std::string& path, const char* entry,
                                            const char* what, std::string* error,
                                            const Options&... options) {
  using Entry = void (*)(const Options&..., std::shared_ptr<Service>*);
  auto make = loadBackendEntry<Entry>(path, entry, error);
  if (make == nullptr) return nullptr;
  std::shared_ptr<Service> service;
  make(options..., &service);
  if (!service) *error = path + " made no " + what;
  return service;
}

}  // namespace vellumark
