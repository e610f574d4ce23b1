// Backends with heavy libraries live in modules of the bundle (lib/*.so),
// loaded on their plugin's first call rather than at start-up.
#pragma once

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

}  // namespace vellumark
